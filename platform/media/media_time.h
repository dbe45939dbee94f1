#pragma once

#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <string>

// Media time: exactly value / timescale seconds, timescale > 0. Sums of times in different time
// bases are exact, zero in any time base equals zero, and a time becomes seconds only through
// MediaTimeGetSeconds. Arithmetic that would leave 64 bits throws MediaTimeOverflow.

struct MediaTime {
  std::int64_t value = 0;
  std::int64_t timescale = 1;
};

class MediaTimeOverflow : public std::overflow_error {
 public:
  MediaTimeOverflow() : std::overflow_error("Media time does not fit in 64 bits") {}
};

inline constexpr MediaTime kMediaTimeZero{0, 1};

// The same time with value and timescale divided by their greatest common divisor.
inline MediaTime MediaTimeReduced(MediaTime t) {
  std::int64_t divisor = std::gcd(t.value, t.timescale);
  if (divisor <= 1) return t;
  return {t.value / divisor, t.timescale / divisor};
}

inline MediaTime MediaTimeAdd(MediaTime a, MediaTime b) {
  a = MediaTimeReduced(a);
  b = MediaTimeReduced(b);
  std::int64_t divisor = std::gcd(a.timescale, b.timescale);
  std::int64_t timescale, a_value, b_value, sum;
  if (__builtin_mul_overflow(a.timescale / divisor, b.timescale, &timescale) ||
      __builtin_mul_overflow(a.value, timescale / a.timescale, &a_value) ||
      __builtin_mul_overflow(b.value, timescale / b.timescale, &b_value) ||
      __builtin_add_overflow(a_value, b_value, &sum)) {
    throw MediaTimeOverflow();
  }
  return MediaTimeReduced({sum, timescale});
}

// Negative, zero or positive as a is less than, equal to or greater than b.
inline int MediaTimeCompare(MediaTime a, MediaTime b) {
  __int128 left = static_cast<__int128>(a.value) * b.timescale;
  __int128 right = static_cast<__int128>(b.value) * a.timescale;
  return left < right ? -1 : (left > right ? 1 : 0);
}

inline bool MediaTimeEqual(MediaTime a, MediaTime b) { return MediaTimeCompare(a, b) == 0; }

// The lesser of the two; the first when they are equal.
inline MediaTime MediaTimeMinimum(MediaTime a, MediaTime b) {
  return MediaTimeCompare(b, a) < 0 ? b : a;
}

inline double MediaTimeGetSeconds(MediaTime t) {
  return static_cast<double>(t.value) / static_cast<double>(t.timescale);
}
