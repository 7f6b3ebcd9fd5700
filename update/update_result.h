#pragma once

#include <cstdint>

// The outcome of one update run; the values are the codes the user sees.
enum UpdateResult : std::int32_t {
  UpdateDone = 0,
  FirmwareMissing = 1,
  PortOpenFailed = 2,
  NoResponse = 3,
  NoCorrectAnswer = 4,
  UpdateWrong = 5,
};
