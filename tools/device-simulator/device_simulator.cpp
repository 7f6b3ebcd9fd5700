// fu-device-sim: plays the device end of the firmware-update exchange on a
// pty, so the real program can be run against it. See README.md beside this
// file for the command line and the event lines it prints.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <system_error>

namespace {

enum class Reply { Ok, Lower, None, OkCrLf, Bad };
enum class HangupPoint { Nowhere, Header, Reply1, Reply2 };

struct Options {
  std::string link;
  std::string recordDir;
  Reply headerReply = Reply::Ok;
  Reply bodyReply = Reply::Ok;
  std::int64_t bodyLength = -1;  // -1: the body ends when the line goes idle
  int replyDelayMs = 0;
  int noiseOnOpen = 0;
  bool floodDuringBody = false;
  std::int64_t hangupAfter = -1;  // body bytes before the simulated unplug; -1: never
  HangupPoint hangupIn = HangupPoint::Nowhere;
};

struct Pty {
  int master = -1;
  int inotify = -1;
  std::string slave;
};

enum class Phase { Header, Reply1Wait, Body, Reply2Wait, Done };

struct Session {
  int number = 0;
  int record = -1;
  Phase phase = Phase::Header;
  int headerCount = 0;
  std::int64_t bodyCount = 0;
  std::int64_t bodyPrinted = -1;
  std::int64_t replyAt = 0;
  std::int64_t lastInputAt = 0;
  std::int64_t nextFloodAt = 0;
};

constexpr int HeaderSize = 16;
constexpr std::int64_t BodyIdleMs = 300;
constexpr std::int64_t BodyProgressStep = 4096;
constexpr std::int64_t FloodIntervalMs = 5;
constexpr std::size_t FloodChunk = 64;
// While nobody has the port open, the master is checked this often as well,
// in case an open slipped past the inotify watch.
constexpr int IdleCheckMs = 200;

Options Opt;
Pty Port;
int SignalFd = -1;
int SessionsServed = 0;
// Opens (+1) and closes (-1) of the slave, oldest first, not yet acted on.
std::deque<int> SlaveEvents;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Emit(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& what) {
  std::string reason = std::error_code(errno, std::generic_category()).message();
  std::fprintf(stderr, "fu-device-sim: %s: %s\n", what.c_str(), reason.c_str());
  std::_Exit(1);
}

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr,
               "fu-device-sim: %s\n"
               "usage: fu-device-sim --link PATH [--record DIR]\n"
               "         [--header-reply ok|lower|none|okcrlf|bad] [--body-reply R]\n"
               "         [--body-length N] [--reply-delay-ms N] [--noise-on-open N]\n"
               "         [--flood-during-body] [--hangup-after N]\n"
               "         [--hangup-in header|reply1|reply2]\n",
               problem.c_str());
  std::_Exit(2);
}

std::int64_t ParseCount(const std::string& option, const char* text) {
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0) {
    Usage(option + " needs a count of 0 or more, not '" + text + "'");
  }
  return value;
}

Reply ParseReply(const std::string& option, const std::string& text) {
  if (text == "ok") return Reply::Ok;
  if (text == "lower") return Reply::Lower;
  if (text == "none") return Reply::None;
  if (text == "okcrlf") return Reply::OkCrLf;
  if (text == "bad") return Reply::Bad;
  Usage(option + " takes ok, lower, none, okcrlf or bad, not '" + text + "'");
}

const char* ReplyName(Reply reply) {
  switch (reply) {
    case Reply::Ok:
      return "ok";
    case Reply::Lower:
      return "lower";
    case Reply::None:
      return "none";
    case Reply::OkCrLf:
      return "okcrlf";
    case Reply::Bad:
      return "bad";
  }
  return "?";
}

std::string ReplyBytes(Reply reply) {
  switch (reply) {
    case Reply::Ok:
      return "OK";
    case Reply::Lower:
      return "ok";
    case Reply::None:
      return "";
    case Reply::OkCrLf:
      return "OK\r\n";
    case Reply::Bad:
      return "NO";
  }
  return "";
}

void ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Usage(option + " needs a value");
      return argv[++i];
    };
    if (option == "--link") {
      Opt.link = value();
    } else if (option == "--record") {
      Opt.recordDir = value();
    } else if (option == "--header-reply") {
      Opt.headerReply = ParseReply(option, value());
    } else if (option == "--body-reply") {
      Opt.bodyReply = ParseReply(option, value());
    } else if (option == "--body-length") {
      Opt.bodyLength = ParseCount(option, value());
    } else if (option == "--reply-delay-ms") {
      Opt.replyDelayMs = static_cast<int>(
          std::min<std::int64_t>(ParseCount(option, value()), std::int64_t{86400000}));
    } else if (option == "--noise-on-open") {
      Opt.noiseOnOpen =
          static_cast<int>(std::min<std::int64_t>(ParseCount(option, value()), 1 << 20));
    } else if (option == "--flood-during-body") {
      Opt.floodDuringBody = true;
    } else if (option == "--hangup-after") {
      Opt.hangupAfter = ParseCount(option, value());
    } else if (option == "--hangup-in") {
      std::string where = value();
      if (where == "header") {
        Opt.hangupIn = HangupPoint::Header;
      } else if (where == "reply1") {
        Opt.hangupIn = HangupPoint::Reply1;
      } else if (where == "reply2") {
        Opt.hangupIn = HangupPoint::Reply2;
      } else {
        Usage("--hangup-in takes header, reply1 or reply2, not '" + where + "'");
      }
    } else {
      Usage("unknown option '" + option + "'");
    }
  }
  if (Opt.link.empty()) Usage("--link PATH is required");
  if (Opt.hangupAfter >= 0 && Opt.hangupIn != HangupPoint::Nowhere) {
    Usage("--hangup-after and --hangup-in exclude each other");
  }
  if (!Opt.recordDir.empty()) {
    struct stat st {};
    if (stat(Opt.recordDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      Usage("--record needs an existing directory: " + Opt.recordDir);
    }
  }
}

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
}

// Points the link at the current slave. Only a symlink (or nothing) is
// replaced: a real file at that path is somebody's data.
void PointLink() {
  struct stat st {};
  if (lstat(Opt.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    errno = EEXIST;
    Fail("refusing to replace " + Opt.link + ", which is not a symlink");
  }
  std::string temporary = Opt.link + ".new-" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(Port.slave.c_str(), temporary.c_str()) != 0) Fail("symlink " + temporary);
  if (rename(temporary.c_str(), Opt.link.c_str()) != 0) {
    unlink(temporary.c_str());
    Fail("rename to " + Opt.link);
  }
}

void CreatePty() {
  Port.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Port.master < 0) Fail("posix_openpt");
  if (grantpt(Port.master) != 0 || unlockpt(Port.master) != 0) Fail("grantpt/unlockpt");
  char name[128];
  if (ptsname_r(Port.master, name, sizeof name) != 0) Fail("ptsname_r");
  Port.slave = name;
  MakeRaw(Port.master);
  // A pty whose slave was never opened does not report POLLHUP; opening and
  // closing it once makes "no host" visible on the master.
  int slave = open(Port.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) Fail("open " + Port.slave);
  MakeRaw(slave);
  close(slave);
  // The watch sees every open and close of the slave, however brief (a port
  // probe opens and closes it within microseconds).
  Port.inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (Port.inotify < 0) Fail("inotify_init1");
  if (inotify_add_watch(Port.inotify, Port.slave.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    Fail("inotify_add_watch " + Port.slave);
  }
  PointLink();
  Emit("READY " + Port.slave);
}

void DestroyPty() {
  if (Port.master >= 0) close(Port.master);
  if (Port.inotify >= 0) close(Port.inotify);
  Port = Pty{};
  SlaveEvents.clear();
}

