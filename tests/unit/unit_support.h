// Shared by the unit tests: a fixture that resets the fake platform and the
// program's process-wide state around every test, and names the program's
// handles and thread procedures in the fake's log.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/shared_state.h"
#include "fake_platform.h"

// UpdateProgress 0, UpdateInProgress false, every handle nullptr, both
// transfer buffers zero: the state of a process that has not started yet.
void ResetProgramState();

// Log names: "MainWindow", "PortList", ... and "RunFirmwareUpdate",
// "ProgressDisplayLoop", after the program's own variables.
void InstallNamers();

class FakeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Fails the test on a contract breach the fake saw (reading more than was
  // waiting, calls on a closed port or file, ...), then resets everything.
  void TearDown() override;
};

// OpenMainWindow(0, 0, 480, 140) as start-up does it; clears the log after.
void OpenWindow();

// size bytes that differ from their neighbours and from 0 (so padding shows).
fake::Bytes Pattern(std::size_t size);

WindowEvent ControlEvent(GuiHandle control, int type = 0);
WindowEvent EventOf(WindowEventKind kind);

// Log entries with the first word "GuiEnable".
std::vector<std::string> EnableLog();
