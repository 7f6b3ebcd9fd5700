// The fake platform itself: the behaviours the other tests rely on.
#include "unit_support.h"

using ::testing::ElementsAre;

namespace {

bool Open(const std::string& name) {
  return DevicePortOpen(name, 9600, Parity::None, 8, StopBits::One, Handshake::None, 16, 16);
}

TEST_F(FakeTest, PortsOpenOnlyWhenPresentAndOneAtATime) {
  fake::AddPort("COM3");
  fake::AddPort("COM4");
  fake::AddPort("COM7", fake::PortKind::HeldElsewhere);
  fake::AddPort("COM5", fake::PortKind::RefusesSettings);
  EXPECT_FALSE(Open("COM1"));
  EXPECT_FALSE(Open("COM7"));
  EXPECT_FALSE(Open("COM5"));
  EXPECT_FALSE(fake::PortIsOpen());
  EXPECT_TRUE(Open("COM3"));
  EXPECT_FALSE(Open("COM4")) << "the one slot is taken";
  EXPECT_FALSE(Open("COM3"));
  EXPECT_TRUE(DevicePortIsOpen());
  DevicePortClose();
  DevicePortClose();  // nothing open: nothing happens
  EXPECT_EQ(fake::PortCloses(), 1);
  EXPECT_EQ(fake::PortOpens().size(), 6u);
}

TEST_F(FakeTest, SleepAdvancesVirtualTimeAndDeliversScheduledBytes) {
  fake::AddPort("COM3");
  fake::DeviceSendAtOpen("ab");
  fake::DeviceSendAt(5, "c");
  fake::DeviceReplyAfterWritten(3, 10, "OK");
  ASSERT_TRUE(Open("COM3"));
  EXPECT_EQ(DevicePortInputCount(), 2u);
  SleepMilliseconds(5);
  EXPECT_EQ(fake::Now(), 5);
  EXPECT_EQ(DevicePortInputCount(), 3u);
  std::uint8_t buffer[8] = {};
  EXPECT_EQ(DevicePortRead(buffer, 3), 3u);
  EXPECT_EQ(std::string(buffer, buffer + 3), "abc");
  const std::uint8_t out[3] = {1, 2, 3};
  DevicePortWrite(out, 2);
  SleepMilliseconds(20);
  EXPECT_EQ(DevicePortInputCount(), 0u) << "the reply waits for 3 bytes written";
  DevicePortWrite(out, 1);
  SleepMilliseconds(9);
  EXPECT_EQ(DevicePortInputCount(), 0u);
  SleepMilliseconds(1);
  EXPECT_EQ(DevicePortInputCount(), 2u);
  EXPECT_EQ(fake::BytesWritten(), (fake::Bytes{1, 2, 1}));
}

TEST_F(FakeTest, AReadOfMoreThanIsWaitingReturnsWhatIsThereAndIsCounted) {
  fake::AddPort("COM3");
  fake::DeviceSendAtOpen("x");
  ASSERT_TRUE(Open("COM3"));
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(DevicePortRead(buffer, 4), 1u);
  EXPECT_EQ(fake::Overreads(), 1);
  fake::ResetFake();  // so that the fixture does not fail this test
}

TEST_F(FakeTest, OutputQueueBehaviours) {
  fake::AddPort("COM3");
  ASSERT_TRUE(Open("COM3"));
  const std::uint8_t b[4] = {};
  DevicePortWrite(b, 4);
  EXPECT_EQ(DevicePortOutputCount(), 0u) << "Immediate";

  fake::SetOutputQueue({fake::OutputQueue::AfterPolls, 2, 0, 0});
  DevicePortWrite(b, 4);
  EXPECT_EQ(DevicePortOutputCount(), 4u);
  EXPECT_EQ(DevicePortOutputCount(), 4u);
  EXPECT_EQ(DevicePortOutputCount(), 0u);

  fake::SetOutputQueue({fake::OutputQueue::Rate, 0, 100, 6});
  DevicePortWrite(b, 4);
  EXPECT_EQ(DevicePortOutputCount(), 10u);
  SleepMilliseconds(250);
  EXPECT_EQ(DevicePortOutputCount(), 8u);
  SleepMilliseconds(50);
  EXPECT_EQ(DevicePortOutputCount(), 7u);

  fake::SetOutputQueue({fake::OutputQueue::Never});
  SleepMilliseconds(100000);
  EXPECT_EQ(DevicePortOutputCount(), 7u);
  fake::SetStatusQueryFails(true);
  EXPECT_EQ(DevicePortOutputCount(), 0u);
}

TEST_F(FakeTest, FilesReadByteByByteWithZeroAtTheEndWithoutAdvancing) {
  fake::AddFile("a.fw", {7, 8});
  fake::AddFile("held.fw", {1});
  fake::SetFileHeld("held.fw", true);
  fake::AddDirectory("dir");
  EXPECT_FALSE(FirmwareFileOpen("held.fw"));
  EXPECT_FALSE(FirmwareFileOpen("dir"));
  EXPECT_FALSE(FirmwareFileOpen("none.fw"));
  EXPECT_EQ(FileSizeByPath("none.fw"), -1);
  EXPECT_EQ(FileSizeByPath("a.fw"), 2);
  ASSERT_TRUE(FirmwareFileOpen("a.fw"));
  EXPECT_FALSE(FirmwareFileOpen("a.fw")) << "no sharing";
  fake::AddFile("a.fw", {1, 2, 3});  // replaced on disk: the open file keeps its bytes
  EXPECT_EQ(FileSizeByPath("a.fw"), 2);
  std::vector<int> bytes;
  bytes.reserve(4);
  for (int i = 0; i < 4; ++i) bytes.push_back(FirmwareFileReadByte());
  EXPECT_THAT(bytes, ElementsAre(7, 8, 0, 0));
  FirmwareFileClose();
  EXPECT_FALSE(FirmwareFileIsOpen());
  EXPECT_EQ(FileSizeByPath("a.fw"), 3);
}

TEST_F(FakeTest, EmptyEventQueueAnswersCloseAndEndProcessThrows) {
  fake::QueueEvent(EventOf(WindowEventKind::Menu));
  EXPECT_EQ(GuiNextEvent().kind, WindowEventKind::Menu);
  EXPECT_EQ(GuiNextEvent().kind, WindowEventKind::Close);
  EXPECT_THROW(EndProcess(0), fake::ProcessEnded);
  EXPECT_THAT(fake::Log(), ElementsAre("GuiNextEvent Menu", "GuiNextEvent Close", "EndProcess 0"));
}

}  // namespace
