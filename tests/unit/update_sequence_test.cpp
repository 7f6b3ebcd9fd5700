// RunFirmwareUpdate, and drain waits that end.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "update_fixture.h"

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Le;

namespace {

const std::vector<std::string> kDisableThenEnable = {
    "GuiEnable PortList 0",     "GuiEnable FirmwarePathField 0", "GuiEnable OpenButton 0",
    "GuiEnable UpdateButton 0", "GuiEnable PortList 1",          "GuiEnable FirmwarePathField 1",
    "GuiEnable OpenButton 1",   "GuiEnable UpdateButton 1"};

// ---------------------------------------------------------------- every result, every way

struct Scenario {
  const char* label;
  std::function<void()> setup;  // after UpdateRun::SetUp
  UpdateResult code;
};
class Outcome : public UpdateRun, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Outcome, EndsWithItsCodeAndMessage_ControlsDisabledThenEnabledInOrder_AllClosed) {
  GetParam().setup();
  fake::MessageRecord shown = Run();

  ExpectResult(shown, GetParam().code);
  EXPECT_THAT(EnableLog(), ElementsAreArray(kDisableThenEnable));
  std::vector<std::string> log = fake::Log();
  EXPECT_LT(FindEntry(log, "GuiEnable UpdateButton 0"), log.size());
  for (const std::string& entry : log) {
    if (entry.rfind("FirmwareFileOpen", 0) == 0) {
      ASSERT_LT(FindEntry(log, "GuiEnable UpdateButton 0"), FindEntry(log, entry))
          << "the four controls are disabled before the file is opened";
    }
  }
  EXPECT_FALSE(fake::FileIsOpen());
  EXPECT_FALSE(fake::PortIsOpen());
  EXPECT_EQ(UpdateProgress.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Outcome,
    ::testing::Values(
        Scenario{"Done", [] { UpdateRun::Device(216); }, UpdateDone},
        Scenario{"FileMissing", [] { fake::AddFile("other.fw", Pattern(20)); }, FirmwareMissing},
        Scenario{"FileHeldByAnotherProgram",
                 [] {
                   UpdateRun::Device(216);
                   fake::SetFileHeld("trx.fw", true);
                 },
                 FirmwareMissing},
        Scenario{"PathIsADirectory",
                 [] {
                   fake::AddDirectory("fw");
                   fake::SetText(FirmwarePathField, "fw");
                 },
                 FirmwareMissing},
        Scenario{"PathEmpty",
                 [] {
                   UpdateRun::Device(216);
                   fake::SetText(FirmwarePathField, "");
                 },
                 FirmwareMissing},
        Scenario{"NoPortSelected",
                 [] {
                   UpdateRun::Device(216);
                   fake::Select(PortList, -1);
                 },
                 PortOpenFailed},
        Scenario{"PortAbsent",
                 [] {
                   UpdateRun::Device(216);
                   fake::SelectText(PortList, "COM4");
                 },
                 PortOpenFailed},
        Scenario{"PortHeldByAnotherProgram",
                 [] {
                   UpdateRun::Device(216);
                   fake::AddPort("COM7", fake::PortKind::HeldElsewhere);
                   fake::SelectText(PortList, "COM7");
                 },
                 PortOpenFailed},
        Scenario{"PortAlreadyOpenInThisProcess",
                 [] {
                   UpdateRun::Device(216);
                   ASSERT_TRUE(DevicePortOpen("COM3", 9600, Parity::None, 8, StopBits::One,
                                              Handshake::None, 16, 16));
                 },
                 PortOpenFailed},
        Scenario{"PortRefusesSettings",
                 [] {
                   UpdateRun::Device(216);
                   fake::AddPort("COM5", fake::PortKind::RefusesSettings);
                   fake::SelectText(PortList, "COM5");
                 },
                 PortOpenFailed},
        Scenario{"SilentAfterHeader", [] { fake::AddFile("trx.fw", Pattern(216)); }, NoResponse},
        Scenario{"SilentAfterBody",
                 [] {
                   fake::AddFile("trx.fw", Pattern(216));
                   fake::DeviceReplyAfterWritten(16, 10, "OK");
                 },
                 NoResponse},
        Scenario{"LowerCaseAfterHeader", [] { UpdateRun::Device(216, "ok"); }, NoCorrectAnswer},
        Scenario{"WrongPairAfterHeader", [] { UpdateRun::Device(216, "KO"); }, NoCorrectAnswer},
        Scenario{"LowerCaseAfterBody", [] { UpdateRun::Device(216, "OK", "ok"); }, UpdateWrong},
        Scenario{"HalfRightAfterBody", [] { UpdateRun::Device(216, "OK", "Ok"); }, UpdateWrong}),
    [](const auto& tp) { return std::string(tp.param.label); });

TEST_F(UpdateRun, FirmwareMissingOpensNoPortAndTheReportFindsBothSlotsClosed) {
  Run();
  EXPECT_TRUE(fake::PortOpens().empty());
  EXPECT_EQ(fake::FileCloses(), 0);
  EXPECT_EQ(fake::PortCloses(), 0);
  EXPECT_THAT(fake::LogOf({"FirmwareFileIsOpen", "FirmwareFileClose", "DevicePortIsOpen",
                           "DevicePortClose"}),
              ElementsAre("FirmwareFileIsOpen 0", "DevicePortIsOpen 0"));
}

TEST_F(UpdateRun, PortOpenFailedLeavesTheFileOpenForTheReportToClose) {
  fake::AddFile("trx.fw", Pattern(216));
  fake::SelectText(PortList, "COM4");
  bool fileOpenAfterFailedOpen = false;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry.rfind("DevicePortOpen", 0) == 0) fileOpenAfterFailedOpen = fake::FileIsOpen();
  });
  ExpectResult(Run(), PortOpenFailed);
  EXPECT_TRUE(fileOpenAfterFailedOpen);
  EXPECT_EQ(fake::FileCloses(), 1);
  EXPECT_EQ(fake::PortCloses(), 0);
}

