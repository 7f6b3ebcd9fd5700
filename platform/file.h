// Thin interface to the one firmware-file slot of the process (FirmwareFile).
#pragma once

#include <cstdint>
#include <string>

void FileInitialize();

// Size in bytes of the file at path, from its directory entry (answers while
// FirmwareFile holds it exclusively); -1 when nothing has that name. While
// FirmwareFile is open on the same path, the open file's own size (where the
// platform cannot stop the path being replaced under the run).
std::int64_t FileSizeByPath(const std::string& path);

// Opens FirmwareFile read-only, without sharing; the file must exist and be a
// regular file. Fails when another program has it open.
bool FirmwareFileOpen(const std::string& path);
bool FirmwareFileIsOpen();
// The next byte (reads go through a 4096-byte buffer); 0 at the end of the
// file, without advancing.
std::uint8_t FirmwareFileReadByte();
void FirmwareFileClose();
