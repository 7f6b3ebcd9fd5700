#include "app/main_window.h"

#include "app/file_chooser.h"
#include "app/shared_state.h"
#include "update/update_sequence.h"

ThreadHandle ProgressDisplayThread = nullptr;

void OpenMainWindow(int x, int y, int width, int height) {
  MainWindow = GuiCreateMainWindow("Update firmware 2.0", x, y, width, height);
  PortList = GuiCreateControl(MainWindow, ControlKind::DropDownList, 10, 10, 70, 20, "");
  FirmwarePathField =
      GuiCreateControl(MainWindow, ControlKind::TextField, 90, 10, 280, 20, "trx.fw");
  OpenButton = GuiCreateControl(MainWindow, ControlKind::PushButton, 380, 10, 90, 20, "Open");
  ProgressBar = GuiCreateControl(MainWindow, ControlKind::ProgressBar, 10, 50, 460, 30, "");
  UpdateButton = GuiCreateControl(MainWindow, ControlKind::PushButton, 170, 90, 140, 40, "UPDATE!");
  UpdateProgress.store(0, std::memory_order_relaxed);
  ProgressDisplayThread = StartThread(ProgressDisplayLoop);
}

bool HandleWindowEvent(const WindowEvent& event) {
  if (event.kind == WindowEventKind::Close) {
    return false;
  }
  if (event.kind != WindowEventKind::Control) {
    return true;
  }
  if (event.control == OpenButton) {
    ChooseFirmwareFile();
  } else if (event.control == UpdateButton) {
    // One run at a time: a second worker would share the port and file slots,
    // and its report would close the port under the first run's transfer.
    bool idle = false;
    if (UpdateInProgress.compare_exchange_strong(idle, true)) {
      ThreadHandle worker = StartThread(RunFirmwareUpdate);
      if (worker == nullptr) {
        UpdateInProgress.store(false);
      } else {
        ReleaseThread(worker);
      }
    }
  }
  return true;
}

void ProgressDisplayLoop() {
  for (;;) {
    GuiSetProgress(ProgressBar, static_cast<int>(UpdateProgress.load(std::memory_order_relaxed)));
    SleepMilliseconds(100);
  }
}