TEST_F(UpdateRun, OpensTheSelectedPortAt57600_8N1_NoHandshake_16_524288AfterTheFile) {
  Device(20);
  fake::AddPort("COM12");
  fake::SelectText(PortList, "COM12");
  ExpectResult(Run(), UpdateDone);

  std::vector<fake::PortOpen> opens = fake::PortOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].name, "COM12");
  EXPECT_EQ(opens[0].baudRate, 57600u);
  EXPECT_EQ(opens[0].parity, Parity::None);
  EXPECT_EQ(opens[0].dataBits, 8);
  EXPECT_EQ(opens[0].stopBits, StopBits::One);
  EXPECT_EQ(opens[0].handshake, Handshake::None);
  EXPECT_EQ(opens[0].inputQueueSize, 16u);
  EXPECT_EQ(opens[0].outputQueueSize, 524288u);
  EXPECT_THAT(fake::LogOf({"FirmwareFileOpen", "DevicePortOpen"}),
              ElementsAre("FirmwareFileOpen \"trx.fw\" -> 1",
                          "DevicePortOpen COM12 57600 8N1 none 16 524288 -> 1"));
  // 100 ms after the open, the header goes out.
  ASSERT_FALSE(fake::PortWrites().empty());
  EXPECT_EQ(fake::PortWrites()[0].time - opens[0].time, 100);
}

TEST_F(UpdateRun, UpdateProgressIsSetTo0BeforeTheControlsAreDisabled) {
  Device(216);
  UpdateProgress.store(77);
  std::int64_t atFirstDisable = -1;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry == "GuiEnable PortList 0") atFirstDisable = UpdateProgress.load();
  });
  Run();
  EXPECT_EQ(atFirstDisable, 0);
}

// ---------------------------------------------------------------- the reply wait

enum class Phase { Header, Body };
struct ReplyCase {
  const char* label;
  Phase phase;
  std::vector<std::pair<std::int64_t, std::string>> reply;  // delay after the write, bytes
  UpdateResult code;
  std::size_t polls;  // reply-wait polls of that phase
};
class ReplyWait : public UpdateRun, public ::testing::WithParamInterface<ReplyCase> {};

