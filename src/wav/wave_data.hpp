#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

// The sample array of a sound: doubles, allocated zero-filled with calloc (so
// that an untouched output costs no page faults) and released with free.
struct free_deleter {
  void operator()(double* samples) const { std::free(samples); }
};
using sample_array = std::unique_ptr<double[], free_deleter>;

// One sound in memory. A stored 16-bit sample s is held as s / 32768, so the
// nominal full scale is [-1, 1]; effects may leave values outside it and only
// the writer clamps.
struct wave_data {
  std::int32_t sample_rate = 0;      // Hz
  std::int32_t bits_per_sample = 0;  // carried from the input header to the output header
  std::int32_t sample_count = 0;
  sample_array samples;  // sample_count doubles
};

// A zero-filled array of `count` samples; throws std::bad_alloc when the
// memory is not there.
sample_array allocate_samples(std::int32_t count);

// Tells the kernel that samples[0, count) are about to be written: it maps
// their fresh pages in one call, which costs a fifth less than taking a page
// fault for each. The values are not changed.
void prepare_samples(double* samples, std::int64_t count);

// The input file the program reads and the sound file it writes.
inline constexpr const char* input_wave_name = "tec.wav";
inline constexpr const char* output_wave_name = "ex8_2.wav";

// Fills `wave` from the 16-bit mono PCM WAV file at `path`. Throws io_error
// with the reason when the file cannot be read or holds anything else. A
// defect it tolerates (a data size past the end of the file) is told on one
// line of `warnings`.
void read_wave(wave_data* wave, const char* path = input_wave_name, std::FILE* warnings = stderr);

// Stores `wave` as a 16-bit mono PCM WAV file at `path`. The file is written
// beside it under a temporary name and renamed into place once complete, so
// a failure leaves an earlier file as it was. Throws io_error on failure.
void write_wave(const wave_data* wave, const char* path = output_wave_name);

// write_wave's first step, for a caller with other work to finish before the
// file may take its place: writes the whole file under its temporary name
// and closes it. commit_replacement then renames it into place.
struct replacement_file;
void write_wave_contents(const wave_data* wave, replacement_file& pending);
