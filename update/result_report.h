#pragma once

#include <string>

#include "update/update_result.h"

// The single exit of every run: closes what is open, gives the controls back,
// shows the outcome and returns once the user has dismissed it.
void ReportUpdateResult(UpdateResult code);

struct ResultMessage {
  std::string title;
  std::string text;
};
// The title and text for code; portName is the current text of PortList.
ResultMessage ResultMessageFor(UpdateResult code, const std::string& portName);