// Timeline (the fake's output queue drains at once): the header's drain wait
// is one 1 ms poll, so reply-wait poll p after the header looks at write+1+p;
// after the body the spin needs no sleep, so poll p looks at write+p.
TEST_P(ReplyWait, EndsAtExactlyTwoBytesWaitingOrAfter5000Polls) {
  const ReplyCase& c = GetParam();
  constexpr std::size_t kSize = 20;  // n = 4
  fake::AddFile("trx.fw", Pattern(kSize));
  std::uint64_t trigger = c.phase == Phase::Header ? 16 : kSize;
  for (const auto& [delay, bytes] : c.reply) fake::DeviceReplyAfterWritten(trigger, delay, bytes);
  if (c.phase == Phase::Header) {
    fake::DeviceReplyAfterWritten(kSize, 10, "OK");
  } else {
    fake::DeviceReplyAfterWritten(16, 10, "OK");
  }

  ExpectResult(Run(), c.code);

  std::vector<std::string> log = fake::Log();
  std::size_t write = c.phase == Phase::Header ? FindEntry(log, "DevicePortWrite 16")
                                               : FindLastEntry(log, "DevicePortWrite 1");
  ASSERT_LT(write, log.size());
  EXPECT_EQ(PollsFrom(log, write), c.polls);
  for (const fake::PortRead& r : fake::PortReads()) EXPECT_EQ(r.asked, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyWait,
    ::testing::Values(
        ReplyCase{"HeaderOkInPoll9", Phase::Header, {{10, "OK"}}, UpdateDone, 9},
        ReplyCase{"HeaderOkAlreadyThere", Phase::Header, {{0, "OK"}}, UpdateDone, 1},
        ReplyCase{"HeaderOkInPoll4999", Phase::Header, {{5000, "OK"}}, UpdateDone, 4999},
        ReplyCase{"HeaderOkInPoll5000", Phase::Header, {{5001, "OK"}}, NoResponse, 5000},
        ReplyCase{"HeaderOneByteAtATime", Phase::Header, {{10, "O"}, {30, "K"}}, UpdateDone, 29},
        ReplyCase{"HeaderThreeBytes", Phase::Header, {{10, "OKX"}}, NoResponse, 5000},
        ReplyCase{"HeaderOkCrLfOneBurst", Phase::Header, {{10, "OK\r\n"}}, NoResponse, 5000},
        ReplyCase{"HeaderOneByteOnly", Phase::Header, {{10, "O"}}, NoResponse, 5000},
        ReplyCase{"HeaderLowerCase", Phase::Header, {{10, "ok"}}, NoCorrectAnswer, 9},
        ReplyCase{"HeaderNulNul", Phase::Header, {{10, std::string(2, '\0')}}, NoCorrectAnswer, 9},
        ReplyCase{"BodyOkInPoll10", Phase::Body, {{10, "OK"}}, UpdateDone, 10},
        ReplyCase{"BodyOkInPoll4999", Phase::Body, {{4999, "OK"}}, UpdateDone, 4999},
        ReplyCase{"BodyOkInPoll5000", Phase::Body, {{5000, "OK"}}, NoResponse, 5000},
        ReplyCase{"BodyThreeBytes", Phase::Body, {{10, "OKO"}}, NoResponse, 5000},
        ReplyCase{"BodyOkCrLfOneBurst", Phase::Body, {{10, "OK\r\n"}}, NoResponse, 5000},
        ReplyCase{"BodyLowerCase", Phase::Body, {{10, "ok"}}, UpdateWrong, 10},
        ReplyCase{"BodyReversed", Phase::Body, {{10, "KO"}}, UpdateWrong, 10}),
    [](const auto& tp) { return std::string(tp.param.label); });

TEST_F(UpdateRun, NoResponseComesAfterExactly5000PollsOf1Ms) {
  fake::AddFile("trx.fw", Pattern(216));
  Run();
  std::vector<fake::PortWrite> writes = fake::PortWrites();
  ASSERT_EQ(writes.size(), 1u);
  // 1 ms drain poll, then 5000 reply polls of 1 ms each.
  EXPECT_EQ(fake::Messages().at(0).time - writes[0].time, 1 + 5000);
}

// ---------------------------------------------------------------- the settle and the discard

struct StaleCase {
  const char* label;
  std::string atOpen;
  std::vector<std::pair<std::int64_t, std::string>> timed;  // ms after the open
  bool headerReply;                                         // "OK" 10 ms after the header
  UpdateResult code;
  std::vector<std::uint32_t> discardReads;
};
class Discard : public UpdateRun, public ::testing::WithParamInterface<StaleCase> {};

TEST_P(Discard, DropsWhatArrivedBeforeTheDiscardAndCountsWhatArrivesAfter) {
  const StaleCase& c = GetParam();
  fake::AddFile("trx.fw", Pattern(20));
  fake::DeviceSendAtOpen(c.atOpen);
  for (const auto& [at, bytes] : c.timed) fake::DeviceSendAt(at, bytes);
  if (c.headerReply) fake::DeviceReplyAfterWritten(16, 10, "OK");
  fake::DeviceReplyAfterWritten(20, 10, "OK");

  ExpectResult(Run(), c.code);

  std::vector<std::uint32_t> beforeHeader;
  std::vector<fake::PortWrite> writes = fake::PortWrites();
  for (const fake::PortRead& r : fake::PortReads()) {
    if (writes.empty() || r.time <= writes[0].time) {
      beforeHeader.push_back(r.asked);
      EXPECT_EQ(r.got.size(), r.asked);
    }
  }
  EXPECT_EQ(beforeHeader, c.discardReads);
  EXPECT_THAT(beforeHeader, Each(Le(17u))) << "no more at a time than the buffer holds";
}

const std::string k40(40, 'z');
INSTANTIATE_TEST_SUITE_P(
    Table, Discard,
    ::testing::Values(
        StaleCase{"NothingStale", "", {}, true, UpdateDone, {}},
        StaleCase{"StaleBytesAtOpen", "zzz", {}, true, UpdateDone, {3}},
        StaleCase{"StaleOkAtOpen", "OK", {}, true, UpdateDone, {2}},
        StaleCase{"FortyStaleBytesInBufferSizedReads", k40, {}, true, UpdateDone, {17, 17, 6}},
        StaleCase{"StaleDuringTheSleep", "", {{50, "zz"}}, true, UpdateDone, {2}},
        StaleCase{"OkAt100MsIsStillBeforeTheDiscard", "", {{100, "OK"}}, false, NoResponse, {2}},
        StaleCase{"OkAt101MsCountsAsTheReply", "", {{101, "OK"}}, false, UpdateDone, {}},
        StaleCase{"HalfStaleHalfAfter", "", {{50, "O"}, {101, "K"}}, false, NoResponse, {1}},
        StaleCase{
            "ByteAfterTheDiscardCountsTowardTheReply", "", {{101, "O"}}, true, NoResponse, {}},
        StaleCase{"OAfterTheDiscardThenK", "", {{101, "O"}, {120, "K"}}, false, UpdateDone, {}}),
    [](const auto& tp) { return std::string(tp.param.label); });

// ---------------------------------------------------------------- file sizes, writes, progress

class FileSize : public UpdateRun, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FileSize, HeaderPaddedWith0_OneWritePerBodyByte_ProgressAfterEachWriteBeforeTheDrain) {
  const std::size_t size = GetParam();
  const std::int64_t n = static_cast<std::int64_t>(size) - kHeader;
  Device(size);
  fake::Bytes file = Pattern(size);

