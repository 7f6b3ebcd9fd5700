// FirmwareFile on Linux: POSIX files, flock standing in for "no sharing".
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/file.h"

namespace {

constexpr std::size_t ReadBufferSize = 4096;

// The slot. The mutex is the backend's own (the program takes none): shutdown
// may close the file on the main thread while an update worker reads from it.
struct FileSlot {
  std::mutex lock;
  int fd = -1;
  std::string path;  // as given to FirmwareFileOpen
  std::uint8_t buffer[ReadBufferSize] = {};
  std::size_t position = 0;
  std::size_t filled = 0;
};

FileSlot& Slot() {
  static FileSlot slot;
  return slot;
}

}  // namespace

void FileInitialize() {}

std::int64_t FileSizeByPath(const std::string& path) {
  FileSlot& slot = Slot();
  std::lock_guard<std::mutex> guard(slot.lock);
  struct stat info {};
  // The run holds the file; Linux cannot stop the path being replaced under
  // it, so the open file's own size is the one that counts.
  if (slot.fd >= 0 && path == slot.path && fstat(slot.fd, &info) == 0) {
    return static_cast<std::int64_t>(info.st_size);
  }
  if (stat(path.c_str(), &info) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>(info.st_size);
}

bool FirmwareFileOpen(const std::string& path) {
  FileSlot& slot = Slot();
  std::lock_guard<std::mutex> guard(slot.lock);
  if (slot.fd >= 0 || path.empty()) {
    return false;
  }
  // O_NONBLOCK so that a FIFO or a device named by the user cannot hang the
  // open; anything but a regular file is refused right after.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  slot.fd = fd;
  slot.path = path;
  slot.position = 0;
  slot.filled = 0;
  return true;
}

bool FirmwareFileIsOpen() {
  FileSlot& slot = Slot();
  std::lock_guard<std::mutex> guard(slot.lock);
  return slot.fd >= 0;
}

std::uint8_t FirmwareFileReadByte() {
  FileSlot& slot = Slot();
  std::lock_guard<std::mutex> guard(slot.lock);
  if (slot.fd < 0) {
    return 0;
  }
  if (slot.position == slot.filled) {
    ssize_t n = 0;
    do {
      n = read(slot.fd, slot.buffer, ReadBufferSize);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      return 0;  // end of file (or a read error): 0, and nothing advances
    }
    slot.position = 0;
    slot.filled = static_cast<std::size_t>(n);
  }
  return slot.buffer[slot.position++];
}

void FirmwareFileClose() {
  FileSlot& slot = Slot();
  std::lock_guard<std::mutex> guard(slot.lock);
  if (slot.fd >= 0) {
    close(slot.fd);  // the flock goes with it; a read-only file writes nothing
    slot.fd = -1;
    slot.path.clear();
    slot.position = 0;
    slot.filled = 0;
  }
}
