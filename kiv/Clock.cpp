#include "kiv/Clock.h"

#include <chrono>
#include <ctime>
#include <mutex>

namespace Kiv {

namespace {
std::mutex g_lock;
std::function<uint64_t()> g_ms;
std::function<LocalTime()> g_local;
std::function<int64_t()> g_unix;

const auto g_start = std::chrono::steady_clock::now();

// A copy of the injected source, called outside the lock so that a source
// may itself ask the clock (local time made from the injected milliseconds).
template <class F>
F Source(const F& source) {
  std::lock_guard<std::mutex> guard(g_lock);
  return source;
}
}  // namespace

uint64_t Clock::Milliseconds() {
  if (auto source = Source(g_ms)) return source();
  auto d = std::chrono::steady_clock::now() - g_start;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

LocalTime Clock::Now() {
  if (auto source = Source(g_local)) return source();
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  LocalTime lt;
  lt.year = tm.tm_year + 1900;
  lt.month = tm.tm_mon + 1;
  lt.day = tm.tm_mday;
  lt.dayOfWeek = tm.tm_wday;
  lt.hour = tm.tm_hour;
  lt.minute = tm.tm_min;
  lt.second = tm.tm_sec;
  lt.millisecond = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  return lt;
}

int64_t Clock::UnixTime() {
  if (auto source = Source(g_unix)) return source();
  return static_cast<int64_t>(std::time(nullptr));
}

void Clock::SetMillisecondsSource(std::function<uint64_t()> source) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_ms = std::move(source);
}

void Clock::SetLocalTimeSource(std::function<LocalTime()> source) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_local = std::move(source);
}

void Clock::SetUnixTimeSource(std::function<int64_t()> source) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_unix = std::move(source);
}

}  // namespace Kiv
