#include <algorithm>

#include "effects/effects.hpp"

void apply_to_whole_record(const effect_description& effect, const effect_settings& settings,
                           const wave_data* in, wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  if (count > 0) {
    effect.apply_stretch(whole_window(*in, count), out->samples.get(), 0, count, settings);
  }
}
