// OpenMainWindow, HandleWindowEvent (one run at a time), ProgressDisplayLoop;
// ChooseFirmwareFile.
#include "app/main_window.h"

#include <functional>

#include "app/file_chooser.h"
#include "unit_support.h"
#include "update/update_sequence.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// ---------------------------------------------------------------- OpenMainWindow

TEST_F(FakeTest, OpenMainWindowCreatesWindowThenFiveControlsThenStartsTheProgressDisplay) {
  UpdateProgress.store(55);
  std::int64_t progressWhenThreadStarted = -1;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry.rfind("StartThread", 0) == 0) progressWhenThreadStarted = UpdateProgress.load();
  });

  OpenMainWindow(0, 0, 480, 140);

  EXPECT_THAT(fake::Log(),
              ElementsAre("GuiCreateMainWindow \"Update firmware 2.0\" 0 0 480 140",
                          "GuiCreateControl MainWindow DropDownList 10 10 70 20 \"\"",
                          "GuiCreateControl MainWindow TextField 90 10 280 20 \"trx.fw\"",
                          "GuiCreateControl MainWindow PushButton 380 10 90 20 \"Open\"",
                          "GuiCreateControl MainWindow ProgressBar 10 50 460 30 \"\"",
                          "GuiCreateControl MainWindow PushButton 170 90 140 40 \"UPDATE!\"",
                          "StartThread ProgressDisplayLoop"));
  EXPECT_EQ(progressWhenThreadStarted, 0) << "UpdateProgress is set to 0 before the thread starts";

  ASSERT_EQ(fake::Windows().size(), 1u);
  EXPECT_EQ(fake::Windows()[0].handle, MainWindow);
  std::vector<fake::ControlRecord> controls = fake::Controls();
  ASSERT_EQ(controls.size(), 5u);
  const GuiHandle expected[] = {PortList, FirmwarePathField, OpenButton, ProgressBar, UpdateButton};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(controls[i].handle, expected[i]) << i;
    EXPECT_EQ(controls[i].window, MainWindow) << i;
    EXPECT_TRUE(controls[i].enabled) << i;
  }
  EXPECT_THAT(controls[0].entries, IsEmpty());
  EXPECT_EQ(controls[0].selected, -1);
  EXPECT_EQ(controls[3].position, 0);

  std::vector<fake::ThreadRecord> threads = fake::Threads();
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads[0].procedure, &ProgressDisplayLoop);
  EXPECT_EQ(threads[0].handle, ProgressDisplayThread);
  EXPECT_EQ(threads[0].releases, 0) << "never stopped or released before shutdown";
}

// ---------------------------------------------------------------- HandleWindowEvent

enum class Effect { Nothing, Chooser, Worker };
struct EventCase {
  const char* label;
  std::function<WindowEvent()> event;  // handles exist only once the window is open
  bool keepRunning;
  Effect effect;
};

class HandleWindowEventTable : public FakeTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(HandleWindowEventTable, DoesWhatTheEventAsksAndNothingElse) {
  OpenWindow();
  fake::SetFileDialogAnswer("C:\\fw\\chosen.fw");
  WindowEvent event = GetParam().event();

  EXPECT_EQ(HandleWindowEvent(event), GetParam().keepRunning);

  std::vector<fake::ThreadRecord> threads = fake::Threads();
  ASSERT_GE(threads.size(), 1u);  // the progress display's, from OpenWindow
  threads.erase(threads.begin());
  switch (GetParam().effect) {
    case Effect::Nothing:
      EXPECT_THAT(fake::Log(), IsEmpty()) << "no platform call at all";
      break;
    case Effect::Chooser:
      EXPECT_EQ(fake::FileDialogs().size(), 1u);
      EXPECT_EQ(fake::Control(FirmwarePathField).text, "C:\\fw\\chosen.fw") << "ran to its end";
      EXPECT_THAT(threads, IsEmpty());
      break;
    case Effect::Worker:
      ASSERT_EQ(threads.size(), 1u);
      EXPECT_EQ(threads[0].procedure, &RunFirmwareUpdate);
      EXPECT_FALSE(threads[0].ran) << "returns at once, without waiting for the worker";
      EXPECT_THAT(fake::FileDialogs(), IsEmpty());
      EXPECT_THAT(fake::LogOf({"GuiEnable", "FirmwareFileOpen", "DevicePortOpen"}), IsEmpty());
      break;
  }
}

WindowEvent Plain(WindowEventKind kind) { return EventOf(kind); }

