// The set-up shared by the update tests: the main window open, COM3 present
// and selected, and helpers to script a device and run one update.
#pragma once

#include <string>

#include "unit_support.h"
#include "update/result_report.h"
#include "update/update_sequence.h"

inline constexpr std::int64_t kHeader = 16;

// The title and text the user must see for code.
inline fake::MessageRecord ExpectedMessage(UpdateResult code, const std::string& portText) {
  switch (code) {
    case UpdateDone:
      return {nullptr, "Information", "Device update!", 0};
    case FirmwareMissing:
      return {nullptr, "ERROR:1", "Firmware missing!", 0};
    case PortOpenFailed:
      return {nullptr, "ERROR:2", "Can't open the serial port: " + portText, 0};
    case NoResponse:
      return {nullptr, "ERROR:3", "Device does not respond!", 0};
    case NoCorrectAnswer:
      return {nullptr, "ERROR:4", "No correct answer device!", 0};
    case UpdateWrong:
      return {nullptr, "ERROR:5", "Update wrong!", 0};
  }
  return {};
}

class UpdateRun : public FakeTest {
 protected:
  void SetUp() override {
    FakeTest::SetUp();
    OpenWindow();
    fake::AddPort("COM3");
    fake::SelectText(PortList, "COM3");
  }

 public:
  // trx.fw of size bytes; the device answers first 10 ms after the header and
  // second 10 ms after the last body byte (200 ms after the header when there
  // is no body, so that the first reply has been read by then).
  static void Device(std::size_t size, const std::string& first = "OK",
                     const std::string& second = "OK") {
    fake::AddFile("trx.fw", Pattern(size));
    auto n = static_cast<std::int64_t>(size) - kHeader;
    fake::DeviceReplyAfterWritten(16, 10, first);
    if (n > 0) {
      fake::DeviceReplyAfterWritten(static_cast<std::uint64_t>(16 + n), 10, second);
    } else {
      fake::DeviceReplyAfterWritten(16, 200, second);
    }
  }

  // Runs RunFirmwareUpdate to its end; the one message it showed.
  static fake::MessageRecord Run() {
    RunFirmwareUpdate();
    std::vector<fake::MessageRecord> messages = fake::Messages();
    EXPECT_EQ(messages.size(), 1u) << "exactly one report per run";
    return messages.empty() ? fake::MessageRecord{} : messages.back();
  }

  static void ExpectResult(const fake::MessageRecord& shown, UpdateResult code) {
    fake::MessageRecord want = ExpectedMessage(code, GuiGetText(PortList));
    EXPECT_EQ(shown.title, want.title);
    EXPECT_EQ(shown.text, want.text);
  }
};

// Index in the log of the first entry equal to entry at or after from; npos if none.
inline std::size_t FindEntry(const std::vector<std::string>& log, const std::string& entry,
                             std::size_t from = 0) {
  for (std::size_t i = from; i < log.size(); ++i) {
    if (log[i] == entry) return i;
  }
  return std::string::npos;
}
inline std::size_t FindLastEntry(const std::vector<std::string>& log, const std::string& entry) {
  for (std::size_t i = log.size(); i-- > 0;) {
    if (log[i] == entry) return i;
  }
  return std::string::npos;
}

// Reply-wait polls (input-count queries) from log[from] until the reply is
// read or the report begins.
inline std::size_t PollsFrom(const std::vector<std::string>& log, std::size_t from) {
  std::size_t polls = 0;
  for (std::size_t i = from; i < log.size(); ++i) {
    if (log[i].rfind("DevicePortRead", 0) == 0 || log[i].rfind("FirmwareFileIsOpen", 0) == 0) break;
    polls += log[i].rfind("DevicePortInputCount", 0) == 0;
  }
  return polls;
}
