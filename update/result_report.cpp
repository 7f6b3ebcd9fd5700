#include "update/result_report.h"

#include "app/shared_state.h"
#include "platform/file.h"
#include "platform/gui.h"
#include "platform/serial.h"

ResultMessage ResultMessageFor(UpdateResult code, const std::string& portName) {
  switch (code) {
    case UpdateDone:
      return {"Information", "Device update!"};
    case FirmwareMissing:
      return {"ERROR:1", "Firmware missing!"};
    case PortOpenFailed:
      return {"ERROR:2", "Can't open the serial port: " + portName};
    case NoResponse:
      return {"ERROR:3", "Device does not respond!"};
    case NoCorrectAnswer:
      return {"ERROR:4", "No correct answer device!"};
    case UpdateWrong:
      return {"ERROR:5", "Update wrong!"};
  }
  return {"ERROR:" + std::to_string(static_cast<int>(code)), ""};
}

void ReportUpdateResult(UpdateResult code) {
  if (FirmwareFileIsOpen()) {
    FirmwareFileClose();
  }
  if (DevicePortIsOpen()) {
    DevicePortClose();
  }
  GuiSetProgress(ProgressBar, 0);
  GuiEnableControl(PortList, true);
  GuiEnableControl(FirmwarePathField, true);
  GuiEnableControl(OpenButton, true);
  GuiEnableControl(UpdateButton, true);
  // From here a new run may start, even while this message is still shown.
  UpdateInProgress.store(false);

  ResultMessage message = ResultMessageFor(code, GuiGetText(PortList));
  GuiHandle owner = GuiIsForegroundWindow(MainWindow) ? MainWindow : nullptr;
  GuiShowMessage(owner, message.title, message.text);
  UpdateProgress.store(0, std::memory_order_relaxed);
}
