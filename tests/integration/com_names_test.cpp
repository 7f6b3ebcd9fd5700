// The fixed COM-name table of the Linux build.
#include "platform/linux/com_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ComNames, EveryNameTheProgramBuildsMapsToItsDevice) {
  for (int n = 1; n <= 99; ++n) {
    std::string expected;
    if (n <= 32) {
      expected = "/dev/ttyS" + std::to_string(n - 1);
    } else if (n <= 64) {
      expected = "/dev/ttyUSB" + std::to_string(n - 33);
    } else if (n <= 96) {
      expected = "/dev/ttyACM" + std::to_string(n - 65);
    } else {
      expected = "/dev/ttyAMA" + std::to_string(n - 97);
    }
    EXPECT_EQ(ComNameToDevicePath("COM" + std::to_string(n)), expected) << n;
  }
}

TEST(ComNames, TheTableAsWritten) {
  EXPECT_EQ(ComNameToDevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(ComNameToDevicePath("COM32"), "/dev/ttyS31");
  EXPECT_EQ(ComNameToDevicePath("COM33"), "/dev/ttyUSB0");
  EXPECT_EQ(ComNameToDevicePath("COM64"), "/dev/ttyUSB31");
  EXPECT_EQ(ComNameToDevicePath("COM65"), "/dev/ttyACM0");
  EXPECT_EQ(ComNameToDevicePath("COM96"), "/dev/ttyACM31");
  EXPECT_EQ(ComNameToDevicePath("COM97"), "/dev/ttyAMA0");
  EXPECT_EQ(ComNameToDevicePath("COM99"), "/dev/ttyAMA2");
}

TEST(ComNames, AnyOtherNameHasNoDevice) {
  for (const char* name :
       {"", "COM", "COM0", "COM00", "COM01", "COM001", "COM100", "COM999", "com1", "Com1", "COM1 ",
        " COM1", "COM+1", "COM-1", "COM1a", "COMx", "LPT1", "/dev/ttyS0", "COM\xd9\xa3"}) {
    EXPECT_EQ(ComNameToDevicePath(name), "") << name;
  }
  EXPECT_EQ(ComNameToDevicePath(std::string("COM1\0", 5)), "");
}

}  // namespace
