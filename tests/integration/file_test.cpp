// The POSIX backend of FirmwareFile and FileSizeByPath against real files.
#include "platform/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fu-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    FirmwareFileClose();
    for (const std::string& path : created) {
      unlink(path.c_str());
      rmdir(path.c_str());
    }
    rmdir(dir.c_str());
  }

  std::string Make(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::string path = dir + "/" + name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    created.push_back(path);
    return path;
  }

  std::string dir;
  std::vector<std::string> created;
};

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 7 + 3 + i / 251) & 0xFF);
  }
  return bytes;
}

TEST_F(FileTest, SizeByPath) {
  EXPECT_EQ(FileSizeByPath(Make("a.fw", Pattern(216))), 216);
  EXPECT_EQ(FileSizeByPath(Make("empty.fw", {})), 0);
  EXPECT_EQ(FileSizeByPath(dir + "/missing.fw"), -1);
  EXPECT_EQ(FileSizeByPath(""), -1);
}

TEST_F(FileTest, SizeWhileOpenIsTheOpenFilesOwn) {
  std::string path = Make("trx.fw", Pattern(300));
  std::string other = Make("other.fw", Pattern(17));
  ASSERT_TRUE(FirmwareFileOpen(path));
  EXPECT_EQ(FileSizeByPath(path), 300);  // answers while held exclusively
  // Linux cannot stop the path being replaced under the run.
  ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
  EXPECT_EQ(FileSizeByPath(path), 300);
  FirmwareFileClose();
  EXPECT_EQ(FileSizeByPath(path), 17);
}

TEST_F(FileTest, ReadsEveryByteInOrderThenZerosAtTheEnd) {
  std::vector<std::uint8_t> bytes = Pattern(3 * 4096 + 123);
  ASSERT_TRUE(FirmwareFileOpen(Make("big.fw", bytes)));
  EXPECT_TRUE(FirmwareFileIsOpen());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(FirmwareFileReadByte(), bytes[i]) << i;
  }
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(FirmwareFileReadByte(), 0);
  }
  FirmwareFileClose();
  EXPECT_FALSE(FirmwareFileIsOpen());
  EXPECT_EQ(FirmwareFileReadByte(), 0);
}

TEST_F(FileTest, EndOfFileDoesNotAdvance) {
  // A short file: the header pads with zeros, nothing is skipped or repeated.
  ASSERT_TRUE(FirmwareFileOpen(Make("short.fw", {1, 2, 3})));
  EXPECT_EQ(FirmwareFileReadByte(), 1);
  EXPECT_EQ(FirmwareFileReadByte(), 2);
  EXPECT_EQ(FirmwareFileReadByte(), 3);
  EXPECT_EQ(FirmwareFileReadByte(), 0);
  EXPECT_EQ(FirmwareFileReadByte(), 0);
}

TEST_F(FileTest, OnlyAnExistingRegularFileOpens) {
  EXPECT_FALSE(FirmwareFileOpen(""));
  EXPECT_FALSE(FirmwareFileOpen(dir + "/missing.fw"));
  EXPECT_FALSE(FirmwareFileOpen(dir));  // a directory is not a firmware file
  std::string fifo = dir + "/fifo.fw";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  created.push_back(fifo);
  EXPECT_FALSE(FirmwareFileOpen(fifo));  // and does not hang waiting for a writer
  EXPECT_FALSE(FirmwareFileOpen("/dev/null"));
  EXPECT_FALSE(FirmwareFileIsOpen());
}

TEST_F(FileTest, OpenIsExclusive) {
  std::string path = Make("trx.fw", Pattern(40));
  ASSERT_TRUE(FirmwareFileOpen(path));
  int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);  // the run holds it
  EXPECT_NE(flock(other, LOCK_SH | LOCK_NB), 0);
  EXPECT_FALSE(FirmwareFileOpen(path));  // one slot
  FirmwareFileClose();
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);  // released with the close
  close(other);
}

TEST_F(FileTest, AFileHeldInThisProcessIsRefused) {
  std::string path = Make("trx.fw", Pattern(40));
  int holder = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_SH | LOCK_NB), 0);
  EXPECT_FALSE(FirmwareFileOpen(path));
  EXPECT_FALSE(FirmwareFileIsOpen());
  close(holder);
  EXPECT_TRUE(FirmwareFileOpen(path));
}

TEST_F(FileTest, AFileHeldByAnotherProcessIsRefused) {
  std::string path = Make("trx.fw", Pattern(40));
  // Another program holding the file: here another instance of this one.
  HoldingChild other([&] { return FirmwareFileOpen(path); });
  ASSERT_TRUE(other.Started());
  int opened = other.Report();
  ASSERT_NE(opened, -1);
  EXPECT_EQ(opened, 1);
  EXPECT_FALSE(FirmwareFileOpen(path));
  EXPECT_EQ(FileSizeByPath(path), 40);  // the size still answers

  ASSERT_TRUE(other.Release());
  EXPECT_TRUE(FirmwareFileOpen(path));
}

TEST_F(FileTest, ReopenStartsFromTheBeginning) {
  std::string path = Make("trx.fw", {9, 8, 7});
  ASSERT_TRUE(FirmwareFileOpen(path));
  EXPECT_EQ(FirmwareFileReadByte(), 9);
  FirmwareFileClose();
  FirmwareFileClose();  // closing a closed slot does nothing
  ASSERT_TRUE(FirmwareFileOpen(path));
  EXPECT_EQ(FirmwareFileReadByte(), 9);
  EXPECT_EQ(FirmwareFileReadByte(), 8);
}

}  // namespace
