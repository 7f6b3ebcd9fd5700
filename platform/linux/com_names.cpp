#include "platform/linux/com_names.h"

std::string ComNameToDevicePath(const std::string& name) {
  // "COM" followed by 1 to 99 in decimal without leading zeros.
  if (name.size() < 4 || name.size() > 5 || name.compare(0, 3, "COM") != 0) {
    return "";
  }
  int number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    char c = name[i];
    if (c < '0' || c > '9') {
      return "";
    }
    number = number * 10 + (c - '0');
  }
  if (name[3] == '0') {
    return "";
  }
  if (number <= 32) {
    return "/dev/ttyS" + std::to_string(number - 1);
  }
  if (number <= 64) {
    return "/dev/ttyUSB" + std::to_string(number - 33);
  }
  if (number <= 96) {
    return "/dev/ttyACM" + std::to_string(number - 65);
  }
  return "/dev/ttyAMA" + std::to_string(number - 97);
}
