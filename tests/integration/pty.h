// A pty pair for the serial tests: the backend opens the slave by its path,
// the test plays the device on the master. The test keeps a slave descriptor
// of its own open, so the tty (and its termios) lives across the backend's
// open and close, as a real serial port does.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string path;

  PtyPair() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      return;
    }
    char name[128] = {};
    if (ptsname_r(master, name, sizeof name) != 0) {
      return;
    }
    path = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ~PtyPair() {
    CloseMaster();
    if (slave >= 0) {
      close(slave);
    }
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master >= 0 && slave >= 0 && !path.empty(); }

  void CloseMaster() {
    if (master >= 0) {
      close(master);
      master = -1;
    }
  }

  termios Settings() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
  bool SetSettings(const termios& t) const { return tcsetattr(slave, TCSANOW, &t) == 0; }

  // Writes everything to the master (the device sending).
  bool DeviceSend(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
      if (n <= 0) {
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Reads from the master until count bytes have come or timeoutMs passed.
  std::vector<std::uint8_t> DeviceReceive(std::size_t count, int timeoutMs = 5000) const {
    return ReceiveFrom(master, count, timeoutMs);
  }

  static std::vector<std::uint8_t> ReceiveFrom(int fd, std::size_t count, int timeoutMs) {
    std::vector<std::uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) {
        break;
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0 || (p.revents & POLLIN) == 0) {
        break;
      }
      std::uint8_t chunk[4096];
      std::size_t want = count - got.size();
      ssize_t n = read(fd, chunk, want < sizeof chunk ? want : sizeof chunk);
      if (n <= 0) {
        break;
      }
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }
};

// A cooked termios such as a fresh tty has, plus everything the open must
// undo: canonical mode, echo, signal keys, CR/LF translation, two stop bits,
// CTS/RTS flow control, hang-up on close, another baud rate. (A pty itself
// forces 8 data bits without parity, whatever is asked.)
inline termios CookedSettings(termios t) {
  t.c_iflag |= ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT | IUCLC;
  t.c_oflag |= OPOST | ONLCR | OCRNL;
  t.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ISIG | IEXTEN;
  t.c_cflag |= CSTOPB | CRTSCTS | HUPCL;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  return t;
}
