// Thin interface to the one serial-port slot of the process (DevicePort).
#pragma once

#include <cstdint>
#include <string>

enum class Parity { None, Odd, Even };
enum class StopBits { One, Two };
enum class Handshake { None };

void SerialInitialize();

// Opens DevicePort by name ("COM3") exclusively, for reading and writing.
// Starts from the port's current line settings and sets baud rate, data bits,
// parity and stop bits; with no handshake CTS output flow control goes off and
// RTS is held off; the parity check is switched on. Reads have no time-out; a
// write gives up after 100 ms per byte plus 10 ms. Asks the driver for both
// queue sizes when both are above 0. On failure nothing is left open.
bool DevicePortOpen(const std::string& name, std::uint32_t baudRate, Parity parity, int dataBits,
                    StopBits stopBits, Handshake handshake, std::uint32_t inputQueueSize,
                    std::uint32_t outputQueueSize);
bool DevicePortIsOpen();
// Releases the port: no purge, no flush, no change of the modem lines.
void DevicePortClose();

// Queue counts from one status query each; 0 when the query fails (adapter
// unplugged), so every wait on them ends.
std::uint32_t DevicePortInputCount();
std::uint32_t DevicePortOutputCount();

// Blocks until count bytes have arrived (or the port fails); returns the count read.
std::uint32_t DevicePortRead(std::uint8_t* buffer, std::uint32_t count);
// Synchronous; returns the count written.
std::uint32_t DevicePortWrite(const std::uint8_t* buffer, std::uint32_t count);
