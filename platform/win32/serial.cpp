#include "platform/serial.h"

#include <windows.h>

#include <atomic>

#include "platform/win32/text.h"

namespace {

// Atomic: shutdown on the main thread may close it under a running update.
std::atomic<HANDLE> DevicePortHandle{INVALID_HANDLE_VALUE};

BYTE ParityCode(Parity parity) {
  switch (parity) {
    case Parity::Odd:
      return ODDPARITY;
    case Parity::Even:
      return EVENPARITY;
    case Parity::None:
      break;
  }
  return NOPARITY;
}

bool Configure(HANDLE handle, std::uint32_t baudRate, Parity parity, int dataBits,
               StopBits stopBits, std::uint32_t inputQueueSize, std::uint32_t outputQueueSize) {
  if (inputQueueSize > 0 && outputQueueSize > 0 &&
      !SetupComm(handle, inputQueueSize, outputQueueSize)) {
    return false;
  }
  DCB dcb;
  ZeroMemory(&dcb, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) {
    return false;
  }
  // Only these change; DTR, DSR flow, XON/XOFF and abort-on-error stay as the
  // port had them.
  dcb.BaudRate = baudRate;
  dcb.ByteSize = static_cast<BYTE>(dataBits);
  dcb.Parity = ParityCode(parity);
  dcb.StopBits = stopBits == StopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fParity = TRUE;
  if (!SetCommState(handle, &dcb)) {
    return false;
  }
  COMMTIMEOUTS timeouts;
  ZeroMemory(&timeouts, sizeof timeouts);  // reads wait for every byte asked for
  timeouts.WriteTotalTimeoutMultiplier = 100;
  timeouts.WriteTotalTimeoutConstant = 10;
  return SetCommTimeouts(handle, &timeouts) != FALSE;
}

bool QueueCounts(DWORD& input, DWORD& output) {
  DWORD errors = 0;
  COMSTAT status;
  ZeroMemory(&status, sizeof status);
  HANDLE handle = DevicePortHandle.load();
  if (handle == INVALID_HANDLE_VALUE || !ClearCommError(handle, &errors, &status)) {
    return false;
  }
  input = status.cbInQue;
  output = status.cbOutQue;
  return true;
}

}  // namespace

void SerialInitialize() {}

bool DevicePortOpen(const std::string& name, std::uint32_t baudRate, Parity parity, int dataBits,
                    StopBits stopBits, Handshake /*handshake: none is the only kind*/,
                    std::uint32_t inputQueueSize, std::uint32_t outputQueueSize) {
  if (name.empty() || DevicePortIsOpen()) {
    return false;
  }
  // The \\.\ prefix also reaches COM10 and above.
  std::wstring device = L"\\\\.\\" + WideFromUtf8(name);
  HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  if (!Configure(handle, baudRate, parity, dataBits, stopBits, inputQueueSize, outputQueueSize)) {
    CloseHandle(handle);
    return false;
  }
  DevicePortHandle = handle;
  return true;
}

bool DevicePortIsOpen() { return DevicePortHandle.load() != INVALID_HANDLE_VALUE; }

void DevicePortClose() {
  HANDLE handle = DevicePortHandle.exchange(INVALID_HANDLE_VALUE);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  }
}

std::uint32_t DevicePortInputCount() {
  DWORD input = 0;
  DWORD output = 0;
  return QueueCounts(input, output) ? input : 0;
}

std::uint32_t DevicePortOutputCount() {
  DWORD input = 0;
  DWORD output = 0;
  return QueueCounts(input, output) ? output : 0;
}

std::uint32_t DevicePortRead(std::uint8_t* buffer, std::uint32_t count) {
  DWORD got = 0;
  HANDLE handle = DevicePortHandle.load();
  if (handle != INVALID_HANDLE_VALUE) {
    ReadFile(handle, buffer, count, &got, nullptr);
  }
  return got;
}

std::uint32_t DevicePortWrite(const std::uint8_t* buffer, std::uint32_t count) {
  DWORD written = 0;
  HANDLE handle = DevicePortHandle.load();
  if (handle != INVALID_HANDLE_VALUE) {
    WriteFile(handle, buffer, count, &written, nullptr);
  }
  return written;
}
