#include "effects/references.hpp"

#include <algorithm>

#include "effects/reverb.hpp"
#include "effects/vibrato.hpp"

void apply_reverb_reference(const wave_data* in, wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  if (count <= 0) {
    return;
  }
  if (in->sample_rate <= 0) {
    std::copy_n(in->samples.get(), count, out->samples.get());
    return;
  }
  const sample_window window = whole_window(*in, count);
  const float spacing = echo_spacing(in->sample_rate);
  for (std::int32_t n = 0; n < count; ++n) {
    out->samples[n] = reverb_sample(window, n, spacing);
  }
}

void apply_vibrato_reference(const wave_data* in, wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  const sample_window window = whole_window(*in, count);
  for (std::int32_t n = 0; n < count; ++n) {
    out->samples[n] = vibrato_sample(window, n);
  }
}
