// DiscoverSerialPorts.
#include "app/port_discovery.h"
#include "unit_support.h"

using ::testing::ElementsAre;

namespace {

struct PortSetup {
  std::string name;
  fake::PortKind kind;
};
struct DiscoveryCase {
  const char* label;
  std::vector<PortSetup> ports;
  std::vector<std::string> listed;
};

class Discovery : public FakeTest, public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(Discovery, ListsExactlyThePortsThatOpenInAscendingOrder) {
  for (const PortSetup& p : GetParam().ports) {
    fake::AddPort(p.name, p.kind);
  }
  OpenWindow();

  DiscoverSerialPorts();

  EXPECT_EQ(fake::Control(PortList).entries, GetParam().listed);
  EXPECT_EQ(fake::Control(PortList).selected, -1) << "no entry is selected afterwards";
  EXPECT_FALSE(fake::PortIsOpen());
  EXPECT_EQ(fake::PortCloses(), static_cast<int>(GetParam().listed.size()));
}

using K = fake::PortKind;
INSTANTIATE_TEST_SUITE_P(
    Table, Discovery,
    ::testing::Values(
        DiscoveryCase{"NoPort", {}, {}},
        DiscoveryCase{"Com3AndCom10PresentCom7Held",
                      {{"COM10", K::Present}, {"COM7", K::HeldElsewhere}, {"COM3", K::Present}},
                      {"COM3", "COM10"}},
        // The refusing port leaves nothing open: COM6 right after it still opens.
        DiscoveryCase{"RefusingPortNotListed",
                      {{"COM5", K::RefusesSettings}, {"COM6", K::Present}},
                      {"COM6"}},
        DiscoveryCase{"OutsideOneTo99NeverListed",
                      {{"COM0", K::Present},
                       {"COM100", K::Present},
                       {"COM01", K::Present},
                       {"COM1", K::Present},
                       {"COM99", K::Present}},
                      {"COM1", "COM99"}},
        DiscoveryCase{
            "AllHeldOrRefusing", {{"COM1", K::HeldElsewhere}, {"COM2", K::RefusesSettings}}, {}}),
    [](const auto& tp) { return std::string(tp.param.label); });

TEST_F(FakeTest, DiscoveryProbesCom1To99AscendingAt9600_8N1_NoHandshake_16_16) {
  OpenWindow();
  DiscoverSerialPorts();

  std::vector<fake::PortOpen> opens = fake::PortOpens();
  ASSERT_EQ(opens.size(), 99u);
  for (std::size_t i = 0; i < opens.size(); ++i) {
    SCOPED_TRACE(opens[i].name);
    EXPECT_EQ(opens[i].name, "COM" + std::to_string(i + 1));
    EXPECT_EQ(opens[i].baudRate, 9600u);
    EXPECT_EQ(opens[i].parity, Parity::None);
    EXPECT_EQ(opens[i].dataBits, 8);
    EXPECT_EQ(opens[i].stopBits, StopBits::One);
    EXPECT_EQ(opens[i].handshake, Handshake::None);
    EXPECT_EQ(opens[i].inputQueueSize, 16u);
    EXPECT_EQ(opens[i].outputQueueSize, 16u);
  }
}

TEST_F(FakeTest, DiscoveryAppendsTheNameThenClosesBeforeTheNextProbe) {
  fake::AddPort("COM3");
  fake::AddPort("COM4");
  OpenWindow();
  DiscoverSerialPorts();

  std::vector<std::string> withoutFailedProbes;
  for (const std::string& entry : fake::Log()) {
    if (entry.find("-> 0") == std::string::npos) {
      withoutFailedProbes.push_back(entry);
    }
  }
  EXPECT_THAT(withoutFailedProbes,
              ElementsAre("DevicePortOpen COM3 9600 8N1 none 16 16 -> 1",
                          "GuiAppendListEntry PortList COM3", "DevicePortClose",
                          "DevicePortOpen COM4 9600 8N1 none 16 16 -> 1",
                          "GuiAppendListEntry PortList COM4", "DevicePortClose"));
  EXPECT_EQ(GuiGetText(PortList), "") << "nothing selected";
}

}  // namespace
