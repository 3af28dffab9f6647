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
#include <cstring>

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

// How far the quick sine of a phase may lie from its true sine, with room
// to spare: quick_sine.hpp keeps to 2^-45.
constexpr double quick_sine_error = 0x1p-40;

// The formula's phase of sample n: n × 10π / rate in double precision.
inline double phase_of(const vibrato_setting& v, double n) { return (n * modulation) / v.rate; }

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

// tau = sin(phase) × depth + d, rounded to a 32-bit float, with the library's
// sin and the phase as the formula has them, for four samples whose sines,
// within `sine_error` of the true sines of the formula's phases, are in
// `sine`. The library's sin is within an ulp of the true sine, so the
// formula's q lies within depth × (sine_error + 2^-52) + |q| × 2^-52 of the
// one from `sine`. Rounding to a float never reverses an order: where both
// ends of a margin wider than that (and than the rounding of the ends
// themselves) round to one float, so does the formula's q, and that float
// is tau. Gives whether that holds in every lane; `upper` differs from tau
// in the lanes where it does not.
WAVE_EFFECT_ALWAYS_INLINE bool sure_delays4(const vibrato_setting& v, const lanes4& sine,
                                            double sine_error, float_lanes4& tau,
                                            float_lanes4& upper) {
  const lanes4 q = sine * static_cast<double>(v.depth) + static_cast<double>(v.d);
  mask4 q_bits;
  std::memcpy(&q_bits, &q, sizeof q_bits);
  q_bits = q_bits & std::int64_t{0x7FFFFFFFFFFFFFFF};  // fabs
  lanes4 magnitude;
  std::memcpy(&magnitude, &q_bits, sizeof magnitude);
  const double swing_margin = static_cast<double>(v.depth) * (sine_error + 0x1p-50);
  const lanes4 margin = swing_margin + magnitude * 0x1p-50;
  tau = CONVERT_LANES(q - margin, float_lanes4);
  upper = CONVERT_LANES(q + margin, float_lanes4);
  // The same bits (a zero of either sign on the two sides counts as unsure),
  // tested in two words: a comparison of memory would store both first.
  int_lanes4 lower_bits;
  int_lanes4 upper_bits;
  std::memcpy(&lower_bits, &tau, sizeof lower_bits);
  std::memcpy(&upper_bits, &upper, sizeof upper_bits);
  const int_lanes4 differing = lower_bits ^ upper_bits;
  std::uint64_t words[2];
  std::memcpy(words, &differing, sizeof words);
  return (words[0] | words[1]) == 0;
}

// The delays of four samples from `first` on, from their sines in `sine_at`
// (see sure_delays4). Where a lane is unsure, mostly where q nears 0 and
// floats lie closer together than the margin is wide (about one sample in a
// hundred at ten minutes, more as the phases grow), the four are taken
// again from the quick sines of the formula's own phases, whose margin is
// narrower; where even that cannot tell (a few samples in a thousand), sin
// decides.
WAVE_EFFECT_ALWAYS_INLINE void swung_delays4(const vibrato_setting& v, double first,
                                             const double* sine_at, double sine_error,
                                             float_lanes4& tau) {
  lanes4 sine;
  LOAD_LANES(sine, sine_at);
  float_lanes4 upper;
  if (sure_delays4(v, sine, sine_error, tau, upper)) {
    return;
  }
  const lanes4 phases = (lanes4{first, first + 1, first + 2, first + 3} * modulation) / v.rate;
  lanes4 cosine;
  quick_sine_cosine4(phases, sine, cosine);
  if (sure_delays4(v, sine, quick_sine_error, tau, upper)) {
    return;
  }
  for (int lane = 0; lane < 4; ++lane) {
    if (std::bit_cast<std::uint32_t>(tau[lane]) != std::bit_cast<std::uint32_t>(upper[lane])) {
      tau[lane] = static_cast<float>(std::sin(phase_of(v, first + lane)) * v.depth + v.d);
    }
  }
}

// What interpolated4 needs besides the delays: the last read position with
// a sample after it, and the pair to read where there is nothing to read.
struct interpolation_bounds {
  double last_pair;  // count − 1
  lanes4 spares;
  const double* window;     // the window's samples, the first of them
  int_lanes4 window_first;  // its index, in every lane
};

