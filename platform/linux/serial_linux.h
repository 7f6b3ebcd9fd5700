// Linux-only entry of the serial backend: DevicePortOpen resolves the COM name
// (com_names.h) and calls this with the device path; tests call it directly
// with a pty's path.
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial.h"

// Opens DevicePort on devicePath with the semantics of DevicePortOpen (the
// driver queue sizes are a Windows request with no Linux counterpart). Fails,
// leaving nothing open, when the slot is already open, the path is absent or
// no tty, another open file holds its flock (this process included), or the
// line refuses the settings.
bool DevicePortOpenDevice(const std::string& devicePath, std::uint32_t baudRate, Parity parity,
                          int dataBits, StopBits stopBits, Handshake handshake);
