#include "app/shared_state.h"

#include <cstring>

std::atomic<std::int64_t> UpdateProgress{0};
std::atomic<bool> UpdateInProgress{false};

std::uint8_t ReplyBuffer[TransferBufferSize];
std::uint8_t SendBuffer[TransferBufferSize];

GuiHandle MainWindow = nullptr;
GuiHandle PortList = nullptr;
GuiHandle FirmwarePathField = nullptr;
GuiHandle OpenButton = nullptr;
GuiHandle ProgressBar = nullptr;
GuiHandle UpdateButton = nullptr;

// Never freed: a worker may still be using them when the process ends.
void CreateTransferBuffers() {
  std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
  std::memset(SendBuffer, 0, sizeof SendBuffer);
}
