#include <algorithm>

#include "effects/effects.hpp"

void apply_distortion(const wave_data* in, wave_data* out, distortion_settings settings) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  const double gain = settings.gain;
  const double level = settings.level;
  for (std::int32_t n = 0; n < count; ++n) {
    double y = gain * in->samples[n];
    // Strict comparisons: a value landing exactly on ±1 passes unchanged.
    if (y > 1.0) {
      y = 1.0;
    } else if (y < -1.0) {
      y = -1.0;
    }
    out->samples[n] = level * y;
  }
}
