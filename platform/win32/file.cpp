#include "platform/file.h"

#include <windows.h>

#include <atomic>

#include "platform/win32/text.h"

namespace {

constexpr DWORD ReadBufferSize = 4096;

// Atomic: shutdown on the main thread may close it under a running update.
std::atomic<HANDLE> FirmwareFileHandle{INVALID_HANDLE_VALUE};
std::uint8_t ReadBuffer[ReadBufferSize];
DWORD ReadBufferFill = 0;
DWORD ReadBufferNext = 0;

}  // namespace

void FileInitialize() {}

std::int64_t FileSizeByPath(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA entry;
  if (path.empty() ||
      !GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard, &entry)) {
    return -1;
  }
  if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) |
                                   entry.nFileSizeLow);
}

bool FirmwareFileOpen(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  // No sharing: nobody may change, rename or delete the file during the run.
  HANDLE handle = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  // A device name such as NUL, CON or COM3 opens too, but is no firmware
  // file: it would send the device a header of zeros, or block on a read.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return false;
  }
  FirmwareFileHandle = handle;
  ReadBufferFill = 0;
  ReadBufferNext = 0;
  return true;
}

bool FirmwareFileIsOpen() { return FirmwareFileHandle != INVALID_HANDLE_VALUE; }

std::uint8_t FirmwareFileReadByte() {
  if (ReadBufferNext == ReadBufferFill) {
    DWORD got = 0;
    HANDLE handle = FirmwareFileHandle.load();
    if (handle == INVALID_HANDLE_VALUE ||
        !ReadFile(handle, ReadBuffer, ReadBufferSize, &got, nullptr) || got == 0) {
      return 0;
    }
    ReadBufferFill = got;
    ReadBufferNext = 0;
  }
  return ReadBuffer[ReadBufferNext++];
}

void FirmwareFileClose() {
  HANDLE handle = FirmwareFileHandle.exchange(INVALID_HANDLE_VALUE);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  }
}
