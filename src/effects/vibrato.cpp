// Vibrato: the input read through a delay that swings sinusoidally at 5 Hz
// around a mean of 2 ms, by 2 ms either way:
//
//   tau(n) = sin(10π · n / rate) · depth + d,   d = depth = rate × 0.002
//   out[n] = (1 − frac) · in[m] + frac · in[m + 1],   t = n − tau(n), m = trunc(t)
//
// d, tau, the index n, the read position t and its fraction are 32-bit
// floats, as the rounding points below show; the phase, the sine and the
// interpolation are double precision. Because m truncates toward zero, a
// read position between −1 and 0 gives m = 0 and a negative fraction: that
// sample is extrapolated from in[0] and in[1]. A position further back, or
// one with no in[m + 1], leaves the output sample at 0.

#include <algorithm>
#include <cmath>

#include "effects/effects.hpp"
#include "effects/split_work.hpp"

namespace {
// 2π × 5 Hz.
constexpr double modulation = 31.41592653589793;
}  // namespace

void apply_vibrato(const wave_data* in, wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  if (count <= 0 || in->sample_rate <= 0) {
    return;  // without a positive rate there is no delay to swing: silence
  }
  const double rate = in->sample_rate;
  const float d = static_cast<float>(in->sample_rate * 0.002);
  const float depth = d;
  const double* x = in->samples.get();
  double* y = out->samples.get();
  const double last_readable = static_cast<double>(count) - 1.0;

  split_work(count, [&](std::int64_t begin, std::int64_t end) {
    for (auto n = static_cast<std::int32_t>(begin); n < end; ++n) {
      const float nf = static_cast<float>(n);
      const double phase = (n * modulation) / rate;
      const float tau = static_cast<float>(std::sin(phase) * depth + d);
      const float t = nf - tau;
      // m = trunc(t) is at least 0 exactly when t > −1; bounding t before the
      // conversion keeps it in the int range whatever the header said.
      if (!(t > -1.0f && t < last_readable)) {
        continue;
      }
      const auto m = static_cast<std::int32_t>(t);
      if (m + 1 >= count) {
        continue;  // no in[m + 1] to interpolate towards
      }
      const float frac = t - static_cast<float>(m);
      y[n] = (1.0 - frac) * x[m] + frac * x[m + 1];
    }
  });
}
