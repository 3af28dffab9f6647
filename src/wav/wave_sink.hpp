#pragma once

// A WAV file written a stretch at a time, in any order and from several
// threads at once: its header, and samples at their own offset. write_wave
// writes through it too.

#include <cstdint>

#include "core/output_file.hpp"

// The canonical header of a sound of `sample_count` samples (wave_header).
void write_wave_header(output_file& sound, std::int32_t sample_rate, std::int32_t bits_per_sample,
                       std::int32_t sample_count);

// Samples [first, first + count) of the sound, stored through `bytes`
// (room for 2 × count).
void write_wave_samples(output_file& sound, const double* samples, std::int64_t first,
                        std::int32_t count, std::uint8_t* bytes);
