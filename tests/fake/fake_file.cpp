// platform/file.h on an in-memory map of paths.
#include "fake_state.h"

namespace fake {

using namespace detail;

void AddFile(const std::string& path, Bytes bytes) {
  Lock lock = Locked();
  TheState().files[path] = std::move(bytes);
}
void AddDirectory(const std::string& path) {
  Lock lock = Locked();
  TheState().directories.insert(path);
}
void SetFileHeld(const std::string& path, bool held) {
  Lock lock = Locked();
  if (held) {
    TheState().heldFiles.insert(path);
  } else {
    TheState().heldFiles.erase(path);
  }
}
std::vector<FileOpen> FileOpens() {
  Lock lock = Locked();
  return TheState().fileOpens;
}
int FileCloses() {
  Lock lock = Locked();
  return TheState().fileCloses;
}
bool FileIsOpen() {
  Lock lock = Locked();
  return TheState().fileOpen;
}
std::size_t FileBytesRead() {
  Lock lock = Locked();
  return TheState().fileBytesRead;
}

}  // namespace fake

using namespace fake;
using namespace fake::detail;

void FileInitialize() {
  Lock lock = Locked();
  Emit(lock, "FileInitialize");
}

std::int64_t FileSizeByPath(const std::string& path) {
  Lock lock = Locked();
  State& s = TheState();
  std::int64_t size = -1;
  if (s.fileOpen && s.filePath == path) {
    size = static_cast<std::int64_t>(s.fileBytes.size());
  } else if (auto f = s.files.find(path); f != s.files.end()) {
    size = static_cast<std::int64_t>(f->second.size());
  } else if (s.directories.count(path) != 0) {
    size = 0;
  }
  Emit(lock, "FileSizeByPath " + Quoted(path) + " -> " + std::to_string(size));
  return size;
}

bool FirmwareFileOpen(const std::string& path) {
  Lock lock = Locked();
  State& s = TheState();
  auto f = s.files.find(path);
  bool ok = !s.fileOpen && f != s.files.end() && s.heldFiles.count(path) == 0;
  if (ok) {
    s.fileOpen = true;
    s.filePath = path;
    s.fileBytes = f->second;  // the run's view: later changes to the map do not reach it
    s.filePosition = 0;
  }
  s.fileOpens.push_back(FileOpen{path, ok});
  Emit(lock, "FirmwareFileOpen " + Quoted(path) + " -> " + (ok ? "1" : "0"));
  return ok;
}

bool FirmwareFileIsOpen() {
  Lock lock = Locked();
  bool open = TheState().fileOpen;
  Emit(lock, std::string("FirmwareFileIsOpen ") + (open ? "1" : "0"));
  return open;
}

std::uint8_t FirmwareFileReadByte() {
  Lock lock = Locked();
  State& s = TheState();
  std::uint8_t byte = 0;
  if (!s.fileOpen) {
    Misuse(s, "FirmwareFileReadByte with no file open");
  } else {
    ++s.fileBytesRead;
    if (s.filePosition < s.fileBytes.size()) {
      byte = s.fileBytes[s.filePosition++];
    }
  }
  Emit(lock, "FirmwareFileReadByte " + std::to_string(byte));
  return byte;
}

void FirmwareFileClose() {
  Lock lock = Locked();
  State& s = TheState();
  if (s.fileOpen) {
    s.fileOpen = false;
    ++s.fileCloses;
  }
  Emit(lock, "FirmwareFileClose");
}
