#include "app/port_discovery.h"

#include <string>

#include "app/shared_state.h"
#include "platform/serial.h"

void DiscoverSerialPorts() {
  for (int n = 1; n <= 99; ++n) {
    std::string name = "COM" + std::to_string(n);
    if (DevicePortOpen(name, 9600, Parity::None, 8, StopBits::One, Handshake::None, 16, 16)) {
      GuiAppendListEntry(PortList, name);
      DevicePortClose();
    }
  }
}
