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
// Each effect also works a stretch at a time, for a run that never holds
// the whole sound: output samples [begin, end) from a window of the input
// that covers what they read (input_reach). The whole-record functions are
// that same code over a window of the whole record.

#include <algorithm>
#include <cstdint>

#include "wav/wave_data.hpp"

// Input samples [first, first + size) of a record of `count` samples at
// `sample_rate`, held from `samples` on. Indexed by the sample's number in
// the whole record.
struct sample_window {
  const double* samples = nullptr;
  std::int64_t first = 0;
  std::int64_t size = 0;
  std::int32_t count = 0;
  std::int32_t sample_rate = 0;

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

// Hard clipping: out = level × clip(gain × in, -1, 1), in double precision.
// The clip comes before the level, so a level above 1 can exceed full scale.
struct distortion_settings {
  float gain;
  float level;
};
void apply_distortion(const wave_data* in, wave_data* out, distortion_settings settings);
// Outputs [begin, end) into out[0, end − begin). Reads only in[begin, end).
void apply_distortion_stretch(const sample_window& in, double* out, std::int64_t begin,
                              std::int64_t end, distortion_settings settings);

// The direct sound plus 100 echoes, echo i delayed by i × 50 ms and scaled by
// 0.5^i, summed straight from the input (no feedback).
void apply_reverb(const wave_data* in, wave_data* out);
void apply_reverb_stretch(const sample_window& in, double* out, std::int64_t begin,
                          std::int64_t end);
// Five seconds of history, and a little beyond each side for the rounding
// of the index.
input_reach reverb_reach(std::int32_t sample_rate);

// The input read through a delay swinging sinusoidally at 5 Hz between 0 and
// 4 ms, with linear interpolation between neighbouring samples.
void apply_vibrato(const wave_data* in, wave_data* out);
void apply_vibrato_stretch(const sample_window& in, double* out, std::int64_t begin,
                           std::int64_t end);
// 4 ms of history, and a little beyond each side for the roundings.
input_reach vibrato_reach(std::int32_t sample_rate);
