// DevicePort on Linux: termios on a tty device, behaving as a Windows COM
// port does (byte-transparent line, exclusive open, bounded writes).
#include "platform/linux/serial_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/linux/com_names.h"
#include "platform/serial.h"

namespace {

// The slot. Shutdown may close it on the main thread while an update worker
// is inside a read, a write or a queue count ("closed under it"). So that the
// descriptor is never closed while another thread uses it (nor its number
// reused under that thread), every operation holds a use of the slot, and the
// close waits until the uses have ended; the wake-up descriptor ends a read or
// write that waits in poll() at once.
struct PortSlot {
  std::mutex lock;
  std::condition_variable idle;
  int fd = -1;
  int users = 0;
  int wake = -1;  // eventfd, readable while a close waits for the users
};

PortSlot& Slot() {
  static PortSlot slot;
  return slot;
}

// The open descriptor with a use taken on it, or -1 when nothing is open.
class PortUse {
 public:
  PortUse() : slot_(Slot()) {
    std::lock_guard<std::mutex> guard(slot_.lock);
    if (slot_.fd >= 0) {
      fd_ = slot_.fd;
      wake_ = slot_.wake;
      ++slot_.users;
    }
  }
  ~PortUse() {
    if (fd_ >= 0) {
      std::lock_guard<std::mutex> guard(slot_.lock);
      if (--slot_.users == 0) {
        slot_.idle.notify_all();
      }
    }
  }
  PortUse(const PortUse&) = delete;
  PortUse& operator=(const PortUse&) = delete;

  int fd() const { return fd_; }

  // Waits up to timeoutMs (-1: no limit) for events on the port. False when
  // the wait must end: the slot is being closed, or poll failed.
  bool Wait(short events, int timeoutMs, short& revents) const {
    pollfd p[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
    int ready = poll(p, 2, timeoutMs);
    revents = p[0].revents;
    if (ready < 0 && errno != EINTR) {
      return false;
    }
    return (p[1].revents & POLLIN) == 0;
  }

 private:
  PortSlot& slot_;
  int fd_ = -1;
  int wake_ = -1;
};

bool BaudConstant(std::uint32_t baudRate, speed_t& speed) {
  struct Entry {
    std::uint32_t rate;
    speed_t constant;
  };
  static constexpr Entry Table[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const Entry& entry : Table) {
    if (entry.rate == baudRate) {
      speed = entry.constant;
      return true;
    }
  }
  return false;
}

bool DataBitsFlag(int dataBits, tcflag_t& flag) {
  switch (dataBits) {
    case 5:
      flag = CS5;
      return true;
    case 6:
      flag = CS6;
      return true;
    case 7:
      flag = CS7;
      return true;
    case 8:
      flag = CS8;
      return true;
    default:
      return false;
  }
}

// Byte-transparent line with the requested settings, starting from the port's
// current ones. XON/XOFF (IXON, IXOFF, IXANY) stay as the port had them.
void ApplyLineSettings(termios& t, speed_t speed, tcflag_t sizeFlag, Parity parity,
                       StopBits stopBits) {
  // Input: nothing translated, dropped, stripped or marked (PARMRK would
  // double every 0xFF byte), no signal on break. INPCK is the parity check,
  // without effect while PARENB is off.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IUCLC | IMAXBEL | IGNPAR);
  t.c_iflag |= INPCK;
  // Output: sent as written.
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET | OFILL);
  // No canonical mode, echo, signal keys or extended processing.
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                                      ECHOKE | ISIG | IEXTEN | XCASE | TOSTOP);
  // Reads are non-blocking polls (O_NONBLOCK stays set), so VMIN/VTIME only
  // matter to whoever opens the port after us: a plain "1 byte, no timer".
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;

  // Control: receiver on, modem status (DCD) ignored as on a Windows COM port,
  // no CTS/RTS flow control, and no HUPCL: the last close must not drop DTR
  // and RTS, the close changes no modem line.
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  t.c_cflag |= CREAD | CLOCAL | sizeFlag;
  if (parity == Parity::Odd) {
    t.c_cflag |= PARENB | PARODD;
  } else if (parity == Parity::Even) {
    t.c_cflag |= PARENB;
  }
  if (stopBits == StopBits::Two) {
    t.c_cflag |= CSTOPB;
  }
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
}

// tcsetattr succeeds when any part of the request was applied: compare what
// the driver now holds with what was asked for.
bool LineSettingsTook(const termios& wanted, const termios& now) {
  constexpr tcflag_t CflagChecked = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CREAD;
  return (now.c_cflag & CflagChecked) == (wanted.c_cflag & CflagChecked) &&
         cfgetispeed(&now) == cfgetispeed(&wanted) && cfgetospeed(&now) == cfgetospeed(&wanted) &&
         (now.c_lflag & ICANON) == 0 && (now.c_oflag & OPOST) == 0;
}

void CloseDescriptor(int fd) {
  // Leave the tty openable again by others (TIOCEXCL outlives our descriptor
  // when another one stays open on the same tty). The flock goes with close().
  ioctl(fd, TIOCNXCL);
  // No tcflush, no tcdrain, no modem line change. A real UART driver may still
  // let close() wait for unsent output (the port's closing_wait, 30 s by
  // default); the update only closes after its output queue has drained.
  close(fd);
}

}  // namespace

void SerialInitialize() {}

