#pragma once

// Sound records built in a test: silence, a copy of another's shape, and
// random held 16-bit values; and a dump emptied as the run empties one.

#include <random>
#include <string>

#include "core/output_file.hpp"
#include "wav/wave_data.hpp"

inline wave_data record(std::int32_t rate, std::int32_t count) {
  wave_data wave;
  wave.sample_rate = rate;
  wave.bits_per_sample = 16;
  wave.sample_count = count;
  wave.samples = allocate_samples(count);
  return wave;
}

inline wave_data same_shape(const wave_data& in) { return record(in.sample_rate, in.sample_count); }

inline wave_data random_record(std::int32_t rate, std::int32_t count, unsigned seed) {
  wave_data wave = record(rate, count);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> s16(-32768, 32767);
  for (std::int32_t n = 0; n < count; ++n) {
    wave.samples[n] = s16(random) / 32768.0;
  }
  return wave;
}

// A dump opened as the run opens one it empties in place.
inline output_file emptied(const std::string& path) {
  output_file file = open_output(path.c_str());
  empty_output(file);
  return file;
}
