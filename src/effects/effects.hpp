#pragma once

// The three sound effects. Each reads the input record and fills the output
// record's samples; both hold the same number of samples (an effect never
// goes past the shorter of the two). Samples an effect does not write keep
// the zeros they were allocated with.
//
// Every value the effects compute is fixed to the bit: the 32-bit float
// roundings sit exactly where the comments put them, and every conversion to
// an integer truncates toward zero.
//
// An effect works a stretch at a time, for a run that never holds the whole
// sound: output samples [begin, end) from a window of the input that holds
// what they read (its reach). It is described to the run by an
// effect_description; the whole-record functions are a loop over the same
// stretch function.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "core/wave_record.hpp"

// Input samples [first, first + size) of a record of `count` samples at
// `sample_rate`, held from `samples` on. Indexed by the sample's number in
// the whole record.
struct sample_window {
  const double* samples = nullptr;
  std::int64_t first = 0;
  std::int64_t size = 0;
  std::int32_t count = 0;
  std::int32_t sample_rate = 0;
  // Whether every sample is known to be k/32768 for a 16-bit k (never a
  // negative zero), as the samples of a 16-bit file are: the reverb then
  // sums its first echoes exactly without looking.
  bool held_16_bit = false;
  // Where held_16_bit, no sample's magnitude is above this (none above 1
  // ever is): the quieter the sound, the fewer of its echoes the reverb
  // needs to add before no later one can move a sum.
  double held_peak = 1.0;

  double operator[](std::int64_t n) const { return samples[n - first]; }
  const double* at(std::int64_t n) const { return samples + (n - first); }
};

// The first `count` samples of `wave` (count ≤ its sample_count).
inline sample_window whole_window(const wave_data& wave, std::int32_t count) {
  return {wave.samples.get(), 0, count, count, wave.sample_rate};
}

// How far around its outputs [begin, end) an effect reads the input: the
// window must hold [begin − before, end + after), as far as the record goes.
struct input_reach {
  std::int64_t before = 0;
  std::int64_t after = 0;

  std::int64_t window_first(std::int64_t begin) const {
    return std::max<std::int64_t>(0, begin - before);
  }
  std::int64_t window_end(std::int64_t end, std::int32_t count) const {
    return std::min<std::int64_t>(count, end + after);
  }
};

// A setting an effect asks for before it runs: its prompt, and what the
// reply is called when it is missing ("ended before the gain was read").
struct effect_setting {
  const char* prompt;
  const char* name;
};
inline constexpr std::size_t most_effect_settings = 2;
// The replies, in the order asked.
using effect_settings = std::array<float, most_effect_settings>;

// An effect as a run applies it: the settings it asks for, how far it reads
// around its outputs at a rate, and its stretch function, which computes
// outputs [begin, end) into out[0, end − begin) from a window holding what
// they read. An effect that asks nothing takes its settings all the same,
// and ignores them.
struct effect_description {
  std::span<const effect_setting> settings;
  input_reach (*reach)(std::int32_t sample_rate);
  void (*apply_stretch)(const sample_window& in, double* out, std::int64_t begin, std::int64_t end,
                        const effect_settings& settings);
};

// Hard clipping: out = level × clip(gain × in, -1, 1), in double precision.
// The clip comes before the level, so a level above 1 can exceed full scale.
// Asks "gain:" and "level:".
extern const effect_description distortion_effect;
struct distortion_settings {
  float gain;
  float level;
};
void apply_distortion(const wave_data* in, wave_data* out, distortion_settings settings);
void apply_distortion_stretch(const sample_window& in, double* out, std::int64_t begin,
                              std::int64_t end, distortion_settings settings);

// The direct sound plus 100 echoes, echo i delayed by i × 50 ms and scaled by
// 0.5^i, summed straight from the input (no feedback). Reads five seconds
// back, and a little beyond each side for the rounding of the index.
extern const effect_description reverb_effect;
void apply_reverb(const wave_data* in, wave_data* out);
void apply_reverb_stretch(const sample_window& in, double* out, std::int64_t begin,
                          std::int64_t end, const effect_settings& none = {});
input_reach reverb_reach(std::int32_t sample_rate);

// The input read through a delay swinging sinusoidally at 5 Hz between 0 and
// 4 ms, with linear interpolation between neighbouring samples. Reads 4 ms
// back, and a little beyond each side for the roundings.
extern const effect_description vibrato_effect;
void apply_vibrato(const wave_data* in, wave_data* out);
void apply_vibrato_stretch(const sample_window& in, double* out, std::int64_t begin,
                           std::int64_t end, const effect_settings& none = {});
input_reach vibrato_reach(std::int32_t sample_rate);

// `effect` over the whole of `in` into `out`: one stretch, the whole record.
void apply_to_whole_record(const effect_description& effect, const effect_settings& settings,
                           const wave_data* in, wave_data* out);
