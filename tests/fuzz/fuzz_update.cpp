// libFuzzer target: one RunFirmwareUpdate per input, against the fake
// platform. The input decides everything the outside world decides (the file,
// the port, the device's bytes and their virtual arrival times, the driver's
// output queue, an unplugged adapter, short reads, the foreground window);
// the checks below hold for every input, and any breach traps.
//
// FU_FUZZ_VERBOSE=1 prints one line per input: the scenario and the message.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/main_window.h"
#include "app/shared_state.h"
#include "fake_platform.h"
#include "update/update_sequence.h"

namespace {

using fake::Bytes;
using fake::OutputQueue;

[[noreturn]] void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "fu_fuzz_update: %s %s\n", what, detail.c_str());
  std::fflush(stderr);
  __builtin_trap();
}

void Check(bool ok, const char* what, const std::string& detail = "") {
  if (!ok) {
    Fail(what, detail);
  }
}

// ------------------------------------------------------------ the scenario

enum class FileState { Present, Missing, Held, Directory };
enum class PortState { Present, Absent, Held, Refuses };

struct Timed {
  std::int64_t ms;
  Bytes bytes;
};
struct Reply {
  std::uint64_t afterWritten;
  std::int64_t delay;
  Bytes bytes;
};
// Output-queue behaviour taken up after write `after` (-1: before the run)
// and given back to the base behaviour after write after + length.
struct QueueSpell {
  int after;
  int length;
  OutputQueue behaviour;
};

struct Scenario {
  FileState file = FileState::Present;
  Bytes fileBytes;
  PortState port = PortState::Present;
  bool selected = true;
  bool foreground = true;
  Bytes atOpen;
  std::vector<Timed> timed;
  std::vector<Reply> replies;
  OutputQueue base;
  std::vector<QueueSpell> spells;
  int unplugAtCall = -1;  // status queries fail from this platform call on
  int unplugAfterWrite = -1;
  int readLimit = -1;  // -1: none
};

constexpr std::int64_t kHeader = 16;

// What a device may answer: mostly the right thing, or nearly.
Bytes ReplyBytes(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
    case 1:
    case 2:
    case 3:
      return fake::ToBytes("OK");
    case 4:
      return fake::ToBytes("ok");
    case 5:
      return fake::ToBytes("OK\r\n");
    case 6:
      return fake::ToBytes("O");
    case 7:
      return fake::ToBytes("K");
    default:
      return in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 4));
  }
}

OutputQueue CostlyQueue(FuzzedDataProvider& in) {
  OutputQueue q;
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:  // around the end of the body's tight spin and the stall limit after it
      q.mode = OutputQueue::AfterPolls;
      q.polls = 99990 + in.ConsumeIntegralInRange(0, 5020);
      break;
    case 1:
      q.mode = OutputQueue::Rate;
      q.msPerByte = in.ConsumeIntegralInRange(0, 5200);
      break;
    default:
      q.mode = OutputQueue::Never;
      break;
  }
  q.extraPerWrite = in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
  return q;
}

