#pragma once
// The process clock and the local time. Both read through a replaceable
// source so tests can fix the time.
#include <cstdint>
#include <functional>

namespace Kiv {

struct LocalTime {
  int year = 0;
  int month = 0;      // 1..12
  int day = 0;        // 1..31
  int dayOfWeek = 0;  // 0 Sunday .. 6
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

class Clock {
public:
  // Milliseconds since the process clock started (monotonic).
  static uint64_t Milliseconds();
  static double Seconds() { return static_cast<double>(Milliseconds()) / 1000.0; }
  // The current local time.
  static LocalTime Now();
  // Seconds since 1970 (for seeds and stamps).
  static int64_t UnixTime();

  // Replace the sources; an empty function restores the real one.
  static void SetMillisecondsSource(std::function<uint64_t()> source);
  static void SetLocalTimeSource(std::function<LocalTime()> source);
  static void SetUnixTimeSource(std::function<int64_t()> source);
};

}  // namespace Kiv
