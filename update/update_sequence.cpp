// One firmware update, top to bottom: open the file and the port, send the
// 16-byte header, wait for "OK", stream the body byte by byte, wait for "OK".
#include "update/update_sequence.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "app/shared_state.h"
#include "platform/file.h"
#include "platform/gui.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "update/result_report.h"
#include "update/update_result.h"

namespace {

constexpr int HeaderSize = 16;
constexpr int ReplyPollLimit = 5000;
// A drain wait gives up once the output queue has not shrunk for this many
// 1 ms polls: a device that stops taking bytes must not hang the program.
constexpr int StalledDrainPollLimit = 5000;
// Queries of the tight spin after a body byte before falling back to 1 ms
// polls; a healthy driver empties its queue long before this.
constexpr int BodySpinPollLimit = 100000;

// Polls 1 ms apart until exactly 2 bytes wait; false after 5000 polls, even
// when the last one saw them.
bool WaitForReply() {
  int counter = 0;
  for (;;) {
    SleepMilliseconds(1);
    ++counter;
    bool replied = DevicePortInputCount() == 2;
    if (replied || counter == ReplyPollLimit) {
      break;
    }
  }
  return counter != ReplyPollLimit;
}

// Reads the 2-byte reply into ReplyBuffer and checks it is "OK". The bytes are
// cleared first so that a read cut short by a failing port never passes as
// the previous reply.
bool ReadReplyIsOk() {
  ReplyBuffer[0] = 0;
  ReplyBuffer[1] = 0;
  DevicePortRead(ReplyBuffer, 2);
  return ReplyBuffer[0] == 0x4F && ReplyBuffer[1] == 0x4B;
}

// Waits until the driver's output queue is empty: first spinPolls queries
// without sleeping, then 1 ms polls for as long as the queue keeps shrinking.
bool WaitForOutputDrained(int spinPolls) {
  for (int i = 0; i < spinPolls; ++i) {
    if (DevicePortOutputCount() == 0) {
      return true;
    }
  }
  // The first poll is the baseline and counts as one without progress.
  std::uint32_t lowest = UINT32_MAX;
  int pollsWithoutProgress = 0;
  for (;;) {
    SleepMilliseconds(1);
    std::uint32_t waiting = DevicePortOutputCount();
    if (waiting == 0) {
      return true;
    }
    bool shrank = lowest != UINT32_MAX && waiting < lowest;
    pollsWithoutProgress = shrank ? 0 : pollsWithoutProgress + 1;
    lowest = std::min(lowest, waiting);
    if (pollsWithoutProgress == StalledDrainPollLimit) {
      return false;
    }
  }
}

// Percent of the body handed to the port after byte i of n, truncated toward
// zero; reaches exactly 100 with the last byte.
std::int64_t ProgressAfterByte(std::int64_t i, std::int64_t n) {
  return static_cast<std::int64_t>(static_cast<double>(i) * 100.0 / static_cast<double>(n));
}

// Drops what the device sent before the header, at most a buffer at a time.
// Only what is waiting now: a device that keeps sending cannot hold us here.
void DiscardStaleInput() {
  std::uint32_t remaining = DevicePortInputCount();
  while (remaining > 0) {
    std::uint32_t chunk = std::min<std::uint32_t>(remaining, TransferBufferSize);
    std::uint32_t got = DevicePortRead(ReplyBuffer, chunk);
    if (got == 0) {
      break;
    }
    remaining -= std::min(got, remaining);
  }
}

}  // namespace

void RunFirmwareUpdate() {
  UpdateProgress.store(0, std::memory_order_relaxed);
  GuiEnableControl(PortList, false);
  GuiEnableControl(FirmwarePathField, false);
  GuiEnableControl(OpenButton, false);
  GuiEnableControl(UpdateButton, false);

  if (!FirmwareFileOpen(GuiGetText(FirmwarePathField))) {
    ReportUpdateResult(FirmwareMissing);
    return;
  }
  if (!DevicePortOpen(GuiGetText(PortList), 57600, Parity::None, 8, StopBits::One, Handshake::None,
                      16, 524288)) {
    ReportUpdateResult(PortOpenFailed);
    return;
  }

  SleepMilliseconds(100);
  DiscardStaleInput();

  // The header is always 16 bytes; a short file pads it with zeros.
  for (int i = 0; i < HeaderSize; ++i) {
    SendBuffer[i] = FirmwareFileReadByte();
  }
  DevicePortWrite(SendBuffer, HeaderSize);
  if (!WaitForOutputDrained(0)) {
    ReportUpdateResult(NoResponse);
    return;
  }

  if (!WaitForReply()) {
    ReportUpdateResult(NoResponse);
    return;
  }
  if (!ReadReplyIsOk()) {
    ReportUpdateResult(NoCorrectAnswer);
    return;
  }

  std::int64_t bodyLength = FileSizeByPath(GuiGetText(FirmwarePathField)) - HeaderSize;
  for (std::int64_t i = 1; i <= bodyLength; ++i) {
    SendBuffer[0] = FirmwareFileReadByte();
    DevicePortWrite(SendBuffer, 1);
    UpdateProgress.store(ProgressAfterByte(i, bodyLength), std::memory_order_relaxed);
    if (!WaitForOutputDrained(BodySpinPollLimit)) {
      ReportUpdateResult(NoResponse);
      return;
    }
  }

  if (!WaitForReply()) {
    ReportUpdateResult(NoResponse);
    return;
  }
  ReportUpdateResult(ReadReplyIsOk() ? UpdateDone : UpdateWrong);
}