bool DevicePortOpenDevice(const std::string& devicePath, std::uint32_t baudRate, Parity parity,
                          int dataBits, StopBits stopBits, Handshake handshake) {
  (void)handshake;  // Handshake::None is the only one
  speed_t speed = 0;
  tcflag_t sizeFlag = 0;
  if (DevicePortIsOpen() || devicePath.empty() || !BaudConstant(baudRate, speed) ||
      !DataBitsFlag(dataBits, sizeFlag)) {
    return false;
  }

  int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  termios current{};
  // A tty, and not held by anyone: flock conflicts with every other open file
  // holding it, in another process or in this one.
  if (tcgetattr(fd, &current) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      ioctl(fd, TIOCEXCL) != 0) {
    CloseDescriptor(fd);
    return false;
  }

  termios wanted = current;
  ApplyLineSettings(wanted, speed, sizeFlag, parity, stopBits);
  termios now{};
  if (tcsetattr(fd, TCSANOW, &wanted) != 0 || tcgetattr(fd, &now) != 0 ||
      !LineSettingsTook(wanted, now)) {
    CloseDescriptor(fd);
    return false;
  }

  // Hold RTS off. A pty has no modem lines and answers ENOTTY (EINVAL on some
  // drivers): nothing to hold off there, so that is no failure. DTR is left
  // as it is.
  int rts = TIOCM_RTS;
  if (ioctl(fd, TIOCMBIC, &rts) != 0 && errno != ENOTTY && errno != EINVAL) {
    CloseDescriptor(fd);
    return false;
  }

  PortSlot& slot = Slot();
  {
    std::lock_guard<std::mutex> guard(slot.lock);
    if (slot.wake < 0) {
      slot.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    // Without the wake-up descriptor a close could not end a waiting read.
    if (slot.fd < 0 && slot.wake >= 0) {
      slot.fd = fd;
      return true;
    }
  }
  CloseDescriptor(fd);  // another thread filled the slot meanwhile, or no eventfd
  return false;
}

bool DevicePortOpen(const std::string& name, std::uint32_t baudRate, Parity parity, int dataBits,
                    StopBits stopBits, Handshake handshake, std::uint32_t inputQueueSize,
                    std::uint32_t outputQueueSize) {
  // The queue sizes are a request to the Windows driver; a tty's buffers are
  // the kernel's, nothing to ask for.
  (void)inputQueueSize;
  (void)outputQueueSize;
  std::string path = ComNameToDevicePath(name);
  if (path.empty()) {
    return false;
  }
  return DevicePortOpenDevice(path, baudRate, parity, dataBits, stopBits, handshake);
}

bool DevicePortIsOpen() {
  PortSlot& slot = Slot();
  std::lock_guard<std::mutex> guard(slot.lock);
  return slot.fd >= 0;
}

void DevicePortClose() {
  PortSlot& slot = Slot();
  int fd = -1;
  {
    std::unique_lock<std::mutex> guard(slot.lock);
    if (slot.fd < 0) {
      return;
    }
    fd = slot.fd;
    slot.fd = -1;  // no new use from here on
    if (slot.users > 0) {
      std::uint64_t one = 1;
      (void)!write(slot.wake, &one, sizeof one);
      // The uses end at once: nothing in them blocks but the woken poll.
      slot.idle.wait(guard, [&slot] { return slot.users == 0; });
      std::uint64_t count = 0;
      (void)!read(slot.wake, &count, sizeof count);
    }
  }
  CloseDescriptor(fd);
}

std::uint32_t DevicePortInputCount() {
  PortUse use;
  int count = 0;
  if (use.fd() < 0 || ioctl(use.fd(), FIONREAD, &count) != 0 || count < 0) {
    return 0;
  }
  return static_cast<std::uint32_t>(count);
}

std::uint32_t DevicePortOutputCount() {
  PortUse use;
  int count = 0;
  if (use.fd() < 0 || ioctl(use.fd(), TIOCOUTQ, &count) != 0 || count < 0) {
    return 0;
  }
  return static_cast<std::uint32_t>(count);
}

std::uint32_t DevicePortRead(std::uint8_t* buffer, std::uint32_t count) {
  PortUse use;
  const int fd = use.fd();
  std::uint32_t got = 0;
  while (fd >= 0 && got < count) {
    ssize_t n = read(fd, buffer + got, count - got);
    if (n > 0) {
      got += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n == 0) {
      break;  // end of file: the tty was hung up
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      break;  // EIO after a hangup or an unplugged adapter
    }
    // No time-out: wait until data comes, the line fails or the slot closes.
    short revents = 0;
    if (!use.Wait(POLLIN, -1, revents)) {
      break;
    }
    if ((revents & (POLLERR | POLLNVAL)) != 0 || (revents & (POLLHUP | POLLIN)) == POLLHUP) {
      break;  // failed, or hung up with nothing left to read
    }
  }
  return got;
}

std::uint32_t DevicePortWrite(const std::uint8_t* buffer, std::uint32_t count) {
  using Clock = std::chrono::steady_clock;
  // Windows: WriteTotalTimeoutMultiplier 100 ms, WriteTotalTimeoutConstant 10 ms.
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(100) * static_cast<std::int64_t>(count) +
      std::chrono::milliseconds(10);
  PortUse use;
  const int fd = use.fd();
  std::uint32_t written = 0;
  while (fd >= 0 && written < count) {
    ssize_t n = write(fd, buffer + written, count - written);
    if (n > 0) {
      written += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      break;  // EIO after a hangup
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      break;  // time-out: the count so far
    }
    short revents = 0;
    if (!use.Wait(POLLOUT, static_cast<int>(left < INT_MAX ? left : INT_MAX), revents)) {
      break;
    }
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (revents & POLLOUT) == 0) {
      break;
    }
  }
  return written;
}
