#include <algorithm>

#include "core/two_cores.hpp"
#include "effects/effects.hpp"
#include "platform/compiler.hpp"

namespace {

// The clip: if y > 1 then 1, otherwise if y < -1 then -1. The comparisons
// are strict: a value landing exactly on ±1 passes unchanged (and so does a
// NaN). Written as selects, so that two lanes take it without a branch.
template <class Value>
Value clip(Value y, Value one) {
  y = SELECT_LANES(y > one, one, y);
  return SELECT_LANES(y < -one, -one, y);
}

}  // namespace

void apply_distortion(const wave_data* in, wave_data* out, distortion_settings settings) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  const double gain = settings.gain;
  const double level = settings.level;
  const double* x = in->samples.get();
  double* y = out->samples.get();
  const lanes2 gains = {gain, gain};
  const lanes2 levels = {level, level};
  const lanes2 ones = {1.0, 1.0};
  // Two cores share it: the arithmetic is light, but the kernel's mapping
  // of each fresh output page is not.
  split_work(count, [&](std::int64_t begin, std::int64_t end) {
    prepare_samples(y + begin, end - begin);
    std::int64_t n = begin;
    for (; n + 2 <= end; n += 2) {
      lanes2 v;
      LOAD_LANES(v, x + n);
      const lanes2 result = levels * clip(gains * v, ones);
      STORE_LANES(y + n, result);
    }
    for (; n < end; ++n) {
      y[n] = level * clip(gain * x[n], 1.0);
    }
  });
}