// Outputs index[0..3] from their delays, as interpolated has them: t and
// the fraction in floats, the bounds and the sum in double. A lane with
// nothing to read gives 0, after reading the pair at the spare instead.
WAVE_EFFECT_ALWAYS_INLINE void interpolated4(const lanes4& index, const float_lanes4& tau,
                                             const interpolation_bounds& bounds, double* out) {
  const float_lanes4 t = CONVERT_LANES(index, float_lanes4) - tau;
  const lanes4 wide_t = WIDEN_LANES(t);
  mask4 inside = (wide_t > -1.0) & (wide_t < bounds.last_pair);
  const int_lanes4 m = CONVERT_LANES(SELECT_LANES(inside, wide_t, bounds.spares), int_lanes4);
  inside = inside & (WIDEN_LANES(m) < bounds.last_pair);  // m + 1 < count
  const float_lanes4 frac = t - CONVERT_LANES(m, float_lanes4);
  const lanes4 wide_frac = WIDEN_LANES(frac);
  // Every lane reads inside the window: from its first sample on.
  const int_lanes4 place = m - bounds.window_first;
  const double* pair[4] = {bounds.window + static_cast<std::uint32_t>(place[0]),
                           bounds.window + static_cast<std::uint32_t>(place[1]),
                           bounds.window + static_cast<std::uint32_t>(place[2]),
                           bounds.window + static_cast<std::uint32_t>(place[3])};
  const lanes4 low = {pair[0][0], pair[1][0], pair[2][0], pair[3][0]};
  const lanes4 high = {pair[0][1], pair[1][1], pair[2][1], pair[3][1]};
  const lanes4 sum = (1.0 - wide_frac) * low + wide_frac * high;
  const lanes4 result = SELECT_LANES(inside, sum, lanes4{});
  STORE_LANES(out, result);
}

constexpr int block = 256;

// The sines of a block come from four chains of four lanes, each chain
// turned by the phase of chain_step samples at a time: a rotation, four
// multiplications and two additions, where a sine takes some twenty
// operations and the phase a division.
constexpr int chain_count = 4;
constexpr int chain_step = 4 * chain_count;
constexpr int turns_per_block = block / chain_step;

// The turn: chain_step × 10π / rate rounded to a double, and its cosine and
// sine.
struct sine_turn {
  double angle;
  double cosine;
  double sine;
};

sine_turn turn_of(const vibrato_setting& v) {
  const double angle = (chain_step * modulation) / v.rate;  // chain_step × 10π is exact
  return {angle, std::cos(angle), std::sin(angle)};
}

// How far a block's sines can lie from the true sines of the formula's
// phases, the last of which is `last_phase`. The chains start from the
// quick sines and cosines of the first phases, within 2^-45, and each turn
// adds up to four roundings below 1 and the errors of the turn's cosine and
// sine (an ulp each), less than 2^-50 (2^-46 over a block's 16 turns):
// quick_sine_error holds both many times over. The angle a chain has
// reached differs from the formula's phase by the roundings of the two
// phases (2^-52 of each, relatively) and by the rounding of the turn (2^-53
// of it) once for each turn.
double block_sine_error(const sine_turn& turn, double last_phase) {
  return quick_sine_error + last_phase * 0x1p-51 + turns_per_block * turn.angle * 0x1p-53;
}

// The delays of samples [start, start + length), length ≤ block, into
// tau[0, length) and up to the next multiple of four: the sines, then the
// delays, four lanes at a time.
WAVE_EFFECT_ALWAYS_INLINE void block_delays(const vibrato_setting& v, const sine_turn& turn,
                                            std::int64_t start, int length, float* tau) {
  const auto first = static_cast<double>(start);
  const int lanes = (length + 3) / 4 * 4;
  const double last_phase = phase_of(v, first + (lanes - 1));
  if (!(last_phase < quick_sine_limit)) {
    // Past the quick sine's range (the phases only grow): sin throughout.
    for (int j = 0; j < lanes; ++j) {
      tau[j] = static_cast<float>(std::sin(phase_of(v, first + j)) * v.depth + v.d);
    }
    return;
  }
  alignas(32) double sines[block];
  lanes4 sine[chain_count];
  lanes4 cosine[chain_count];
  const lanes4 modulations = {modulation, modulation, modulation, modulation};
  const lanes4 rates = {v.rate, v.rate, v.rate, v.rate};
  for (int c = 0; c < chain_count; ++c) {
    const double n = first + 4 * c;
    const lanes4 phases = (lanes4{n, n + 1, n + 2, n + 3} * modulations) / rates;
    quick_sine_cosine4(phases, sine[c], cosine[c]);
  }
  const double turn_cosine = turn.cosine;
  const double turn_sine = turn.sine;
  for (int j = 0; j < lanes; j += chain_step) {
    WAVE_EFFECT_UNROLL
    for (int c = 0; c < chain_count; ++c) {
      STORE_LANES(sines + j + 4 * c, sine[c]);
      const lanes4 turned_sine = sine[c] * turn_cosine + cosine[c] * turn_sine;
      cosine[c] = cosine[c] * turn_cosine - sine[c] * turn_sine;
      sine[c] = turned_sine;
    }
  }
  const double sine_error = block_sine_error(turn, last_phase);
  for (int j = 0; j < lanes; j += 4) {
    float_lanes4 delays;
    swung_delays4(v, first + j, sines + j, sine_error, delays);
    std::memcpy(tau + j, &delays, sizeof delays);
  }
}

