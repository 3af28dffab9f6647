#pragma once

// One sound in memory, the record the effects read and fill.

#include <cstdint>
#include <cstdlib>
#include <memory>

// The sample array of a sound: doubles, allocated zero-filled with calloc (so
// that an untouched output costs no page faults) and released with free.
struct free_deleter {
  void operator()(double* samples) const { std::free(samples); }
};
using sample_array = std::unique_ptr<double[], free_deleter>;

// A stored 16-bit sample s is held as s / 32768, so the nominal full scale is
// [-1, 1]; effects may leave values outside it and only the writer clamps.
struct wave_data {
  std::int32_t sample_rate = 0;      // Hz
  std::int32_t bits_per_sample = 0;  // carried from the input header to the output header
  std::int32_t sample_count = 0;
  sample_array samples;  // sample_count doubles
};

// A zero-filled array of `count` samples; throws std::bad_alloc when the
// memory is not there.
sample_array allocate_samples(std::int32_t count);
