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

#include "effects/vibrato.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "effects/quick_sine.hpp"
#include "platform/compiler.hpp"

namespace {

// 2π × 5 Hz.
constexpr double modulation = 31.41592653589793;

// What every sample needs: the rate and both delays, and the input (a
// window of the record, which has `count` samples).
struct vibrato_setting {
  sample_window in;
  std::int32_t count;
  double rate;
  float d;      // mean delay in samples
  float depth;  // its swing, the same value
};

// Output sample n from its 32-bit delay tau: the read position t = n − tau,
// interpolated between in[m] and in[m + 1], m = trunc(t); or 0 where there
// is nothing to read.
inline double interpolated(const vibrato_setting& v, std::int32_t n, float tau) {
  const float nf = static_cast<float>(n);
  const float t = nf - tau;
  // m = trunc(t) is at least 0 exactly when t > −1; bounding t before the
  // conversion keeps it in the int range whatever the header said.
  if (!(t > -1.0f && t < static_cast<double>(v.count) - 1.0)) {
    return 0.0;
  }
  const auto m = static_cast<std::int32_t>(t);
  if (m + 1 >= v.count) {
    return 0.0;  // no in[m + 1] to interpolate towards
  }
  const float frac = t - static_cast<float>(m);
  return (1.0 - frac) * v.in[m] + frac * v.in[m + 1];
}

// Whether every double within `margin` of `q` rounds to the same 32-bit
// float `rounded` as q does: q must keep clear of the half-way points to the
// floats on either side (the one toward zero is nearer for a power of two).
WAVE_EFFECT_ALWAYS_INLINE bool rounds_surely(double q, float rounded, double margin) {
  const auto bits = std::bit_cast<std::uint32_t>(rounded);
  const std::uint32_t exponent = bits >> 23 & 0xFF;
  if (exponent <= 1 || exponent == 0xFF) {
    return false;  // near zero, or not finite: no promise
  }
  const double spacing = std::bit_cast<double>(std::uint64_t{exponent - 150 + 1023} << 52);
  const double toward_zero = (bits & 0x7FFFFF) == 0 ? spacing / 2 : spacing;
  const double away = rounded < 0 ? -(q - rounded) : q - rounded;  // exact: q is that close
  return away + margin < spacing / 2 && away - margin > -toward_zero / 2;
}

// tau = sin(phase) × depth + d, rounded to a 32-bit float, with the library's
// sin as the formula has it. The quick sine keeps to the bound stated in
// quick_sine.hpp, and the library's sin is within an ulp of the true sine:
// the two products and sums differ by less than depth × 2^-40 + |q| × 2^-50
// (the margin leaves room to spare). Where every value that close
// rounds to one float, that float is tau whichever sine was used; otherwise
// (a few samples in a thousand) sin decides.
WAVE_EFFECT_ALWAYS_INLINE float swung_delay(const vibrato_setting& v, double phase, double quick) {
  if (phase < quick_sine_limit) {
    const double q = quick * v.depth + v.d;
    const float rounded = static_cast<float>(q);
    if (rounds_surely(q, rounded, v.depth * 0x1p-40 + std::fabs(q) * 0x1p-50)) {
      return rounded;
    }
  }
  return static_cast<float>(std::sin(phase) * v.depth + v.d);
}

// Samples [begin, end) into out[0, end − begin), a block at a time: the phases and quick sines four
// lanes at a time, then each sample's delay and interpolation.
WAVE_EFFECT_CLONES
void vibrato_range(const vibrato_setting& v, double* out, std::int64_t begin, std::int64_t end) {
  constexpr int block = 256;
  alignas(32) double phase[block];
  alignas(32) double quick[block];
  for (std::int64_t start = begin; start < end; start += block) {
    const auto length = static_cast<int>(std::min<std::int64_t>(block, end - start));
    // n × 10π / rate, both in double precision as the formula has it, four
    // lanes at a time (the division is the costly step); the lanes past the
    // end get a harmless phase of 0.
    const lanes4 modulations = {modulation, modulation, modulation, modulation};
    const lanes4 rates = {v.rate, v.rate, v.rate, v.rate};
    for (int j = 0; j < block; j += 4) {
      lanes4 n;
      for (int lane = 0; lane < 4; ++lane) {
        n[lane] = j + lane < length ? static_cast<double>(start + j + lane) : 0.0;
      }
      const lanes4 phases = (n * modulations) / rates;
      STORE_LANES(phase + j, phases);
    }
    for (int j = 0; j < block; j += 4) {
      quick_sine4(phase + j, quick + j);
    }
    for (int j = 0; j < length; ++j) {
      const auto n = static_cast<std::int32_t>(start + j);
      out[n - begin] = interpolated(v, n, swung_delay(v, phase[j], quick[j]));
    }
  }
}

// The setting for `in`, or false where the rate gives no delay to swing
// (the output is silent).
bool vibrato_setting_for(const sample_window& in, vibrato_setting* v) {
  if (in.count <= 0 || in.sample_rate <= 0) {
    return false;
  }
  const float d = static_cast<float>(in.sample_rate * 0.002);
  *v = {in, in.count, static_cast<double>(in.sample_rate), d, d};
  return true;
}

}  // namespace

input_reach vibrato_reach(std::int32_t sample_rate) {
  if (sample_rate <= 0) {
    return {};
  }
  // The delay is at most 2d; past 2^24 the index and the read position
  // each round by up to 64 samples, and the position reaches one sample on.
  const double d = static_cast<float>(sample_rate * 0.002);
  return {static_cast<std::int64_t>(std::ceil(2 * d)) + 256, 256};
}

double vibrato_sample(const sample_window& in, std::int32_t n) {
  vibrato_setting v{};
  if (!vibrato_setting_for(in, &v)) {
    return 0.0;
  }
  const double phase = (n * modulation) / v.rate;
  return interpolated(v, n, static_cast<float>(std::sin(phase) * v.depth + v.d));
}

void apply_vibrato_stretch(const sample_window& in, double* out, std::int64_t begin,
                           std::int64_t end) {
  vibrato_setting v{};
  if (vibrato_setting_for(in, &v)) {
    vibrato_range(v, out, begin, end);
  } else {
    std::fill(out, out + std::max<std::int64_t>(0, end - begin), 0.0);
  }
}

const effect_description vibrato_effect = {
    {},
    vibrato_reach,
    [](const sample_window& in, double* out, std::int64_t begin, std::int64_t end,
       const effect_settings&) { apply_vibrato_stretch(in, out, begin, end); }};

void apply_vibrato(const wave_data* in, wave_data* out) {
  apply_to_whole_record(vibrato_effect, {}, in, out);
}
