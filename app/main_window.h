#pragma once

#include "platform/gui.h"
#include "platform/thread.h"

void OpenMainWindow(int x, int y, int width, int height);
bool HandleWindowEvent(const WindowEvent& event);
[[noreturn]] void ProgressDisplayLoop();

// Released at shutdown, without waiting for the thread.
extern ThreadHandle ProgressDisplayThread;
