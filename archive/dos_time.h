#pragma once

#include <cstdint>
#include <optional>

#include "platform/datetime.h"

namespace quilvane::archive {

// MS-DOS date and time words: 2-second resolution, years 1980 to 2107.
struct DosDateTime {
  std::uint16_t time = 0;
  std::uint16_t date = 0;
};

// Times outside the DOS range are clamped to its ends; seconds are cut to
// even.
DosDateTime ToDosDateTime(platform::DateTime local);
// nullopt when the words do not form a valid date and time.
std::optional<platform::DateTime> FromDosDateTime(DosDateTime dos);

}  // namespace quilvane::archive