INSTANTIATE_TEST_SUITE_P(
    Table, HandleWindowEventTable,
    ::testing::Values(
        EventCase{"Close", [] { return Plain(WindowEventKind::Close); }, false, Effect::Nothing},
        EventCase{"None", [] { return Plain(WindowEventKind::None); }, true, Effect::Nothing},
        EventCase{"Menu", [] { return Plain(WindowEventKind::Menu); }, true, Effect::Nothing},
        EventCase{"Other", [] { return Plain(WindowEventKind::Other); }, true, Effect::Nothing},
        EventCase{"OpenClick", [] { return ControlEvent(OpenButton, 0); }, true, Effect::Chooser},
        EventCase{"OpenType1", [] { return ControlEvent(OpenButton, 1); }, true, Effect::Chooser},
        EventCase{"OpenType5", [] { return ControlEvent(OpenButton, 5); }, true, Effect::Chooser},
        EventCase{"OpenTypeMinus1", [] { return ControlEvent(OpenButton, -1); }, true,
                  Effect::Chooser},
        EventCase{"UpdateClick", [] { return ControlEvent(UpdateButton, 0); }, true,
                  Effect::Worker},
        EventCase{"UpdateType1", [] { return ControlEvent(UpdateButton, 1); }, true,
                  Effect::Worker},
        EventCase{"UpdateType6", [] { return ControlEvent(UpdateButton, 6); }, true,
                  Effect::Worker},
        EventCase{"PortListSelection", [] { return ControlEvent(PortList, 1); }, true,
                  Effect::Nothing},
        EventCase{"PortListType0", [] { return ControlEvent(PortList, 0); }, true, Effect::Nothing},
        EventCase{"PathFieldTyping", [] { return ControlEvent(FirmwarePathField, 768); }, true,
                  Effect::Nothing},
        EventCase{"PathFieldType0", [] { return ControlEvent(FirmwarePathField, 0); }, true,
                  Effect::Nothing},
        EventCase{"ProgressBarEvent", [] { return ControlEvent(ProgressBar, 0); }, true,
                  Effect::Nothing},
        EventCase{"ControlEventOfTheWindow", [] { return ControlEvent(MainWindow, 0); }, true,
                  Effect::Nothing},
        EventCase{"ControlEventWithoutControl", [] { return ControlEvent(nullptr, 0); }, true,
                  Effect::Nothing},
        // A control kind on a non-control event: only the kind counts.
        EventCase{"MenuWithUpdateButtonHandle",
                  [] {
                    WindowEvent e = ControlEvent(UpdateButton, 0);
                    e.kind = WindowEventKind::Menu;
                    return e;
                  },
                  true, Effect::Nothing}),
    [](const auto& tp) { return std::string(tp.param.label); });

std::size_t WorkerThreads() {
  std::size_t n = 0;
  for (const fake::ThreadRecord& t : fake::Threads()) {
    n += t.procedure == &RunFirmwareUpdate && t.handle != nullptr;
  }
  return n;
}

std::size_t WorkerIndex(std::size_t k) {  // index in Threads() of the k-th worker
  std::vector<fake::ThreadRecord> threads = fake::Threads();
  for (std::size_t i = 0; i < threads.size(); ++i) {
    if (threads[i].procedure == &RunFirmwareUpdate && k-- == 0) return i;
  }
  ADD_FAILURE() << "no such worker";
  return 0;
}

// One run at a time; the run has ended when its report enables the controls.
TEST_F(FakeTest, TwoPressesBeforeTheWorkerRunsStartOneThread_APressAfterTheReportAnother) {
  OpenWindow();
  EXPECT_TRUE(HandleWindowEvent(ControlEvent(UpdateButton)));
  EXPECT_TRUE(HandleWindowEvent(ControlEvent(UpdateButton, 1)));
  EXPECT_EQ(WorkerThreads(), 1u);

  fake::RunThread(WorkerIndex(0));  // no file: FirmwareMissing, the report enables all
  ASSERT_EQ(fake::Messages().size(), 1u);
  EXPECT_EQ(fake::Messages()[0].title, "ERROR:1");

  EXPECT_TRUE(HandleWindowEvent(ControlEvent(UpdateButton)));
  EXPECT_EQ(WorkerThreads(), 2u);
}

