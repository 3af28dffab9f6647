#pragma once

// The run's effect, dumps and sound, a stretch at a time: memory stays
// bounded whatever the length of the recording.

#include <cstdint>
#include <functional>

#include "driver/dump_csv.hpp"
#include "effects/effects.hpp"
#include "wav/replace_file.hpp"
#include "wav/wave_source.hpp"

// An effect as the run applies it: what it reads around a stretch of
// outputs, and how it computes them (apply_*_stretch). Without `apply` the
// output is silent.
struct stretch_effect {
  input_reach reach;
  std::function<void(const sample_window& in, double* out, std::int64_t begin, std::int64_t end)>
      apply;
};

// Reads `input` a stretch at a time, applies `effect`, and writes the input
// samples to `before`, the output samples to `after` (as dump_csv does) and
// the output sound under `sound`'s temporary name (as write_wave does),
// then closes all three, checking that every byte reached its file. Throws
// io_error with the first failure.
void stream_effect(const wave_source& input, const stretch_effect& effect, text_file& before,
                   text_file& after, replacement_file& sound);
