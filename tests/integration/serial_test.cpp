// The termios backend of DevicePort against real pty pairs.
#include "platform/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "platform/linux/serial_linux.h"
#include "pty.h"

namespace {

using namespace std::chrono_literals;

bool OpenPty(const PtyPair& pty, std::uint32_t baud = 57600) {
  return DevicePortOpenDevice(pty.path, baud, Parity::None, 8, StopBits::One, Handshake::None);
}

std::vector<std::uint8_t> AllByteValues() {
  std::vector<std::uint8_t> bytes(256);
  for (int i = 0; i < 256; ++i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  }
  return bytes;
}

// Waits (bounded) until the input queue holds count bytes: the pty moves the
// master's bytes to the slave asynchronously.
bool WaitForInputCount(std::uint32_t count) {
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (DevicePortInputCount() == count) {
      return true;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// Whether a new open file on path can take the flock now.
bool CanLock(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return locked;
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.ok()); }
  void TearDown() override { DevicePortClose(); }
  PtyPair pty;
};

TEST_F(SerialTest, OpenMakesTheLineRawWithTheRequestedSettings) {
  termios before = CookedSettings(pty.Settings());
  before.c_iflag |= IXON;
  before.c_iflag &= ~static_cast<tcflag_t>(IXOFF);
  ASSERT_TRUE(pty.SetSettings(before));
  termios cooked = pty.Settings();  // what the open starts from
  ASSERT_NE(cooked.c_lflag & ICANON, 0u);
  ASSERT_NE(cooked.c_iflag & ICRNL, 0u);
  ASSERT_NE(cooked.c_oflag & OPOST, 0u);
  ASSERT_NE(cooked.c_cflag & (CSTOPB | CRTSCTS | HUPCL), 0u);
  ASSERT_EQ(cfgetospeed(&cooked), static_cast<speed_t>(B115200));

  ASSERT_TRUE(OpenPty(pty, 57600));
  EXPECT_TRUE(DevicePortIsOpen());
  termios t = pty.Settings();

  // Byte-transparent in both directions.
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT | IUCLC), 0u);
  EXPECT_EQ(t.c_oflag & (OPOST | ONLCR | OCRNL), 0u);
  // 57600 8N1, no CTS flow control, parity check on, receiver on, no hang-up
  // on close.
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_cflag & HUPCL, 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_NE(t.c_iflag & INPCK, 0u);
  // XON/XOFF as the port had them.
  EXPECT_NE(t.c_iflag & IXON, 0u);
  EXPECT_EQ(t.c_iflag & IXOFF, 0u);
  // Exclusive for the tty driver too.
  int exclusive = 0;
  ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
}

TEST_F(SerialTest, OpenForDiscoveryAt9600KeepsXonXoffOff) {
  termios before = CookedSettings(pty.Settings());
  before.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  ASSERT_TRUE(pty.SetSettings(before));

  ASSERT_TRUE(OpenPty(pty, 9600));
  termios t = pty.Settings();
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(t.c_lflag & ICANON, 0u);
}

TEST_F(SerialTest, OpenSetsTheStopBitsAsAsked) {
  ASSERT_TRUE(
      DevicePortOpenDevice(pty.path, 9600, Parity::None, 8, StopBits::Two, Handshake::None));
  EXPECT_NE(pty.Settings().c_cflag & CSTOPB, 0u);
  DevicePortClose();
  ASSERT_TRUE(
      DevicePortOpenDevice(pty.path, 9600, Parity::None, 8, StopBits::One, Handshake::None));
  EXPECT_EQ(pty.Settings().c_cflag & CSTOPB, 0u);
}