TEST_F(FakeTest, D2_APressDuringTheRunStartsNothing_APressWhileTheResultIsShownStartsARun) {
  OpenWindow();
  fake::SetForeground(false);  // ownerless box: the window stays usable
  std::size_t workersDuringRun = 99, workersAtMessage = 99;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry.rfind("FirmwareFileOpen", 0) == 0) {
      HandleWindowEvent(ControlEvent(UpdateButton));
      workersDuringRun = WorkerThreads();
    }
    if (entry.rfind("GuiShowMessage", 0) == 0) {
      HandleWindowEvent(ControlEvent(UpdateButton));
      workersAtMessage = WorkerThreads();
    }
  });
  HandleWindowEvent(ControlEvent(UpdateButton));
  fake::RunThread(WorkerIndex(0));

  EXPECT_EQ(workersDuringRun, 1u);
  EXPECT_EQ(workersAtMessage, 2u);
}

TEST_F(FakeTest, D2_AThreadThatFailsToStartDoesNotBlockTheNextPress) {
  OpenWindow();
  fake::SetStartThreadFails(true);
  EXPECT_TRUE(HandleWindowEvent(ControlEvent(UpdateButton)));
  EXPECT_EQ(WorkerThreads(), 0u);
  fake::SetStartThreadFails(false);
  EXPECT_TRUE(HandleWindowEvent(ControlEvent(UpdateButton)));
  EXPECT_EQ(WorkerThreads(), 1u);
}

// ---------------------------------------------------------------- ProgressDisplayLoop

TEST_F(FakeTest, ProgressDisplayLoopCopiesUpdateProgressToTheBarEvery100Ms) {
  OpenWindow();
  UpdateProgress.store(7);
  const std::int64_t later[] = {0, 42, 42, 100, 3};
  std::size_t sleeps = 0;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry != "Sleep 100") return;
    if (sleeps == std::size(later)) throw fake::StopThread{};
    UpdateProgress.store(later[sleeps++]);
  });

  ASSERT_EQ(fake::Threads()[0].procedure, &ProgressDisplayLoop);
  fake::RunThread(0);  // ends when the hook throws

  std::vector<fake::ProgressSet> sets = fake::Control(ProgressBar).progress;
  ASSERT_EQ(sets.size(), 6u);
  const int positions[] = {7, 0, 42, 42, 100, 3};
  for (std::size_t i = 0; i < sets.size(); ++i) {
    EXPECT_EQ(sets[i].position, positions[i]) << i;
    EXPECT_EQ(sets[i].time, static_cast<std::int64_t>(100 * i)) << i;
  }
  std::vector<std::string> log = fake::Log();
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i], i % 2 == 0 ? "GuiSetProgress ProgressBar " + std::to_string(positions[i / 2])
                                 : std::string("Sleep 100"))
        << i;
  }
}

// ---------------------------------------------------------------- ChooseFirmwareFile

struct ChooserCase {
  const char* label;
  bool foreground;
  std::string answer;
  bool fileExists;
  const char* nextUpdateTitle;  // no port is present: an existing file gets to ERROR:2
};
class Chooser : public FakeTest, public ::testing::WithParamInterface<ChooserCase> {};

TEST_P(Chooser, ShowsTheDialogAndPutsWhateverItReturnsIntoThePathField) {
  const ChooserCase& c = GetParam();
  OpenWindow();
  fake::SetForeground(c.foreground);
  fake::SetFileDialogAnswer(c.answer);
  fake::AddFile("trx.fw", Pattern(20));
  if (c.fileExists) fake::AddFile(c.answer, Pattern(20));

  ChooseFirmwareFile();

  std::vector<fake::FileDialogRecord> dialogs = fake::FileDialogs();
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0].owner, c.foreground ? MainWindow : nullptr);
  EXPECT_EQ(dialogs[0].title, "Please choose file to load");
  EXPECT_EQ(dialogs[0].filter, "Firmware (*.fw)|*.fw;");
  EXPECT_EQ(dialogs[0].filterIndex, 0);
  EXPECT_EQ(fake::Control(FirmwarePathField).text, c.answer);

  RunFirmwareUpdate();
  ASSERT_EQ(fake::Messages().size(), 1u);
  EXPECT_EQ(fake::Messages()[0].title, c.nextUpdateTitle);
  ASSERT_EQ(fake::FileOpens().size(), 1u);
  EXPECT_EQ(fake::FileOpens()[0].path, c.answer) << "the default trx.fw is gone";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Chooser,
    ::testing::Values(
        ChooserCase{"CancelEmptiesTheField", true, "", false, "ERROR:1"},
        ChooserCase{"ChosenFile", true, "/home/u/fw/new.fw", true, "ERROR:2"},
        ChooserCase{"ChosenFileNotForeground", false, "C:\\fw\\a b.fw", true, "ERROR:2"},
        ChooserCase{"TypedNameOfAMissingFile", true, "/home/u/fw/typed.fw", false, "ERROR:1"}),
    [](const auto& tp) { return std::string(tp.param.label); });

}  // namespace
