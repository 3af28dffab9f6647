#pragma once

// The three sound effects. Each reads the input record and fills the output
// record's samples; both hold the same number of samples (an effect never
// goes past the shorter of the two). Samples an effect does not write keep
// the zeros they were allocated with.
//
// Every value the effects compute is fixed to the bit: the 32-bit float
// roundings sit exactly where the comments put them, and every conversion to
// an integer truncates toward zero.

#include "wav/wave_data.hpp"

// Hard clipping: out = level × clip(gain × in, -1, 1), in double precision.
// The clip comes before the level, so a level above 1 can exceed full scale.
struct distortion_settings {
  float gain;
  float level;
};
void apply_distortion(const wave_data* in, wave_data* out, distortion_settings settings);

// The direct sound plus 100 echoes, echo i delayed by i × 50 ms and scaled by
// 0.5^i, summed straight from the input (no feedback).
void apply_reverb(const wave_data* in, wave_data* out);

// The input read through a delay swinging sinusoidally at 5 Hz between 0 and
// 4 ms, with linear interpolation between neighbouring samples.
void apply_vibrato(const wave_data* in, wave_data* out);
