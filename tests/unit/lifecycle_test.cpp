// RunProgram's start-up order, event loop and shutdown order.
#include "app/lifecycle.h"

#include <algorithm>
#include <cstring>

#include "unit_support.h"
#include "update/update_sequence.h"

using ::testing::ElementsAreArray;

namespace {

TEST_F(FakeTest, StartUpRunsInOrderAndAnEmptyLoopEndsWithExitCode0) {
  fake::AddPort("COM3");
  std::memset(ReplyBuffer, 0xAA, sizeof ReplyBuffer);
  std::memset(SendBuffer, 0xAA, sizeof SendBuffer);
  bool buffersZeroBeforeWindow = false;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry.rfind("GuiCreateMainWindow", 0) == 0) {
      buffersZeroBeforeWindow =
          std::all_of(std::begin(ReplyBuffer), std::end(ReplyBuffer),
                      [](auto b) { return b == 0; }) &&
          std::all_of(std::begin(SendBuffer), std::end(SendBuffer), [](auto b) { return b == 0; });
    }
  });

  EXPECT_EQ(RunProgram(), 0);

  std::vector<std::string> expected = {
      "GuiInitialize",
      "ThreadsInitialize",
      "FileInitialize",
      "SerialInitialize",
      "GuiCreateMainWindow \"Update firmware 2.0\" 0 0 480 140",
      "GuiCreateControl MainWindow DropDownList 10 10 70 20 \"\"",
      "GuiCreateControl MainWindow TextField 90 10 280 20 \"trx.fw\"",
      "GuiCreateControl MainWindow PushButton 380 10 90 20 \"Open\"",
      "GuiCreateControl MainWindow ProgressBar 10 50 460 30 \"\"",
      "GuiCreateControl MainWindow PushButton 170 90 140 40 \"UPDATE!\"",
      "StartThread ProgressDisplayLoop",
  };
  for (int n = 1; n <= 99; ++n) {
    std::string name = "COM" + std::to_string(n);
    expected.push_back("DevicePortOpen " + name + " 9600 8N1 none 16 16 -> " +
                       (n == 3 ? "1" : "0"));
    if (n == 3) {
      expected.push_back("GuiAppendListEntry PortList COM3");
      expected.push_back("DevicePortClose");
    }
  }
  expected.insert(expected.end(),
                  {"GuiNextEvent Close", "ReleaseThread ProgressDisplayLoop", "DevicePortIsOpen 0",
                   "GuiDestroyWindow MainWindow", "FirmwareFileIsOpen 0"});
  EXPECT_THAT(fake::Log(), ElementsAreArray(expected));
  EXPECT_TRUE(buffersZeroBeforeWindow) << "both transfer buffers are created zero-filled first";
  EXPECT_EQ(fake::Control(PortList).selected, -1);
}

struct ShutdownCase {
  const char* label;
  bool portOpen;
  bool fileOpen;
};
class Shutdown : public FakeTest, public ::testing::WithParamInterface<ShutdownCase> {};

TEST_P(Shutdown, ReleasesThreadsClosesPortDestroysWindowClosesFileInThisOrder) {
  const ShutdownCase& c = GetParam();
  fake::AddPort("COM3");
  fake::AddFile("trx.fw", Pattern(20));
  // What an update still running at the close leaves open.
  fake::SetCallHook([&](const std::string& entry) {
    if (entry != "GuiNextEvent Close") return;
    if (c.portOpen)
      DevicePortOpen("COM3", 57600, Parity::None, 8, StopBits::One, Handshake::None, 16, 524288);
    if (c.fileOpen) FirmwareFileOpen("trx.fw");
    fake::ClearLog();
  });

  EXPECT_EQ(RunProgram(), 0);

  std::vector<std::string> expected = {"ReleaseThread ProgressDisplayLoop"};
  expected.push_back(c.portOpen ? "DevicePortIsOpen 1" : "DevicePortIsOpen 0");
  if (c.portOpen) expected.push_back("DevicePortClose");
  expected.push_back("GuiDestroyWindow MainWindow");
  expected.push_back(c.fileOpen ? "FirmwareFileIsOpen 1" : "FirmwareFileIsOpen 0");
  if (c.fileOpen) expected.push_back("FirmwareFileClose");
  EXPECT_THAT(fake::Log(), ElementsAreArray(expected));
  EXPECT_FALSE(fake::PortIsOpen());
  EXPECT_FALSE(fake::FileIsOpen());
  EXPECT_TRUE(fake::Windows().at(0).destroyed);
}

INSTANTIATE_TEST_SUITE_P(Table, Shutdown,
                         ::testing::Values(ShutdownCase{"NothingOpen", false, false},
                                           ShutdownCase{"PortOpen", true, false},
                                           ShutdownCase{"FileOpen", false, true},
                                           ShutdownCase{"BothOpen", true, true}),
                         [](const auto& tp) { return std::string(tp.param.label); });

TEST_F(FakeTest, EventLoopDispatchesEveryEventWithoutSleepingAndStopsAtTheFirstClose) {
  fake::SetFileDialogAnswer("/fw/x.fw");
  // Handles exist only once RunProgram has opened the window: queue then.
  fake::SetCallHook([](const std::string& entry) {
    if (entry != "StartThread ProgressDisplayLoop") return;
    fake::QueueEvent(EventOf(WindowEventKind::None));
    fake::QueueEvent(EventOf(WindowEventKind::Menu));
    fake::QueueEvent(ControlEvent(PortList, 1));
    fake::QueueEvent(EventOf(WindowEventKind::Other));
    fake::QueueEvent(ControlEvent(OpenButton, 0));
    fake::QueueEvent(ControlEvent(UpdateButton, 0));
    fake::QueueEvent(EventOf(WindowEventKind::Close));
    fake::QueueEvent(ControlEvent(UpdateButton, 0));  // never taken
  });

  EXPECT_EQ(RunProgram(), 0);

  EXPECT_EQ(fake::LogCount("GuiNextEvent"), 7u);
  EXPECT_EQ(fake::EventsQueued(), 1u);
  EXPECT_EQ(fake::FileDialogs().size(), 1u);
  EXPECT_EQ(fake::LogCount("Sleep"), 0u) << "the main thread never sleeps";
  std::vector<fake::ThreadRecord> threads = fake::Threads();
  ASSERT_EQ(threads.size(), 2u);
  EXPECT_EQ(threads[1].procedure, &RunFirmwareUpdate);
  EXPECT_FALSE(threads[1].ran);
  for (const fake::ThreadRecord& t : threads) {
    EXPECT_EQ(t.releases, 1) << "every thread handle released once, nobody waited";
  }
}

}  // namespace
