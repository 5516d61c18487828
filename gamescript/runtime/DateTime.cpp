#include "gamescript/runtime/DateTime.h"

namespace GSRuntime {

namespace {
uint32_t Field(int value, uint32_t width, uint32_t shift) {
  return (uint32_t(value) & ((1u << width) - 1)) << shift;
}
}  // namespace

void PackedDateTime::Set(const Kiv::LocalTime& t) {
  time = (time & 0xFF000000u) | Field(t.millisecond, 7, 0) | Field(t.second, 6, 7) | Field(t.minute, 6, 13) |
         Field(t.hour, 5, 19);
  date = (date & 0xFF000000u) | Field(t.dayOfWeek, 3, 0) | Field(t.day, 5, 3) | Field(t.month, 4, 8) |
         Field(t.year, 12, 12);
}

}  // namespace GSRuntime
