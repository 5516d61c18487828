#pragma once
// A local date and time packed into two words for the script time natives.
// The top byte of each word belongs to the owner and is kept.

#include <cstdint>

#include "kiv/Clock.h"

namespace GSRuntime {

struct PackedDateTime {
  uint32_t time = 0;  // ms mod 128 (0-6), second (7-12), minute (13-18), hour (19-23)
  uint32_t date = 0;  // weekday (0-2, 0 Sunday), day (3-7), month (8-11), year low 12 bits (12-23)

  void Set(const Kiv::LocalTime& t);
  // Reads the local time once.
  void SetFromLocalTime() { Set(Kiv::Clock::Now()); }
};

}  // namespace GSRuntime
