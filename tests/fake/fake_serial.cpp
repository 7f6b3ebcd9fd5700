// platform/serial.h on a scripted device, in virtual time.
#include <algorithm>

#include "fake_state.h"

namespace fake {
namespace detail {

namespace {

void Schedule(State& s, std::int64_t at, Bytes bytes) {
  auto pos = std::upper_bound(s.pending.begin(), s.pending.end(), at,
                              [](std::int64_t t, const Scheduled& item) { return t < item.at; });
  s.pending.insert(pos, Scheduled{at, std::move(bytes)});
}

std::uint32_t OutputCountNow(State& s) {
  const OutputQueue& b = s.outputBehaviour;
  switch (b.mode) {
    case OutputQueue::Immediate:
      s.outputQueued = 0;
      break;
    case OutputQueue::AfterPolls:
      if (s.outputQueued > 0) {
        if (s.outputPollsLeft > 0) {
          --s.outputPollsLeft;
        } else {
          s.outputQueued = 0;
        }
      }
      break;
    case OutputQueue::Never:
      break;
    case OutputQueue::Rate:
      if (b.msPerByte <= 0) {
        s.outputQueued = 0;
      } else if (s.outputQueued > 0) {
        std::int64_t gone = (s.now - s.drainMark) / b.msPerByte;
        if (gone > 0) {
          s.outputQueued -= static_cast<std::uint32_t>(
              std::min<std::int64_t>(gone, static_cast<std::int64_t>(s.outputQueued)));
          s.drainMark += gone * b.msPerByte;
        }
      }
      break;
  }
  return s.outputQueued;
}

void ClearSession(State& s) {
  s.input.clear();
  s.pending.clear();
  s.outputQueued = 0;
  s.outputPollsLeft = 0;
  s.writtenThisSession = 0;
}

}  // namespace

void DeliverDue(State& s) {
  auto due = std::find_if(s.pending.begin(), s.pending.end(),
                          [&](const Scheduled& item) { return item.at > s.now; });
  for (auto it = s.pending.begin(); it != due; ++it) {
    s.input.insert(s.input.end(), it->bytes.begin(), it->bytes.end());
  }
  s.pending.erase(s.pending.begin(), due);
}

}  // namespace detail

using namespace detail;

// ------------------------------------------------------------ scripting

void AddPort(const std::string& name, PortKind kind) {
  Lock lock = Locked();
  TheState().ports[name] = kind;
}

std::vector<PortOpen> PortOpens() {
  Lock lock = Locked();
  return TheState().portOpens;
}
int PortCloses() {
  Lock lock = Locked();
  return TheState().portCloses;
}
bool PortIsOpen() {
  Lock lock = Locked();
  return TheState().portOpen;
}

void DeviceSendAtOpen(std::string_view bytes) {
  Lock lock = Locked();
  Bytes& b = TheState().deviceAtOpen;
  b.insert(b.end(), bytes.begin(), bytes.end());
}

void DeviceSendAt(std::int64_t msAfterOpen, std::string_view bytes) {
  Lock lock = Locked();
  TheState().deviceTimed.push_back(Scheduled{msAfterOpen, ToBytes(bytes)});
}

void DeviceReplyAfterWritten(std::uint64_t bytesWritten, std::int64_t delayMs,
                             std::string_view bytes) {
  Lock lock = Locked();
  TheState().reactions.push_back(Reaction{bytesWritten, delayMs, ToBytes(bytes), false});
}

std::vector<PortWrite> PortWrites() {
  Lock lock = Locked();
  return TheState().writes;
}
Bytes BytesWritten() {
  Lock lock = Locked();
  Bytes all;
  for (const PortWrite& w : TheState().writes) {
    all.insert(all.end(), w.bytes.begin(), w.bytes.end());
  }
  return all;
}
std::vector<PortRead> PortReads() {
  Lock lock = Locked();
  return TheState().reads;
}
int Overreads() {
  Lock lock = Locked();
  return TheState().overreads;
}
std::uint32_t InputWaiting() {
  Lock lock = Locked();
  State& s = TheState();
  DeliverDue(s);
  return static_cast<std::uint32_t>(s.input.size());
}

void SetOutputQueue(const OutputQueue& behaviour) {
  Lock lock = Locked();
  State& s = TheState();
  s.outputBehaviour = behaviour;
  s.outputPollsLeft = behaviour.polls;
  s.drainMark = s.now;
}
void SetStatusQueryFails(bool fails) {
  Lock lock = Locked();
  TheState().statusFails = fails;
}
void SetReadLimit(std::optional<std::uint32_t> limit) {
  Lock lock = Locked();
  TheState().readLimit = limit;
}

}  // namespace fake

// ------------------------------------------------------------ platform/serial.h

using namespace fake;
using namespace fake::detail;

void SerialInitialize() {
  Lock lock = Locked();
  Emit(lock, "SerialInitialize");
}