bool MasterHungUp() {
  pollfd p{Port.master, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// Moves the queued inotify events into SlaveEvents; true if there were any.
bool ReadSlaveEvents() {
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  for (;;) {
    ssize_t got = read(Port.inotify, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_OPEN) != 0) SlaveEvents.push_back(1);
      if ((event->mask & IN_CLOSE) != 0) SlaveEvents.push_back(-1);
      any = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return any;
}

bool Stopping() {
  pollfd p{SignalFd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// Writes all of data, waiting up to a second for room; returns what went out.
std::size_t WriteMaster(const char* data, std::size_t size) {
  std::size_t done = 0;
  std::int64_t deadline = NowMs() + 1000;
  while (done < size) {
    ssize_t put = write(Port.master, data + done, size - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) break;
    std::int64_t left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{Port.master, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left));
  }
  return done;
}

void Record(Session& s, const char* data, std::size_t size) {
  if (s.record < 0) return;
  std::size_t done = 0;
  while (done < size) {
    ssize_t put = write(s.record, data + done, size - done);
    if (put <= 0) {
      if (put < 0 && errno == EINTR) continue;
      Fail("writing the record of session " + std::to_string(s.number));
    }
    done += static_cast<std::size_t>(put);
  }
}

void PrintBodyProgress(Session& s, bool atEnd) {
  bool stepCrossed = s.bodyPrinted < 0
                         ? s.bodyCount >= BodyProgressStep
                         : s.bodyCount / BodyProgressStep > s.bodyPrinted / BodyProgressStep;
  if ((atEnd && s.bodyCount != s.bodyPrinted) || (!atEnd && stepCrossed)) {
    Emit("BODY " + std::to_string(s.bodyCount));
    s.bodyPrinted = s.bodyCount;
  }
}

void StartSession(Session& s) {
  s = Session{};
  s.number = ++SessionsServed;
  if (!Opt.recordDir.empty()) {
    std::string path = Opt.recordDir + "/session-" + std::to_string(s.number) + ".bin";
    s.record = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (s.record < 0) Fail("open " + path);
  }
  Emit("OPEN");
  if (Opt.noiseOnOpen > 0) {
    std::string noise(static_cast<std::size_t>(Opt.noiseOnOpen), '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) {
      noise[i] = static_cast<char>("Oops!~noise~"[i % 12]);
    }
    Emit("NOISE " + std::to_string(WriteMaster(noise.data(), noise.size())));
  }
}

// Ends the session; the record is complete before the line is printed.
void EndSession(Session& s, const char* line) {
  if (s.phase == Phase::Body) PrintBodyProgress(s, true);
  if (s.record >= 0) close(s.record);
  s.record = -1;
  Emit(line);
}

// Unplug: the host's port dies under it; a fresh pty takes the link.
void Hangup(Session& s) {
  // One unplug per run of the simulator: the next session is served normally.
  Opt.hangupAfter = -1;
  Opt.hangupIn = HangupPoint::Nowhere;
  close(Port.master);
  Port.master = -1;
  EndSession(s, "HANGUP");
  DestroyPty();
  CreatePty();
}

void EnterBody(Session& s, std::int64_t now) {
  s.phase = Phase::Body;
  s.lastInputAt = now;
  s.nextFloodAt = now;
}

void EndBody(Session& s, std::int64_t now) {
  PrintBodyProgress(s, true);
  s.phase = Phase::Reply2Wait;
  s.replyAt = now + Opt.replyDelayMs;
}

// Moves the session on by time: replies, the end of an idle body, flooding.
// Returns false when the session ended in a hangup.
bool Advance(Session& s, std::int64_t now) {
  if (s.phase == Phase::Reply1Wait && now >= s.replyAt) {
    if (Opt.hangupIn == HangupPoint::Reply1) {
      Hangup(s);
      return false;
    }
    std::string bytes = ReplyBytes(Opt.headerReply);
    WriteMaster(bytes.data(), bytes.size());
    Emit(std::string("REPLY1 ") + ReplyName(Opt.headerReply));
    // A device that did not accept the header stays silent from here on: a
    // later "OK" would only be read as the answer to the header.
    if (Opt.headerReply != Reply::Ok) {
      s.phase = Phase::Done;
      return true;
    }
    EnterBody(s, now);
    if (Opt.hangupAfter == 0) {
      Hangup(s);
      return false;
    }
    if (Opt.bodyLength == 0) EndBody(s, now);
  }
  if (s.phase == Phase::Body && Opt.bodyLength < 0 && now - s.lastInputAt >= BodyIdleMs) {
    EndBody(s, now);
  }
  if (s.phase == Phase::Body && Opt.floodDuringBody && now >= s.nextFloodAt) {
    static const char junk[FloodChunk + 1] =
        "~flood~flood~flood~flood~flood~flood~flood~flood~flood~flood~fl";
    ssize_t ignored = write(Port.master, junk, FloodChunk);  // a full queue just drops it
    (void)ignored;
    s.nextFloodAt = now + FloodIntervalMs;
  }
  if (s.phase == Phase::Reply2Wait && now >= s.replyAt) {
    if (Opt.hangupIn == HangupPoint::Reply2) {
      Hangup(s);
      return false;
    }
    std::string bytes = ReplyBytes(Opt.bodyReply);
    WriteMaster(bytes.data(), bytes.size());
    Emit(std::string("REPLY2 ") + ReplyName(Opt.bodyReply));
    s.phase = Phase::Done;
  }
  return true;
}

// How many bytes the next read may take, so that the header, the hangup
// points and the body length fall exactly on a read boundary.
std::size_t ReadLimit(const Session& s, std::size_t buffer) {
  std::int64_t limit = static_cast<std::int64_t>(buffer);
  if (s.phase == Phase::Header) {
    int end = Opt.hangupIn == HangupPoint::Header ? HeaderSize / 2 : HeaderSize;
    limit = std::min<std::int64_t>(limit, end - s.headerCount);
  } else if (s.phase == Phase::Body || s.phase == Phase::Reply1Wait) {
    if (Opt.hangupAfter > 0) limit = std::min(limit, Opt.hangupAfter - s.bodyCount);
    if (Opt.bodyLength > 0 && s.phase == Phase::Body) {
      limit = std::min(limit, Opt.bodyLength - s.bodyCount);
    }
  }
  return static_cast<std::size_t>(std::max<std::int64_t>(limit, 1));
}

// Takes in one chunk from the host. Returns false when it ended in a hangup.
bool Receive(Session& s, const char* data, std::size_t size, std::int64_t now) {
  Record(s, data, size);
  std::int64_t count = static_cast<std::int64_t>(size);
  if (s.phase == Phase::Header) {
    s.headerCount += static_cast<int>(count);
    if (Opt.hangupIn == HangupPoint::Header && s.headerCount >= HeaderSize / 2) {
      Hangup(s);
      return false;
    }
    if (s.headerCount >= HeaderSize) {
      Emit("HEADER");
      s.phase = Phase::Reply1Wait;
      s.replyAt = now + Opt.replyDelayMs;
    }
    return true;
  }
  if (s.phase == Phase::Body || s.phase == Phase::Reply1Wait) {
    s.bodyCount += count;
    s.lastInputAt = now;
    if (s.phase == Phase::Body) PrintBodyProgress(s, false);
    if (Opt.hangupAfter > 0 && s.bodyCount >= Opt.hangupAfter) {
      Hangup(s);
      return false;
    }
    if (s.phase == Phase::Body && Opt.bodyLength >= 0 && s.bodyCount >= Opt.bodyLength) {
      EndBody(s, now);
    }
  }
  return true;
}

// Reads what the host sent until the master has nothing more. Returns false
// when a hangup ended the session.
bool DrainMaster(Session& s) {
  char buffer[65536];
  for (;;) {
    ssize_t got = read(Port.master, buffer, ReadLimit(s, sizeof buffer));
    if (got > 0) {
      if (!Receive(s, buffer, static_cast<std::size_t>(got), NowMs())) return false;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return true;  // EAGAIN: nothing waiting; EIO: no host any more
  }
}

// Serves one host from its open to its close (or to a simulated hangup).
void ServeSession() {
  Session s;
  StartSession(s);
  int balance = 1;
  for (;;) {
    std::int64_t now = NowMs();
    if (!Advance(s, now)) return;
    // Closes and reopens already queued: settle them in order before waiting.
    while (balance > 0 && !SlaveEvents.empty()) {
      balance += SlaveEvents.front();
      SlaveEvents.pop_front();
    }
    if (balance <= 0) break;

    std::int64_t wake = -1;
    if (s.phase == Phase::Reply1Wait || s.phase == Phase::Reply2Wait) wake = s.replyAt;
    if (s.phase == Phase::Body) {
      if (Opt.bodyLength < 0) wake = s.lastInputAt + BodyIdleMs;
      if (Opt.floodDuringBody) wake = wake < 0 ? s.nextFloodAt : std::min(wake, s.nextFloodAt);
    }
    int timeout = wake < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, wake - now));

    pollfd fds[3] = {{SignalFd, POLLIN, 0}, {Port.inotify, POLLIN, 0}, {Port.master, POLLIN, 0}};
    if (poll(fds, 3, timeout) < 0 && errno != EINTR) Fail("poll");
    if ((fds[0].revents & POLLIN) != 0) {
      EndSession(s, "CLOSED");
      return;
    }
    bool hungUp = (fds[2].revents & POLLHUP) != 0;
    if (!DrainMaster(s)) return;
    // The close event is queued before the slave is released, so a hangup
    // seen on the master with no event to show for it means the watch
    // missed one: the host is gone all the same.
    if (!ReadSlaveEvents() && hungUp) break;
  }
  // The host's last bytes may still be on their way until the slave is
  // released; a reopen already queued means there is no release to wait for.
  for (int i = 0; i < 200 && SlaveEvents.empty() && !MasterHungUp(); ++i) {
    usleep(1000);
    ReadSlaveEvents();
  }
  if (!DrainMaster(s)) return;
  EndSession(s, "CLOSED");
  MakeRaw(Port.master);
}

void Serve() {
  for (;;) {
    if (Stopping()) return;
    while (!SlaveEvents.empty() && SlaveEvents.front() < 0) {
      SlaveEvents.pop_front();  // a close whose open was already settled
    }
    if (!SlaveEvents.empty()) {
      SlaveEvents.pop_front();
      ServeSession();
      continue;
    }
    pollfd fds[2] = {{SignalFd, POLLIN, 0}, {Port.inotify, POLLIN, 0}};
    if (poll(fds, 2, IdleCheckMs) < 0 && errno != EINTR) Fail("poll");
    if (!ReadSlaveEvents() && !MasterHungUp()) SlaveEvents.push_back(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ParseOptions(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &mask, nullptr) != 0) Fail("pthread_sigmask");
  SignalFd = signalfd(-1, &mask, SFD_CLOEXEC);
  if (SignalFd < 0) Fail("signalfd");

  CreatePty();
  Serve();

  // Leave no dangling link behind, but only remove it if it is still ours.
  char target[4096];
  ssize_t length = readlink(Opt.link.c_str(), target, sizeof target - 1);
  if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == Port.slave) {
    unlink(Opt.link.c_str());
  }
  DestroyPty();
  return 0;
}
