#include "unit_support.h"

#include "app/file_chooser.h"
#include "update/update_sequence.h"

void ResetProgramState() {
  UpdateProgress.store(0);
  UpdateInProgress.store(false);
  CreateTransferBuffers();
  MainWindow = nullptr;
  PortList = nullptr;
  FirmwarePathField = nullptr;
  OpenButton = nullptr;
  ProgressBar = nullptr;
  UpdateButton = nullptr;
  ProgressDisplayThread = nullptr;
}

void InstallNamers() {
  fake::SetHandleNamer([](GuiHandle h) -> std::string {
    if (h == MainWindow) return "MainWindow";
    if (h == PortList) return "PortList";
    if (h == FirmwarePathField) return "FirmwarePathField";
    if (h == OpenButton) return "OpenButton";
    if (h == ProgressBar) return "ProgressBar";
    if (h == UpdateButton) return "UpdateButton";
    return "";
  });
  fake::SetProcedureNamer([](void (*p)()) -> std::string {
    if (p == &RunFirmwareUpdate) return "RunFirmwareUpdate";
    if (p == &ProgressDisplayLoop) return "ProgressDisplayLoop";
    if (p == &ChooseFirmwareFile) return "ChooseFirmwareFile";
    return "";
  });
}

void FakeTest::SetUp() {
  fake::ResetFake();
  ResetProgramState();
  InstallNamers();
}

void FakeTest::TearDown() {
  fake::JoinThreads();
  EXPECT_EQ(fake::Overreads(), 0) << "the program read more bytes than were waiting";
  EXPECT_THAT(fake::Misuses(), ::testing::IsEmpty());
  fake::ResetFake();
  ResetProgramState();
}

void OpenWindow() {
  OpenMainWindow(0, 0, 480, 140);
  fake::ClearLog();
}

fake::Bytes Pattern(std::size_t size) {
  fake::Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(1 + (i * 37) % 251);
  }
  return bytes;
}

WindowEvent ControlEvent(GuiHandle control, int type) {
  WindowEvent e;
  e.kind = WindowEventKind::Control;
  e.control = control;
  e.type = type;
  return e;
}

WindowEvent EventOf(WindowEventKind kind) {
  WindowEvent e;
  e.kind = kind;
  return e;
}

std::vector<std::string> EnableLog() { return fake::LogOf({"GuiEnable"}); }
