// lumo: deadlines on the monotonic clock for the platform layer's bounded waits, so that a
// change of the wall clock neither ends a wait early nor stretches it.
#ifndef LUMO_IMPL_UNX_DEADLINE_HPP
#define LUMO_IMPL_UNX_DEADLINE_HPP

#include <time.h>

#include "../step.hpp"

namespace lumo {

inline timespec monotonicNow() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// now + ms milliseconds (ms >= 0).
inline timespec deadlineAfter(long long ms) noexcept {
  timespec t = monotonicNow();
  t.tv_sec += static_cast<time_t>(ms / 1000);
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  return t;
}

// Milliseconds left until deadline, 0 once it has passed (rounded up, so that a wait for the
// rest never ends just before the deadline).
inline long msUntil(const timespec &deadline) noexcept {
  timespec now = monotonicNow();
  long long ns = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                 (deadline.tv_nsec - now.tv_nsec);
  return ns <= 0 ? 0 : static_cast<long>((ns + 999999) / 1000000);
}

}  // namespace lumo

#endif
