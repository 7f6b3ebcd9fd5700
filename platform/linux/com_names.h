// How a port name of the program ("COM3") resolves to a serial device on Linux.
#pragma once

#include <string>

// A fixed table, nothing configurable (COM1 = ttyS0 as under Wine):
//   COM1-COM32  -> /dev/ttyS0-/dev/ttyS31
//   COM33-COM64 -> /dev/ttyUSB0-/dev/ttyUSB31
//   COM65-COM96 -> /dev/ttyACM0-/dev/ttyACM31
//   COM97-COM99 -> /dev/ttyAMA0-/dev/ttyAMA2
// Any other text (COM0, COM100, a leading zero, lower case, blanks, "") gives "".
std::string ComNameToDevicePath(const std::string& name);
