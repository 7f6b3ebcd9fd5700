// Process-wide state shared by the main thread, the progress display and the
// update worker. Created at start-up, kept for the life of the process.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/gui.h"

// 0 to 100. Atomic (relaxed) because three threads touch it without a lock.
extern std::atomic<std::int64_t> UpdateProgress;

// Set when "UPDATE!" starts a run, cleared once its report has enabled the
// controls again; keeps a second press from starting a second worker on the
// same port and file slots.
extern std::atomic<bool> UpdateInProgress;

inline constexpr int TransferBufferSize = 17;
extern std::uint8_t ReplyBuffer[TransferBufferSize];
extern std::uint8_t SendBuffer[TransferBufferSize];

extern GuiHandle MainWindow;
extern GuiHandle PortList;
extern GuiHandle FirmwarePathField;
extern GuiHandle OpenButton;
extern GuiHandle ProgressBar;
extern GuiHandle UpdateButton;

void CreateTransferBuffers();