Scenario Decide(FuzzedDataProvider& in) {
  Scenario s;
  int file = in.ConsumeIntegralInRange(0, 7);
  s.file = file <= 4 ? FileState::Present : static_cast<FileState>(file - 4);
  int port = in.ConsumeIntegralInRange(0, 7);
  s.port = port <= 4 ? PortState::Present : static_cast<PortState>(port - 4);
  s.selected = in.ConsumeIntegralInRange(0, 7) != 7;
  s.foreground = in.ConsumeBool();

  std::size_t size = in.ConsumeIntegralInRange<std::size_t>(0, 300);
  if (in.ConsumeIntegralInRange(0, 15) == 15) {
    size = in.ConsumeIntegralInRange<std::size_t>(0, 9000);  // past the 4096-byte file buffer
  }
  auto n = static_cast<std::int64_t>(size) - kHeader;
  auto bodyEnd = static_cast<std::uint64_t>(kHeader + std::max<std::int64_t>(n, 0));

  s.atOpen = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 20));
  for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i) {
    std::int64_t ms = in.ConsumeIntegralInRange<std::int64_t>(0, 12000);
    s.timed.push_back(
        {ms, in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 4))});
  }
  // The two replies of a device that works, each with its delay; then maybe
  // more at any point of the transfer.
  if (in.ConsumeIntegralInRange(0, 7) != 7) {
    std::int64_t delay = in.ConsumeIntegralInRange<std::int64_t>(0, 5200);
    s.replies.push_back({16, delay, ReplyBytes(in)});
  }
  if (in.ConsumeIntegralInRange(0, 7) != 7) {
    std::int64_t delay = in.ConsumeIntegralInRange<std::int64_t>(0, 5200);
    // No body: the second reply must come after the first has been read.
    if (n <= 0) {
      delay += in.ConsumeIntegralInRange<std::int64_t>(0, 300);
    }
    s.replies.push_back({bodyEnd, delay, ReplyBytes(in)});
  }
  for (int i = in.ConsumeIntegralInRange(0, 2); i > 0; --i) {
    std::uint64_t after = in.ConsumeIntegralInRange<std::uint64_t>(0, bodyEnd + 2);
    std::int64_t delay = in.ConsumeIntegralInRange<std::int64_t>(0, 6000);
    s.replies.push_back({after, delay, ReplyBytes(in)});
  }

  int lastWrite = static_cast<int>(std::max<std::int64_t>(n, 0));
  if (in.ConsumeBool()) {
    s.base.mode = OutputQueue::AfterPolls;
    s.base.polls = in.ConsumeIntegralInRange(0, 64);
  }
  for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i) {
    int after = in.ConsumeIntegralInRange(-1, lastWrite);
    int length = in.ConsumeIntegralInRange(1, 4);
    s.spells.push_back({after, length, CostlyQueue(in)});
  }

  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 6:
      s.unplugAtCall = in.ConsumeIntegralInRange(0, 30000);
      break;
    case 7:
      s.unplugAfterWrite = in.ConsumeIntegralInRange(0, lastWrite);
      break;
    default:
      break;
  }
  if (in.ConsumeIntegralInRange(0, 7) == 7) {
    s.readLimit = in.ConsumeIntegralInRange(0, 2);
  }

  s.fileBytes = in.ConsumeBytes<std::uint8_t>(size);
  for (std::size_t i = s.fileBytes.size(); i < size; ++i) {
    s.fileBytes.push_back(static_cast<std::uint8_t>(1 + (i * 37) % 251));  // not 0: padding shows
  }
  return s;
}

// ------------------------------------------------------------ watching the run

constexpr int kReplyPolls = 5000;
constexpr std::int64_t kBodySpin = 100000;  // queries of the spin after a body byte

// What the hook sees, and the allowances that grow with each write: a drain
// of q queued bytes may take 5000 polls of 1 ms per byte plus 5000 without
// progress; the rest of a run is bounded by a constant.
struct Watch {
  const Scenario* scenario = nullptr;
  std::int64_t size = 0;
  std::int64_t calls = 0;
  std::int64_t callAllowance = 0;
  std::int64_t timeAllowance = 0;
  int writes = 0;
  std::int64_t maxWrites = 0;
  OutputQueue current;
  std::uint32_t lastOutputCount = 0;
  bool sawOutputCount = false;
  std::uint32_t lastInputCount = 0;
  int inputPollsSinceWrite = 0;
  bool checkProgressNext = false;
  int readsBeforeHeader = 0;
  std::size_t bytesReadBeforeHeader = 0;
  bool pluggedAtHeader = false;
  bool unplugged = false;
  int messages = 0;
  std::int64_t messageCall = -1;
  std::array<std::int64_t, 4> lastDisable{-1, -1, -1, -1};
  std::array<std::int64_t, 4> lastEnable{-1, -1, -1, -1};
  std::int64_t lastProgressZero = -1;
  std::int64_t lastProgressOther = -1;
};
Watch watch;

void Unplug() {
  watch.unplugged = true;
  fake::SetStatusQueryFails(true);
  fake::SetReadLimit(0);
}

void ApplyQueueAfterWrite(int after) {
  OutputQueue next = watch.current;
  bool changed = false;
  for (const QueueSpell& spell : watch.scenario->spells) {
    if (spell.after == after) {
      next = spell.behaviour;
      changed = true;
    } else if (spell.after + spell.length == after) {
      next = watch.scenario->base;
      changed = true;
    }
  }
  if (changed) {
    watch.current = next;
    fake::SetOutputQueue(next);
  }
}

bool StartsWith(std::string_view entry, std::string_view prefix) {
  return entry.substr(0, prefix.size()) == prefix;
}