  // UpdateProgress seen at each 1-byte write and at the first drain poll after it.
  std::vector<std::int64_t> atWrite, afterWrite;
  bool wrote = false;
  std::int64_t progressAtMessage = -1;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry == "DevicePortWrite 1") {
      atWrite.push_back(UpdateProgress.load());
      wrote = true;
    } else if (wrote && entry.rfind("DevicePortOutputCount", 0) == 0) {
      afterWrite.push_back(UpdateProgress.load());
      wrote = false;
    } else if (entry.rfind("GuiShowMessage", 0) == 0) {
      progressAtMessage = UpdateProgress.load();
    }
  });

  ExpectResult(Run(), UpdateDone);

  std::vector<fake::PortWrite> writes = fake::PortWrites();
  const std::size_t bodyLength = n > 0 ? static_cast<std::size_t>(n) : 0;
  ASSERT_EQ(writes.size(), 1 + bodyLength);
  fake::Bytes header(16, 0);
  std::copy_n(file.begin(), std::min<std::size_t>(size, 16), header.begin());
  EXPECT_EQ(writes[0].bytes, header) << "one 16-byte write, missing bytes as 0x00";
  fake::Bytes written = fake::BytesWritten();
  EXPECT_EQ(written.size(), 16 + bodyLength);
  for (std::size_t i = 0; i < bodyLength; ++i) {
    EXPECT_EQ(writes[1 + i].bytes, fake::Bytes{file[16 + i]}) << "body byte " << i + 1;
  }

  std::vector<std::int64_t> expected, before;
  for (std::int64_t i = 1; i <= n; ++i) {
    before.push_back(expected.empty() ? 0 : expected.back());
    expected.push_back(100 * i / n);
  }
  EXPECT_EQ(afterWrite, expected) << "i*100/n, set after the write and before the drain";
  EXPECT_EQ(atWrite, before) << "not yet set when the byte is handed to the port";
  EXPECT_EQ(progressAtMessage, n > 0 ? 100 : 0);
  EXPECT_EQ(fake::LogCount("FileSizeByPath"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileSize, ::testing::Values(0, 1, 15, 16, 17, 18, 19, 216, 316),
                         [](const auto& tp) { return "Bytes" + std::to_string(tp.param); });

TEST_F(UpdateRun, A216ByteFileGivesProgress0_1_99_100AfterBodyBytes1_2_199_200) {
  Device(216);
  std::vector<std::int64_t> afterWrite;
  bool wrote = false;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry == "DevicePortWrite 1") {
      wrote = true;
    } else if (wrote && entry.rfind("DevicePortOutputCount", 0) == 0) {
      afterWrite.push_back(UpdateProgress.load());
      wrote = false;
    }
  });
  ExpectResult(Run(), UpdateDone);
  ASSERT_EQ(afterWrite.size(), 200u);
  EXPECT_THAT(
      (std::vector<std::int64_t>{afterWrite[0], afterWrite[1], afterWrite[198], afterWrite[199]}),
      ElementsAre(0, 1, 99, 100));
}

