#pragma once

// An effect on a whole record, from its stretch function: the output's
// samples are shared between two cores a chunk at a time, each chunk's
// fresh pages mapped just before it is written.

#include <algorithm>
#include <cstdint>

#include "core/two_cores.hpp"
#include "effects/effects.hpp"

// apply_stretch(window, out, begin, end) computes outputs [begin, end) into
// out[0, end − begin).
template <class ApplyStretch>
void apply_to_whole_record(const wave_data* in, wave_data* out, ApplyStretch apply_stretch) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  const sample_window window = whole_window(*in, count);
  double* y = out->samples.get();
  split_work(count, [&](std::int64_t begin, std::int64_t end) {
    prepare_samples(y + begin, end - begin);
    apply_stretch(window, y + begin, begin, end);
  });
}