TEST_F(SerialTest, ALineThatRefusesTheSettingsFailsTheOpen) {
  // A pty keeps itself at 8 data bits without parity whatever it is asked:
  // the open notices that the driver did not take the request.
  EXPECT_FALSE(
      DevicePortOpenDevice(pty.path, 9600, Parity::Odd, 8, StopBits::One, Handshake::None));
  EXPECT_FALSE(
      DevicePortOpenDevice(pty.path, 9600, Parity::Even, 8, StopBits::One, Handshake::None));
  EXPECT_FALSE(
      DevicePortOpenDevice(pty.path, 9600, Parity::None, 7, StopBits::One, Handshake::None));
  EXPECT_FALSE(DevicePortIsOpen());
  EXPECT_TRUE(CanLock(pty.path));  // nothing left open
  int exclusive = 1;
  ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(SerialTest, SettingsTheLineCannotTakeFailTheOpen) {
  EXPECT_FALSE(
      DevicePortOpenDevice(pty.path, 12345, Parity::None, 8, StopBits::One, Handshake::None));
  EXPECT_FALSE(
      DevicePortOpenDevice(pty.path, 57600, Parity::None, 9, StopBits::One, Handshake::None));
  EXPECT_FALSE(DevicePortIsOpen());
  EXPECT_TRUE(CanLock(pty.path));  // nothing left open
}

TEST_F(SerialTest, NamesOutsideTheComTableFail) {
  for (const char* name : {"", "COM0", "COM100", "COM01", "com3", "COM3 ", "/dev/null"}) {
    EXPECT_FALSE(
        DevicePortOpen(name, 9600, Parity::None, 8, StopBits::One, Handshake::None, 16, 16))
        << name;
    EXPECT_FALSE(DevicePortIsOpen());
  }
}

TEST_F(SerialTest, WhatIsNoTtyIsNoPort) {
  char dir[] = "/tmp/fu-serial-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/plain";
  int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  close(fd);

  for (const std::string& path :
       {std::string("/dev/null"), file, std::string(dir), std::string(dir) + "/missing"}) {
    EXPECT_FALSE(DevicePortOpenDevice(path, 9600, Parity::None, 8, StopBits::One, Handshake::None))
        << path;
    EXPECT_FALSE(DevicePortIsOpen());
  }
  EXPECT_TRUE(CanLock(file));  // the failed open let go of it
  unlink(file.c_str());
  rmdir(dir);
}

TEST_F(SerialTest, APortHeldInThisProcessIsRefused) {
  int holder = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(OpenPty(pty));
  EXPECT_FALSE(DevicePortIsOpen());
  close(holder);

  ASSERT_TRUE(OpenPty(pty));
  EXPECT_FALSE(CanLock(pty.path));  // and now the backend holds it
}

TEST_F(SerialTest, ASecondOpenWhileTheSlotHoldsAPortFails) {
  PtyPair other;
  ASSERT_TRUE(other.ok());
  ASSERT_TRUE(OpenPty(pty));
  EXPECT_FALSE(OpenPty(other));
  EXPECT_FALSE(OpenPty(pty));
  EXPECT_TRUE(DevicePortIsOpen());
  EXPECT_TRUE(CanLock(other.path));
}

TEST_F(SerialTest, APortHeldByAnotherProcessIsRefused) {
  // Another instance of the program holding the port.
  HoldingChild other([&] { return OpenPty(pty); });
  ASSERT_TRUE(other.Started());
  int opened = other.Report();
  ASSERT_NE(opened, -1);
  EXPECT_EQ(opened, 1);
  EXPECT_FALSE(OpenPty(pty));
  EXPECT_FALSE(DevicePortIsOpen());

  ASSERT_TRUE(other.Release());
  // The other process has ended: its flock went with it.
  EXPECT_TRUE(OpenPty(pty));
}

TEST_F(SerialTest, CloseLetsThePortBeOpenedAgain) {
  ASSERT_TRUE(OpenPty(pty));
  DevicePortClose();
  EXPECT_FALSE(DevicePortIsOpen());
  EXPECT_TRUE(CanLock(pty.path));
  int exclusive = 1;
  ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_TRUE(OpenPty(pty));
  DevicePortClose();
  DevicePortClose();  // closing a closed slot does nothing
  EXPECT_FALSE(DevicePortIsOpen());
}

TEST_F(SerialTest, CloseNeitherFlushesNorPurgesNorChangesTheLine) {
  ASSERT_TRUE(OpenPty(pty));
  ASSERT_TRUE(pty.DeviceSend({'i', 'n'}));
  ASSERT_TRUE(WaitForInputCount(2));
  const std::uint8_t out[] = {'o', 'u', 't'};
  ASSERT_EQ(DevicePortWrite(out, 3), 3u);
  termios open = pty.Settings();
  DevicePortClose();

  // What was written before the close still reaches the device ...
  EXPECT_EQ(pty.DeviceReceive(3), (std::vector<std::uint8_t>{'o', 'u', 't'}));
  // ... and what the device sent is still waiting in the input queue.
  EXPECT_EQ(PtyPair::ReceiveFrom(pty.slave, 2, 2000), (std::vector<std::uint8_t>{'i', 'n'}));
  termios closed = pty.Settings();
  EXPECT_EQ(closed.c_cflag, open.c_cflag);
  EXPECT_EQ(closed.c_iflag, open.c_iflag);
  EXPECT_EQ(closed.c_oflag, open.c_oflag);
  EXPECT_EQ(closed.c_lflag, open.c_lflag);
}

TEST_F(SerialTest, QueueCountsFollowTheLine) {
  EXPECT_EQ(DevicePortInputCount(), 0u);  // nothing open: 0
  EXPECT_EQ(DevicePortOutputCount(), 0u);
  ASSERT_TRUE(OpenPty(pty));
  EXPECT_EQ(DevicePortInputCount(), 0u);
  ASSERT_TRUE(pty.DeviceSend({'O', 'K'}));
  EXPECT_TRUE(WaitForInputCount(2));
  ASSERT_TRUE(pty.DeviceSend({1, 2, 3}));
  EXPECT_TRUE(WaitForInputCount(5));

  std::uint8_t got[5] = {};
  ASSERT_EQ(DevicePortRead(got, 2), 2u);
  EXPECT_EQ(DevicePortInputCount(), 3u);
  ASSERT_EQ(DevicePortRead(got, 3), 3u);
  EXPECT_EQ(DevicePortInputCount(), 0u);

  // A pty hands written bytes straight to the other side: its output queue
  // is empty again at once.
  const std::uint8_t header[16] = {};
  ASSERT_EQ(DevicePortWrite(header, 16), 16u);
  EXPECT_EQ(DevicePortOutputCount(), 0u);
  EXPECT_EQ(pty.DeviceReceive(16).size(), 16u);
}

TEST_F(SerialTest, EveryByteValueCrossesUnchangedBothWays) {
  // IXON is left as the port had it; with it on, the tty would take 0x11 and
  // 0x13 from the device as flow control. A Windows port has XON/XOFF off.
  termios before = CookedSettings(pty.Settings());
  before.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  ASSERT_TRUE(pty.SetSettings(before));
  ASSERT_TRUE(OpenPty(pty));

  std::vector<std::uint8_t> bytes = AllByteValues();
  ASSERT_EQ(DevicePortWrite(bytes.data(), 256), 256u);
  EXPECT_EQ(pty.DeviceReceive(256), bytes);

  ASSERT_TRUE(pty.DeviceSend(bytes));
  std::vector<std::uint8_t> got(256);
  ASSERT_TRUE(WaitForInputCount(256));
  ASSERT_EQ(DevicePortRead(got.data(), 256), 256u);
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(DevicePortInputCount(), 0u);

  // One byte per write, as the update's body goes.
  for (std::uint8_t b : bytes) {
    ASSERT_EQ(DevicePortWrite(&b, 1), 1u);
  }
  EXPECT_EQ(pty.DeviceReceive(256), bytes);
}

TEST_F(SerialTest, ReadBlocksUntilEveryRequestedByteHasArrived) {
  ASSERT_TRUE(OpenPty(pty));
  std::vector<std::uint8_t> got(10);
  std::atomic<bool> returned{false};
  auto reader = std::async(std::launch::async, [&] {
    std::uint32_t n = DevicePortRead(got.data(), 10);
    returned = true;
    return n;
  });
  ASSERT_TRUE(pty.DeviceSend({0, 1, 2, 3}));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(returned.load());  // 4 of 10 bytes: still waiting
  ASSERT_TRUE(pty.DeviceSend({4, 5, 6, 7, 8, 9}));
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reader.get(), 10u);
  EXPECT_EQ(got, (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(SerialTest, ReadReturnsWhenTheLineHangsUp) {
  ASSERT_TRUE(OpenPty(pty));
  std::vector<std::uint8_t> got(10);
  auto reader = std::async(std::launch::async, [&] { return DevicePortRead(got.data(), 10); });
  ASSERT_TRUE(pty.DeviceSend({'a', 'b', 'c'}));
  std::this_thread::sleep_for(200ms);
  pty.CloseMaster();  // the device goes away (an adapter unplugged)
  auto status = reader.wait_for(10s);
  if (status != std::future_status::ready) {
    DevicePortClose();  // ends the read so the test can report
  }
  ASSERT_EQ(status, std::future_status::ready);
  EXPECT_LT(reader.get(), 10u);

  // Every wait on the counts ends: both give 0 once the query fails.
  EXPECT_EQ(DevicePortInputCount(), 0u);
  EXPECT_EQ(DevicePortOutputCount(), 0u);
  const std::uint8_t byte = 0x55;
  EXPECT_EQ(DevicePortWrite(&byte, 1), 0u);
  EXPECT_TRUE(DevicePortIsOpen());  // the slot stays until the report closes it
}

TEST_F(SerialTest, ACloseOnAnotherThreadEndsARead) {
  ASSERT_TRUE(OpenPty(pty));
  std::vector<std::uint8_t> got(4);
  auto reader = std::async(std::launch::async, [&] { return DevicePortRead(got.data(), 4); });
  std::this_thread::sleep_for(200ms);
  DevicePortClose();  // shutdown closes the port under a running update
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reader.get(), 0u);
}

TEST_F(SerialTest, AWriteGivesUpWhenTheLineTakesNoMore) {
  ASSERT_TRUE(OpenPty(pty));
  // The device reads nothing: fill the pty until it takes no more, through
  // the test's own descriptor of the same tty.
  std::vector<std::uint8_t> chunk(4096, 0x5A);
  for (int quiet = 0; quiet < 3;) {
    ssize_t n = write(pty.slave, chunk.data(), chunk.size());
    if (n > 0) {
      quiet = 0;
    } else {
      ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
      ++quiet;
      std::this_thread::sleep_for(50ms);  // let the pty move its buffers on
    }
  }
  const std::uint8_t header[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  // Returns (after about 100 ms per byte + 10 ms) with what it got rid of.
  EXPECT_LT(DevicePortWrite(header, 16), 16u);
  EXPECT_EQ(DevicePortWrite(header, 0), 0u);
}

TEST_F(SerialTest, ACloseOnAnotherThreadEndsAStalledWrite) {
  ASSERT_TRUE(OpenPty(pty));
  std::vector<std::uint8_t> chunk(4096, 0x5A);
  for (int quiet = 0; quiet < 3;) {
    if (write(pty.slave, chunk.data(), chunk.size()) > 0) {
      quiet = 0;
    } else {
      ++quiet;
      std::this_thread::sleep_for(50ms);
    }
  }
  // 100 ms per byte: this write alone would wait for 400 s.
  auto writer = std::async(std::launch::async, [&] { return DevicePortWrite(chunk.data(), 4000); });
  std::this_thread::sleep_for(200ms);
  DevicePortClose();
  ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
  EXPECT_LT(writer.get(), 4000u);
}

TEST_F(SerialTest, AComNameOpensTheDeviceOfTheTable) {
  // COM1 is /dev/ttyS0: bind the pty over it in a private mount namespace of
  // a child process, as the end-to-end tests do.
  if (geteuid() != 0 || access("/dev/ttyS0", F_OK) != 0) {
    GTEST_SKIP() << "needs root and a /dev/ttyS0 to bind the pty over";
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(pty.path.c_str(), "/dev/ttyS0", nullptr, MS_BIND, nullptr) != 0) {
      _exit(20);
    }
    if (!DevicePortOpen("COM1", 9600, Parity::None, 8, StopBits::One, Handshake::None, 16, 16)) {
      _exit(1);
    }
    const std::uint8_t byte = 'X';
    std::uint32_t written = DevicePortWrite(&byte, 1);
    DevicePortClose();
    _exit(written == 1 ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 20) {
    GTEST_SKIP() << "no private mount namespace here";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(pty.DeviceReceive(1), (std::vector<std::uint8_t>{'X'}));
  termios t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST(SerialSlot, NothingOpenMeansNothingToReadOrWrite) {
  EXPECT_FALSE(DevicePortIsOpen());
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(DevicePortRead(buffer, 4), 0u);
  EXPECT_EQ(DevicePortWrite(buffer, 4), 0u);
  EXPECT_EQ(DevicePortInputCount(), 0u);
  EXPECT_EQ(DevicePortOutputCount(), 0u);
  DevicePortClose();
  EXPECT_FALSE(DevicePortIsOpen());
}

}  // namespace