struct SizePathCase {
  const char* label;
  std::string pathNow;  // FirmwarePathField once the first "OK" has been read
  std::size_t bodyWrites;
};
class SizeTakenAtTheBody : public UpdateRun, public ::testing::WithParamInterface<SizePathCase> {};

TEST_P(SizeTakenAtTheBody, NComesFromThePathTheFieldHoldsAfterTheFirstReply) {
  fake::AddFile("trx.fw", Pattern(216));
  fake::AddFile("other.fw", Pattern(18));
  fake::DeviceReplyAfterWritten(16, 10, "OK");
  fake::DeviceReplyAfterWritten(16 + GetParam().bodyWrites, 300, "OK");
  bool changed = false;
  fake::SetCallHook([&](const std::string& entry) {
    if (!changed && entry.rfind("DevicePortRead 2", 0) == 0) {
      changed = true;
      fake::SetText(FirmwarePathField, GetParam().pathNow);
    }
  });
  ExpectResult(Run(), UpdateDone);
  EXPECT_EQ(fake::PortWrites().size(), 1 + GetParam().bodyWrites);
  EXPECT_EQ(fake::FileOpens().at(0).path, "trx.fw");
}

INSTANTIATE_TEST_SUITE_P(Table, SizeTakenAtTheBody,
                         ::testing::Values(SizePathCase{"Unchanged", "trx.fw", 200},
                                           SizePathCase{"OtherFile", "other.fw", 2},
                                           SizePathCase{"NoSuchFile", "gone.fw", 0}),
                         [](const auto& tp) { return std::string(tp.param.label); });

// ---------------------------------------------------------------- drain waits end