// The number that ends a log entry ("DevicePortInputCount 2").
std::uint32_t Answer(std::string_view entry) {
  std::uint32_t value = 0;
  std::string_view digits = entry.substr(entry.rfind(' ') + 1);
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

int ControlIndex(std::string_view name) {
  static constexpr std::array<std::string_view, 4> names = {"PortList", "FirmwarePathField",
                                                            "OpenButton", "UpdateButton"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (name == names[i]) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void AllControls(bool enabled, const char* what) {
  for (GuiHandle h : {PortList, FirmwarePathField, OpenButton, UpdateButton}) {
    Check(fake::Control(h).enabled == enabled, what);
  }
}

void OnCall(const std::string& text) {
  std::string_view entry = text;
  std::int64_t call = watch.calls++;
  // Details are built only on a failure: this runs on every platform call.
  if (watch.calls > watch.callAllowance) {
    Fail("endless loop: more platform calls than any run needs",
         std::to_string(watch.calls) + " calls, last: " + text);
  }
  if (watch.scenario->unplugAtCall >= 0 && call == watch.scenario->unplugAtCall) {
    Unplug();
  }
  if (watch.checkProgressNext) {
    watch.checkProgressNext = false;
    std::int64_t n = watch.size - kHeader;
    std::int64_t want = static_cast<std::int64_t>(watch.writes - 1) * 100 / n;
    if (UpdateProgress.load() != want) {
      Fail("progress after a body byte is not 100*i/n",
           std::to_string(UpdateProgress.load()) + " != " + std::to_string(want));
    }
  }

  if (StartsWith(entry, "Sleep ")) {
    if (fake::Now() > watch.timeAllowance) {
      Fail("the run outlasts any wait it may make", std::to_string(fake::Now()) + " ms");
    }
  } else if (StartsWith(entry, "DevicePortOutputCount ")) {
    watch.lastOutputCount = Answer(entry);
    watch.sawOutputCount = true;
  } else if (StartsWith(entry, "DevicePortInputCount ")) {
    watch.lastInputCount = Answer(entry);
    ++watch.inputPollsSinceWrite;
  } else if (StartsWith(entry, "DevicePortWrite ")) {
    Check(watch.writes == 0 || (watch.sawOutputCount && watch.lastOutputCount == 0),
          "a body byte written before the output queue drained");
    if (watch.writes == 0) {
      std::vector<fake::PortRead> reads = fake::PortReads();
      watch.readsBeforeHeader = static_cast<int>(reads.size());
      for (const fake::PortRead& r : reads) watch.bytesReadBeforeHeader += r.got.size();
      watch.pluggedAtHeader = !watch.unplugged;
    }
    std::uint32_t count = Answer(entry);
    Check(count == (watch.writes == 0 ? 16u : 1u), "a write of the wrong size", text);
    ++watch.writes;
    Check(watch.writes <= watch.maxWrites, "more writes than the file has bytes to send");
    std::uint32_t queued = count + watch.current.extraPerWrite;
    watch.timeAllowance += 5000 * (static_cast<std::int64_t>(queued) + 1);
    watch.callAllowance +=
        kBodySpin + std::int64_t{2} * 5000 * (static_cast<std::int64_t>(queued) + 1) + 8;
    watch.sawOutputCount = false;
    watch.inputPollsSinceWrite = 0;
    watch.checkProgressNext = watch.writes > 1;
    ApplyQueueAfterWrite(watch.writes - 1);
    if (watch.scenario->unplugAfterWrite == watch.writes - 1) {
      Unplug();
    }
  } else if (StartsWith(entry, "DevicePortRead ")) {
    int polls = watch.inputPollsSinceWrite;
    watch.inputPollsSinceWrite = 0;  // with no body, the second wait follows this read
    if (watch.writes > 0) {
      Check(StartsWith(entry, "DevicePortRead 2 "), "a reply read of other than 2 bytes", text);
      Check(watch.lastInputCount == 2, "a reply read without exactly 2 bytes waiting");
      Check(polls < kReplyPolls, "a reply read at or after poll 5000");
    }
  } else if (StartsWith(entry, "FirmwareFileOpen ")) {
    AllControls(false, "the file is opened before the four controls are disabled");
  } else if (StartsWith(entry, "GuiEnable ")) {
    std::string_view rest = entry.substr(10);
    int index = ControlIndex(rest.substr(0, rest.find(' ')));
    Check(index >= 0, "an enable or disable of another control", text);
    (rest.back() == '1' ? watch.lastEnable : watch.lastDisable)[static_cast<std::size_t>(index)] =
        call;
  } else if (StartsWith(entry, "GuiSetProgress ")) {
    (entry.back() == '0' && entry[entry.size() - 2] == ' ' ? watch.lastProgressZero
                                                           : watch.lastProgressOther) = call;
  } else if (StartsWith(entry, "GuiShowMessage ")) {
    ++watch.messages;
    watch.messageCall = call;
    Check(!fake::FileIsOpen(), "the file is still open when the message shows");
    Check(!fake::PortIsOpen(), "the port is still open when the message shows");
    AllControls(true, "a control is still disabled when the message shows");
  }
}

// ------------------------------------------------------------ the oracle

struct Message {
  std::string title;
  std::string text;
};

// The result the run must report, from what it was given and what it read.
Message Expected(const Scenario& s, const std::vector<fake::PortRead>& reads) {
  std::string portText = s.selected ? "COM3" : "";
  if (s.file != FileState::Present) {
    return {"ERROR:1", "Firmware missing!"};
  }
  if (!s.selected || s.port != PortState::Present) {
    return {"ERROR:2", "Can't open the serial port: " + portText};
  }
  auto replies = static_cast<std::size_t>(watch.readsBeforeHeader);
  auto ok = [&](std::size_t i) { return reads[i].got == fake::ToBytes("OK"); };
  if (watch.writes == 0 || reads.size() <= replies) {
    return {"ERROR:3", "Device does not respond!"};
  }
  if (!ok(replies)) {
    return {"ERROR:4", "No correct answer device!"};
  }
  if (reads.size() <= replies + 1) {
    return {"ERROR:3", "Device does not respond!"};
  }
  return ok(replies + 1) ? Message{"Information", "Device update!"}
                         : Message{"ERROR:5", "Update wrong!"};
}

Bytes ExpectedStream(const Bytes& file) {
  Bytes stream(file);
  stream.resize(std::max<std::size_t>(stream.size(), kHeader), 0);
  return stream;
}

// ------------------------------------------------------------ one run

void SetUpWorld(const Scenario& s) {
  fake::ResetFake();
  fake::SetLogKept(false);
  UpdateProgress.store(0);
  UpdateInProgress.store(false);
  std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
  std::memset(SendBuffer, 0, sizeof SendBuffer);
  OpenMainWindow(0, 0, 480, 140);
  fake::SetHandleNamer([](GuiHandle h) -> std::string {
    if (h == PortList) return "PortList";
    if (h == FirmwarePathField) return "FirmwarePathField";
    if (h == OpenButton) return "OpenButton";
    if (h == ProgressBar) return "ProgressBar";
    if (h == UpdateButton) return "UpdateButton";
    if (h == MainWindow) return "MainWindow";
    return "";
  });

  switch (s.file) {
    case FileState::Present:
      fake::AddFile("trx.fw", s.fileBytes);
      break;
    case FileState::Missing:
      fake::AddFile("other.fw", s.fileBytes);
      break;
    case FileState::Held:
      fake::AddFile("trx.fw", s.fileBytes);
      fake::SetFileHeld("trx.fw", true);
      break;
    case FileState::Directory:
      fake::AddDirectory("trx.fw");
      break;
  }
  switch (s.port) {
    case PortState::Present:
      fake::AddPort("COM3");
      break;
    case PortState::Absent:
      fake::AddPort("COM4");
      break;
    case PortState::Held:
      fake::AddPort("COM3", fake::PortKind::HeldElsewhere);
      break;
    case PortState::Refuses:
      fake::AddPort("COM3", fake::PortKind::RefusesSettings);
      break;
  }
  fake::SelectText(PortList, "COM3");
  if (!s.selected) {
    fake::Select(PortList, -1);
  }
  fake::SetForeground(s.foreground);

  auto view = [](const Bytes& b) {
    return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
  };
  fake::DeviceSendAtOpen(view(s.atOpen));
  for (const Timed& t : s.timed) {
    fake::DeviceSendAt(t.ms, view(t.bytes));
  }
  for (const Reply& r : s.replies) {
    fake::DeviceReplyAfterWritten(r.afterWritten, r.delay, view(r.bytes));
  }
  if (s.readLimit >= 0) {
    fake::SetReadLimit(static_cast<std::uint32_t>(s.readLimit));
  }

  watch = Watch{};
  watch.scenario = &s;
  watch.size = static_cast<std::int64_t>(s.fileBytes.size());
  watch.maxWrites = 1 + std::max<std::int64_t>(watch.size - kHeader, 0);
  std::int64_t deviceBytes = static_cast<std::int64_t>(s.atOpen.size());
  for (const Timed& t : s.timed) deviceBytes += static_cast<std::int64_t>(t.bytes.size());
  for (const Reply& r : s.replies) deviceBytes += static_cast<std::int64_t>(r.bytes.size());
  // Start-up and report, the stale-input discard (one read per byte at
  // worst), the header's reads and the two reply waits.
  watch.callAllowance =
      200 + 2 * deviceBytes + 2 * kHeader + std::int64_t{2} * (2 * kReplyPolls + 2);
  watch.timeAllowance = 100 + 2 * kReplyPolls;
  watch.current = s.base;
  fake::SetOutputQueue(s.base);
  ApplyQueueAfterWrite(-1);
  if (s.unplugAtCall == 0) {
    Unplug();
  }
  fake::SetCallHook(OnCall);
}

std::string Describe(const Scenario& s) {
  static constexpr const char* files[] = {"present", "missing", "held", "directory"};
  static constexpr const char* ports[] = {"present", "absent", "held", "refuses"};
  return std::string("file ") + files[static_cast<int>(s.file)] + " " +
         std::to_string(s.fileBytes.size()) + " B, port " + ports[static_cast<int>(s.port)] +
         (s.selected ? "" : " unselected") + ", " + std::to_string(s.replies.size()) +
         " replies, " + std::to_string(s.spells.size()) + " queue spells" +
         (s.unplugAtCall >= 0 || s.unplugAfterWrite >= 0 ? ", unplug" : "") +
         (s.readLimit >= 0 ? ", short reads" : "");
}

void RunOne(const Scenario& s) {
  SetUpWorld(s);
  RunFirmwareUpdate();
  fake::SetCallHook(nullptr);

  std::vector<fake::MessageRecord> shown = fake::Messages();
  Check(shown.size() == 1 && watch.messages == 1, "not exactly one message per run",
        std::to_string(shown.size()));
  Message want = Expected(s, fake::PortReads());
  Check(shown[0].title == want.title && shown[0].text == want.text, "the wrong message",
        shown[0].title + " / " + shown[0].text + ", wanted " + want.title + " / " + want.text);
  Check(shown[0].owner == (s.foreground ? MainWindow : nullptr), "the message box's owner");

  Check(!fake::FileIsOpen() && !fake::PortIsOpen(), "a slot left open after the run");
  AllControls(true, "a control left disabled after the run");
  for (std::size_t i = 0; i < 4; ++i) {
    Check(watch.lastDisable[i] >= 0 && watch.lastEnable[i] > watch.lastDisable[i] &&
              watch.lastEnable[i] < watch.messageCall,
          "a control not disabled, then enabled before the message");
  }
  Check(watch.lastProgressZero >= 0 && watch.lastProgressZero > watch.lastProgressOther &&
            watch.lastProgressZero < watch.messageCall,
        "the bar not set to 0 before the message");
  Check(UpdateProgress.load() == 0, "progress not back to 0 after the message");
  Check(fake::Now() <= watch.timeAllowance, "the run outlasts any wait it may make");
  Check(fake::Overreads() == 0, "a read of more bytes than were waiting");
  std::vector<std::string> misuses = fake::Misuses();
  Check(misuses.empty(), "a platform contract broken:", misuses.empty() ? "" : misuses[0]);

  // What went out is always the file in order, header padded to 16; all of
  // it when the device accepted both replies.
  Bytes sent = fake::BytesWritten();
  Bytes stream = ExpectedStream(s.fileBytes);
  Check(sent.size() <= stream.size() && std::equal(sent.begin(), sent.end(), stream.begin()),
        "bytes sent are not the file in order");
  if (want.title == "Information") {
    Check(sent == stream, "a successful run did not send the whole file");
  }
  // A read cut to nothing is a failing port: the discard gives up on it.
  if (watch.pluggedAtHeader && s.readLimit != 0) {
    Check(watch.bytesReadBeforeHeader >= s.atOpen.size(),
          "bytes waiting before the header were not discarded");
  }

  // Read once, before any thread of the harness could change the environment.
  static const bool verbose =
      std::getenv("FU_FUZZ_VERBOSE") != nullptr;  // NOLINT(concurrency-mt-unsafe)
  if (verbose) {
    std::fprintf(stderr, "fu_fuzz_update: %s -> %s / %s (%lld ms, %lld calls)\n",
                 Describe(s).c_str(), shown[0].title.c_str(), shown[0].text.c_str(),
                 static_cast<long long>(fake::Now()), static_cast<long long>(watch.calls));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Scenario scenario = Decide(in);
  RunOne(scenario);
  return 0;
}
