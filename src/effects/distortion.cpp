#include <algorithm>

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

void apply_distortion_stretch(const sample_window& in, double* out, std::int64_t begin,
                              std::int64_t end, distortion_settings settings) {
  const double gain = settings.gain;
  const double level = settings.level;
  const double* x = in.at(begin);
  const std::int64_t length = end - begin;
  const lanes2 gains = {gain, gain};
  const lanes2 levels = {level, level};
  const lanes2 ones = {1.0, 1.0};
  std::int64_t k = 0;
  for (; k + 2 <= length; k += 2) {
    lanes2 v;
    LOAD_LANES(v, x + k);
    const lanes2 result = levels * clip(gains * v, ones);
    STORE_LANES(out + k, result);
  }
  for (; k < length; ++k) {
    out[k] = level * clip(gain * x[k], 1.0);
  }
}

namespace {

constexpr effect_setting distortion_asks[] = {{"gain:", "gain"}, {"level:", "level"}};

void apply_distortion_setting(const sample_window& in, double* out, std::int64_t begin,
                              std::int64_t end, const effect_settings& settings) {
  apply_distortion_stretch(in, out, begin, end, {settings[0], settings[1]});
}

}  // namespace

const effect_description distortion_effect = {
    distortion_asks, [](std::int32_t) { return input_reach{}; }, apply_distortion_setting};

void apply_distortion(const wave_data* in, wave_data* out, distortion_settings settings) {
  apply_to_whole_record(distortion_effect, {settings.gain, settings.level}, in, out);
}