TEST_F(UpdateRun, HeaderThatNeverDrainsEndsInNoResponseAfter5000Polls) {
  Device(216);
  fake::SetOutputQueue({fake::OutputQueue::Never});
  ExpectResult(Run(), NoResponse);

  std::vector<fake::PortWrite> writes = fake::PortWrites();
  ASSERT_EQ(writes.size(), 1u);
  std::int64_t waited = fake::Messages().at(0).time - writes[0].time;
  // 5000 polls of 1 ms without progress, the first poll included.
  EXPECT_EQ(waited, 5000);
  std::vector<std::string> log = fake::Log();
  EXPECT_EQ(PollsFrom(log, FindEntry(log, "DevicePortWrite 16")), 0u) << "no reply wait";
  EXPECT_TRUE(fake::PortReads().empty());
}

class StallInBody : public UpdateRun, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(StallInBody, BodyByteThatNeverDrainsEndsInNoResponseWithinBoundedTime) {
  const std::size_t stallAt = GetParam();
  Device(216);
  // The fake's queue behaviour holds for the writes after it is set: set it
  // after write number stallAt (the header is write 1) for body byte stallAt.
  std::size_t writes = 0;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry.rfind("DevicePortWrite", 0) == 0 && ++writes == stallAt) {
      fake::SetOutputQueue({fake::OutputQueue::Never});
    }
  });
  ExpectResult(Run(), NoResponse);

  std::vector<fake::PortWrite> sent = fake::PortWrites();
  ASSERT_EQ(sent.size(), 1 + stallAt) << "nothing more is sent after the stall";
  EXPECT_EQ(fake::Messages().at(0).time - sent.back().time, 5000);
}

INSTANTIATE_TEST_SUITE_P(Table, StallInBody, ::testing::Values(1, 100, 200),
                         [](const auto& tp) { return "AtByte" + std::to_string(tp.param); });

struct SlowCase {
  const char* label;
  fake::OutputQueue queue;
  std::size_t size;
  UpdateResult code;
};
class SlowDrain : public UpdateRun, public ::testing::WithParamInterface<SlowCase> {};

TEST_P(SlowDrain, AQueueThatKeepsDrainingIsWaitedFor_OneThatStallsIsNot) {
  Device(GetParam().size);
  fake::SetOutputQueue(GetParam().queue);
  ExpectResult(Run(), GetParam().code);
}

using Q = fake::OutputQueue;
INSTANTIATE_TEST_SUITE_P(
    Table, SlowDrain,
    ::testing::Values(
        // 100 bytes at one per 100 ms: every drain lasts 10 s, twice the reply window.
        SlowCase{"OneBytePer100MsOfALargeCount", Q{Q::Rate, 0, 100, 84}, 19, UpdateDone},
        SlowCase{"OneBytePer4999Ms", Q{Q::Rate, 0, 4999, 0}, 17, UpdateDone},
        SlowCase{"DrainsAfter3Polls", Q{Q::AfterPolls, 3, 0, 0}, 216, UpdateDone},
        SlowCase{"DrainsAfter4999Polls", Q{Q::AfterPolls, 4999, 0, 0}, 17, UpdateDone},
        SlowCase{"StallsFor5001Polls", Q{Q::AfterPolls, 5001, 0, 0}, 16, NoResponse},
        SlowCase{"OneBytePer6000Ms", Q{Q::Rate, 0, 6000, 0}, 16, NoResponse}),
    [](const auto& tp) { return std::string(tp.param.label); });

TEST_F(UpdateRun, SlowDrainAfterTheHeaderOutlastsTheReplyWindowAndStillSucceeds) {
  Device(216);
  fake::SetOutputQueue({Q::Rate, 0, 100, 84});
  fake::SetCallHook([](const std::string& entry) {
    if (entry == "DevicePortRead 2 -> 2")
      fake::SetOutputQueue({Q::Immediate});  // the body: at once
  });
  ExpectResult(Run(), UpdateDone);
  std::vector<std::string> log = fake::Log();
  std::size_t write = FindEntry(log, "DevicePortWrite 16");
  std::size_t drainPolls = 0;
  for (std::size_t i = write; i < log.size() && log[i] != "DevicePortOutputCount 0"; ++i) {
    drainPolls += log[i].rfind("DevicePortOutputCount", 0) == 0;
  }
  EXPECT_GE(drainPolls, 9900u) << "waited for the whole 10 s drain";
}

