#include "app/file_chooser.h"

#include "app/shared_state.h"

void ChooseFirmwareFile() {
  GuiHandle owner = GuiIsForegroundWindow(MainWindow) ? MainWindow : nullptr;
  std::string chosen =
      GuiChooseOpenFile(owner, "Please choose file to load", "Firmware (*.fw)|*.fw;", 0);
  // Cancel gives the empty text, and that replaces the path too.
  GuiSetText(FirmwarePathField, chosen);
}
