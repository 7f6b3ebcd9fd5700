#include "app/lifecycle.h"

#include "app/main_window.h"
#include "app/port_discovery.h"
#include "app/shared_state.h"
#include "platform/file.h"
#include "platform/gui.h"
#include "platform/serial.h"
#include "platform/thread.h"

int RunProgram() {
  GuiInitialize();
  ThreadsInitialize();
  FileInitialize();
  SerialInitialize();

  CreateTransferBuffers();
  OpenMainWindow(0, 0, 480, 140);
  DiscoverSerialPorts();

  while (HandleWindowEvent(GuiNextEvent())) {
  }

  // Threads still running (the progress display, an update) end with the
  // process; a port or file a running update uses is closed under it.
  ReleaseThread(ProgressDisplayThread);
  if (DevicePortIsOpen()) {
    DevicePortClose();
  }
  GuiDestroyWindow(MainWindow);
  if (FirmwareFileIsOpen()) {
    FirmwareFileClose();
  }
  return 0;
}