// The delays of samples [begin, end) into tau[0, end − begin), a block at a
// time.
WAVE_EFFECT_TWO_BUILDS(void, delays_range,
                       (const vibrato_setting& v, const sine_turn& turn, float* tau,
                        std::int64_t begin, std::int64_t end),
                       (v, turn, tau, begin, end)) {
  alignas(16) float lanes[block];
  for (std::int64_t start = begin; start < end; start += block) {
    const auto length = static_cast<int>(std::min<std::int64_t>(block, end - start));
    block_delays(v, turn, start, length, lanes);
    std::memcpy(tau + (start - begin), lanes, sizeof(float) * static_cast<std::size_t>(length));
  }
}

// Samples [begin, end) into out[0, end − begin), a block at a time: the
// delays, then the interpolation four lanes at a time and the last few
// samples one by one.
WAVE_EFFECT_TWO_BUILDS(void, vibrato_range,
                       (const vibrato_setting& v, double* out, std::int64_t begin,
                        std::int64_t end),
                       (v, out, begin, end)) {
  alignas(16) float tau[block];
  const std::int32_t count = v.count;
  const double last_pair = static_cast<double>(count) - 1.0;
  const sine_turn turn = turn_of(v);
  for (std::int64_t start = begin; start < end; start += block) {
    const auto length = static_cast<int>(std::min<std::int64_t>(block, end - start));
    delays_range(v, turn, tau, start, start + length);
    // The spare is min(start, count − 2) (count ≥ 2): the window for the
    // outputs from start on holds it and the sample after it.
    const auto first = static_cast<double>(start);
    const double spare = std::min(first, last_pair - 1.0);
    const auto first_in = static_cast<std::int32_t>(v.in.first);
    const interpolation_bounds bounds = {last_pair,
                                         {spare, spare, spare, spare},
                                         v.in.samples,
                                         {first_in, first_in, first_in, first_in}};
    lanes4 index = {first, first + 1, first + 2, first + 3};
    int j = 0;
    for (; j + 4 <= length && count >= 2; j += 4, index = index + 4.0) {
      float_lanes4 lanes;
      std::memcpy(&lanes, tau + j, sizeof lanes);
      interpolated4(index, lanes, bounds, out + (start + j - begin));
    }
    for (; j < length; ++j) {
      const auto n = static_cast<std::int32_t>(start + j);
      out[n - begin] = interpolated(v, n, tau[j]);
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
  return interpolated(v, n, static_cast<float>(std::sin(phase_of(v, n)) * v.depth + v.d));
}

void vibrato_delays(std::int32_t sample_rate, std::int64_t begin, std::int64_t end, float* tau) {
  vibrato_setting v{};
  const sample_window nothing{nullptr, 0, 0, 1, sample_rate};
  if (vibrato_setting_for(nothing, &v)) {
    delays_range(v, turn_of(v), tau, begin, end);
  }
}

void apply_vibrato_stretch(const sample_window& in, double* out, std::int64_t begin,
                           std::int64_t end, const effect_settings&) {
  vibrato_setting v{};
  if (vibrato_setting_for(in, &v)) {
    vibrato_range(v, out, begin, end);
  } else {
    std::fill(out, out + std::max<std::int64_t>(0, end - begin), 0.0);
  }
}

const effect_description vibrato_effect = {{}, vibrato_reach, apply_vibrato_stretch};

void apply_vibrato(const wave_data* in, wave_data* out) {
  apply_to_whole_record(vibrato_effect, {}, in, out);
}