bool DevicePortOpen(const std::string& name, std::uint32_t baudRate, Parity parity, int dataBits,
                    StopBits stopBits, Handshake handshake, std::uint32_t inputQueueSize,
                    std::uint32_t outputQueueSize) {
  Lock lock = Locked();
  State& s = TheState();
  auto port = s.ports.find(name);
  bool ok = !s.portOpen && port != s.ports.end() && port->second == PortKind::Present;
  s.portOpens.push_back(PortOpen{name, baudRate, parity, dataBits, stopBits, handshake,
                                 inputQueueSize, outputQueueSize, ok, s.now});
  if (ok) {
    s.portOpen = true;
    s.openTime = s.now;
    ClearSession(s);
    s.input.assign(s.deviceAtOpen.begin(), s.deviceAtOpen.end());
    for (const Scheduled& item : s.deviceTimed) {
      Schedule(s, s.now + item.at, item.bytes);
    }
    for (Reaction& r : s.reactions) {
      r.fired = false;
    }
    DeliverDue(s);
  }
  const char parityChar = parity == Parity::None ? 'N' : parity == Parity::Odd ? 'O' : 'E';
  std::string entry =
      "DevicePortOpen " + name + " " + std::to_string(baudRate) + " " + std::to_string(dataBits) +
      parityChar + (stopBits == StopBits::One ? "1" : "2") +
      (handshake == Handshake::None ? " none " : " ? ") + std::to_string(inputQueueSize) + " " +
      std::to_string(outputQueueSize) + " -> " + (ok ? "1" : "0");
  Emit(lock, entry);
  return ok;
}

bool DevicePortIsOpen() {
  Lock lock = Locked();
  bool open = TheState().portOpen;
  Emit(lock, std::string("DevicePortIsOpen ") + (open ? "1" : "0"));
  return open;
}

void DevicePortClose() {
  Lock lock = Locked();
  State& s = TheState();
  if (s.portOpen) {
    s.portOpen = false;
    ++s.portCloses;
    ClearSession(s);
  }
  Emit(lock, "DevicePortClose");
}

std::uint32_t DevicePortInputCount() {
  Lock lock = Locked();
  State& s = TheState();
  std::uint32_t count = 0;
  if (!s.portOpen) {
    Misuse(s, "DevicePortInputCount on a closed port");
  } else {
    DeliverDue(s);
    count = s.statusFails ? 0 : static_cast<std::uint32_t>(s.input.size());
  }
  Emit(lock, "DevicePortInputCount " + std::to_string(count));
  return count;
}

std::uint32_t DevicePortOutputCount() {
  Lock lock = Locked();
  State& s = TheState();
  std::uint32_t count = 0;
  if (!s.portOpen) {
    Misuse(s, "DevicePortOutputCount on a closed port");
  } else {
    DeliverDue(s);
    std::uint32_t queued = OutputCountNow(s);
    count = s.statusFails ? 0 : queued;
  }
  Emit(lock, "DevicePortOutputCount " + std::to_string(count));
  return count;
}

std::uint32_t DevicePortRead(std::uint8_t* buffer, std::uint32_t count) {
  Lock lock = Locked();
  State& s = TheState();
  std::uint32_t n = 0;
  if (!s.portOpen) {
    Misuse(s, "DevicePortRead on a closed port");
  } else {
    DeliverDue(s);
    // Unchanged, but every byte a driver may fill is accessed.
    volatile std::uint8_t* whole = buffer;
    for (std::uint32_t i = 0; i < count; ++i) {
      // cppcheck-suppress selfAssignment
      whole[i] = whole[i];
    }
    auto waiting = static_cast<std::uint32_t>(s.input.size());
    if (count > waiting) {
      ++s.overreads;
    }
    n = std::min(count, waiting);
    if (s.readLimit) {
      n = std::min(n, *s.readLimit);
    }
    PortRead read{s.now, count, {}};
    for (std::uint32_t i = 0; i < n; ++i) {
      buffer[i] = s.input.front();
      read.got.push_back(s.input.front());
      s.input.pop_front();
    }
    s.reads.push_back(std::move(read));
  }
  Emit(lock, "DevicePortRead " + std::to_string(count) + " -> " + std::to_string(n));
  return n;
}

std::uint32_t DevicePortWrite(const std::uint8_t* buffer, std::uint32_t count) {
  Lock lock = Locked();
  State& s = TheState();
  std::uint32_t written = 0;
  if (!s.portOpen) {
    Misuse(s, "DevicePortWrite on a closed port");
  } else {
    written = count;
    s.writes.push_back(PortWrite{s.now, Bytes(buffer, buffer + count)});
    s.writtenThisSession += count;
    for (Reaction& r : s.reactions) {
      if (!r.fired && s.writtenThisSession >= r.afterWritten) {
        r.fired = true;
        Schedule(s, s.now + r.delay, r.bytes);
      }
    }
    if (s.outputBehaviour.mode == OutputQueue::Immediate) {
      s.outputQueued = 0;
    } else {
      if (s.outputQueued == 0) {
        s.drainMark = s.now;
      }
      s.outputQueued += count + s.outputBehaviour.extraPerWrite;
      s.outputPollsLeft = s.outputBehaviour.polls;
    }
    DeliverDue(s);
  }
  Emit(lock, "DevicePortWrite " + std::to_string(count));
  return written;
}
