// ReportUpdateResult.
#include "update_fixture.h"

using ::testing::ElementsAre;

namespace {

struct ReportCase {
  UpdateResult code;
  std::string portText;  // "" = no selection
  const char* title;
  const char* text;
};
class Report : public UpdateRun, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(Report, ClosesFileAndPort_BarTo0_EnablesInOrder_ShowsTheTableMessage_ThenProgress0) {
  const ReportCase& c = GetParam();
  fake::AddFile("trx.fw", Pattern(20));
  if (c.portText.empty()) {
    fake::Select(PortList, -1);
  } else {
    fake::AddPort(c.portText);
    fake::SelectText(PortList, c.portText);
  }
  // The state a run leaves: both slots open, controls disabled, progress shown.
  ASSERT_TRUE(FirmwareFileOpen("trx.fw"));
  ASSERT_TRUE(
      DevicePortOpen("COM3", 57600, Parity::None, 8, StopBits::One, Handshake::None, 16, 524288));
  for (GuiHandle h : {PortList, FirmwarePathField, OpenButton, UpdateButton}) {
    GuiEnableControl(h, false);
  }
  UpdateProgress.store(63);
  fake::ClearLog();

  std::int64_t progressAtMessage = -1, barAtMessage = -1;
  bool closedAtMessage = false, enabledAtMessage = false;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry.rfind("GuiShowMessage", 0) != 0) return;
    progressAtMessage = UpdateProgress.load();
    barAtMessage = fake::Control(ProgressBar).position;
    closedAtMessage = !fake::FileIsOpen() && !fake::PortIsOpen();
    enabledAtMessage = true;
    for (const fake::ControlRecord& control : fake::Controls()) enabledAtMessage &= control.enabled;
  });

  ReportUpdateResult(c.code);

  EXPECT_THAT(
      fake::LogOf({"FirmwareFileIsOpen", "FirmwareFileClose", "DevicePortIsOpen", "DevicePortClose",
                   "GuiSetProgress", "GuiEnable", "GuiShowMessage"}),
      ElementsAre(
          "FirmwareFileIsOpen 1", "FirmwareFileClose", "DevicePortIsOpen 1", "DevicePortClose",
          "GuiSetProgress ProgressBar 0", "GuiEnable PortList 1", "GuiEnable FirmwarePathField 1",
          "GuiEnable OpenButton 1", "GuiEnable UpdateButton 1",
          "GuiShowMessage MainWindow " + std::string("\"") + c.title + "\" \"" + c.text + "\""));
  std::vector<fake::MessageRecord> messages = fake::Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].title, c.title);
  EXPECT_EQ(messages[0].text, c.text);
  EXPECT_EQ(progressAtMessage, 63) << "UpdateProgress goes to 0 only once the box is dismissed";
  EXPECT_EQ(barAtMessage, 0);
  EXPECT_TRUE(closedAtMessage);
  EXPECT_TRUE(enabledAtMessage);
  EXPECT_EQ(UpdateProgress.load(), 0);
  EXPECT_FALSE(UpdateInProgress.load());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Report,
    ::testing::Values(
        ReportCase{UpdateDone, "COM3", "Information", "Device update!"},
        ReportCase{FirmwareMissing, "COM3", "ERROR:1", "Firmware missing!"},
        ReportCase{PortOpenFailed, "COM3", "ERROR:2", "Can't open the serial port: COM3"},
        ReportCase{PortOpenFailed, "COM42", "ERROR:2", "Can't open the serial port: COM42"},
        ReportCase{PortOpenFailed, "", "ERROR:2", "Can't open the serial port: "},
        ReportCase{NoResponse, "COM3", "ERROR:3", "Device does not respond!"},
        ReportCase{NoCorrectAnswer, "COM3", "ERROR:4", "No correct answer device!"},
        ReportCase{UpdateWrong, "COM3", "ERROR:5", "Update wrong!"},
        ReportCase{UpdateWrong, "", "ERROR:5", "Update wrong!"}),
    [](const auto& tp) {
      return "Code" + std::to_string(static_cast<int>(tp.param.code)) +
             (tp.param.portText.empty() ? "NoPort" : tp.param.portText);
    });

struct OwnerCase {
  const char* label;
  bool foreground;
  bool fileExists;
};
class Owner : public UpdateRun, public ::testing::WithParamInterface<OwnerCase> {};

TEST_P(Owner, TheBoxIsOwnedByMainWindowOnlyWhenItIsTheForegroundWindow) {
  if (GetParam().fileExists) Device(20);
  fake::SetForeground(GetParam().foreground);
  fake::MessageRecord shown = Run();
  EXPECT_EQ(shown.owner, GetParam().foreground ? MainWindow : nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, Owner,
                         ::testing::Values(OwnerCase{"ForegroundDone", true, true},
                                           OwnerCase{"BackgroundDone", false, true},
                                           OwnerCase{"ForegroundFirmwareMissing", true, false},
                                           OwnerCase{"BackgroundFirmwareMissing", false, false}),
                         [](const auto& tp) { return std::string(tp.param.label); });

TEST_F(UpdateRun, Code2TextIsBuiltFromThePortListTextAtTheTimeOfTheReport) {
  fake::AddFile("trx.fw", Pattern(20));
  fake::SelectText(PortList, "COM4");  // absent
  fake::SetCallHook([](const std::string& entry) {
    if (entry.rfind("DevicePortOpen", 0) == 0) fake::SelectText(PortList, "COM9");
  });
  fake::MessageRecord shown = Run();
  EXPECT_EQ(shown.title, "ERROR:2");
  EXPECT_EQ(shown.text, "Can't open the serial port: COM9");
  EXPECT_EQ(fake::PortOpens().at(0).name, "COM4");
}

// Between the bar reset and the dismissal the progress display puts the run's last value back on
// the bar: after a success it shows 100 while "Device update!" is up.
TEST_F(UpdateRun, AfterASuccessTheBarShows100WhileTheMessageIsUpAnd0Afterwards) {
  Device(216);
  int barDuringMessage = -1;
  bool inMessage = false;
  fake::SetCallHook([&](const std::string& entry) {
    if (entry.rfind("GuiShowMessage", 0) == 0) {
      inMessage = true;
      fake::RunThread(0);  // one turn of ProgressDisplayLoop, stopped at its sleep
      barDuringMessage = fake::Control(ProgressBar).position;
      inMessage = false;
    } else if (inMessage && entry == "Sleep 100") {
      throw fake::StopThread{};
    }
  });
  ExpectResult(Run(), UpdateDone);
  EXPECT_EQ(barDuringMessage, 100);
  EXPECT_EQ(UpdateProgress.load(), 0);
  std::vector<fake::ProgressSet> bar = fake::Control(ProgressBar).progress;
  ASSERT_EQ(bar.size(), 2u);
  EXPECT_EQ(bar[0].position, 0) << "the report's reset";
  EXPECT_EQ(bar[1].position, 100) << "the display's copy while the box is up";
}

}  // namespace
