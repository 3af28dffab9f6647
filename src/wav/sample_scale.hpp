#pragma once

// The one place where 16-bit samples become doubles and back.

#include <cmath>
#include <cstdint>

// s / 32768, exact: the held values run from -1 to 1 - 1/32768.
inline double sample_from_s16(std::int16_t s) { return s * 0.000030517578125; }

// The held value on the unsigned 16-bit scale, (x + 1) * 0.5 * 65536 in that
// order, clamped to [0, 65535], rounded half up (+0.5 and truncation), then
// moved back to signed. -1 maps to -32768, 0 to 0, and everything from
// 1 - 1.5/32768 upward to 32767. NaN has no place on the scale and is written
// as 0 (silence) instead of being converted to an integer.
inline std::int16_t sample_to_s16(double x) {
  // Selects rather than branches, so that a loop of them runs in vector
  // lanes; a NaN fails every comparison and takes the place of 0.
  double v = (x + 1.0) * 0.5 * 65536.0;
  v = v > 65535.0 ? 65535.0 : v;
  v = v < 0.0 ? 0.0 : v;
  v = v == v ? v : 32768.0;
  const int u = static_cast<int>(v + 0.5);
  return static_cast<std::int16_t>(u - 32768);
}