TEST_F(UpdateRun, FailingStatusQueryCountsZeroSoDrainsEndAndTheReplyWaitEndsInNoResponse) {
  Device(216);
  fake::SetStatusQueryFails(true);
  ExpectResult(Run(), NoResponse);

  std::vector<std::string> log = fake::Log();
  std::size_t write = FindEntry(log, "DevicePortWrite 16");
  ASSERT_LT(write, log.size());
  EXPECT_EQ(log[write + 1], "Sleep 1");
  EXPECT_EQ(log[write + 2], "DevicePortOutputCount 0") << "the drain wait ends at its first poll";
  EXPECT_EQ(PollsFrom(log, write), 5000u);
  EXPECT_EQ(fake::PortWrites().size(), 1u);
}

TEST_F(UpdateRun, StatusQueryFailingMidBodyLetsTheBodyFinishThenNoResponse) {
  Device(216);
  std::size_t bodyWrites = 0;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry == "DevicePortWrite 1" && ++bodyWrites == 5) {  // from body byte 6 on
      fake::SetOutputQueue({Q::Never});                       // the queue would never empty...
      fake::SetStatusQueryFails(true);  // ...but the query now fails: counts 0
    }
  });
  ExpectResult(Run(), NoResponse);
  EXPECT_EQ(fake::PortWrites().size(), 201u);
  std::vector<std::string> log = fake::Log();
  EXPECT_EQ(PollsFrom(log, FindLastEntry(log, "DevicePortWrite 1")), 5000u);
}

struct ShortReadCase {
  const char* label;
  Phase phase;
  std::uint32_t limit;
  UpdateResult code;
};
class ShortRead : public UpdateRun, public ::testing::WithParamInterface<ShortReadCase> {};

TEST_P(ShortRead, AReplyReadThatComesBackShortIsNotOk) {
  const ShortReadCase& c = GetParam();
  Device(20);
  if (c.phase == Phase::Header) {
    fake::SetReadLimit(c.limit);
  } else {
    fake::SetCallHook([&](const std::string& entry) {
      if (entry.rfind("DevicePortRead", 0) == 0) fake::SetReadLimit(c.limit);
    });
  }
  ExpectResult(Run(), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShortRead,
    ::testing::Values(ShortReadCase{"HeaderReplyNothingRead", Phase::Header, 0, NoCorrectAnswer},
                      ShortReadCase{"HeaderReplyOneByteRead", Phase::Header, 1, NoCorrectAnswer},
                      ShortReadCase{"BodyReplyNothingRead", Phase::Body, 0, UpdateWrong},
                      ShortReadCase{"BodyReplyOneByteRead", Phase::Body, 1, UpdateWrong}),
    [](const auto& tp) { return std::string(tp.param.label); });

// ---------------------------------------------------------------- real threads (TSan)

// The worker and the progress display on real threads at once, as in the
// program: UpdateProgress, UpdateInProgress and the controls are shared.
TEST_F(UpdateRun, WorkerAndProgressDisplayRunConcurrentlyWithoutARace) {
  Device(216);
  std::atomic<bool> stop{false};
  fake::SetCallHook([&stop](const std::string& entry) {
    if (entry != "Sleep 100") return;
    if (stop.load()) throw fake::StopThread{};
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  });
  ASSERT_EQ(fake::Threads().at(0).procedure, &ProgressDisplayLoop);
  fake::RunThreadConcurrently(0);
  ASSERT_TRUE(HandleWindowEvent(ControlEvent(UpdateButton)));
  ASSERT_EQ(fake::Threads().size(), 2u);
  fake::RunThreadConcurrently(1);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (fake::Messages().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  while (UpdateInProgress.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop.store(true);
  fake::JoinThreads();

  ASSERT_EQ(fake::Messages().size(), 1u);
  EXPECT_EQ(fake::Messages()[0].title, "Information");
  for (const fake::ProgressSet& p : fake::Control(ProgressBar).progress) {
    EXPECT_GE(p.position, 0);
    EXPECT_LE(p.position, 100);
  }
  EXPECT_EQ(UpdateProgress.load(), 0);
}

}  // namespace
