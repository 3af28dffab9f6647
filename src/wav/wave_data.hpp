#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

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

// Tells the system that samples[0, count) are about to be written, so that
// it may map their fresh pages in one go rather than a fault at a time. The
// values are not changed.
void prepare_samples(double* samples, std::int64_t count);

// Fills `wave` from the 16-bit mono PCM WAV file at `path`. Throws io_error
// with the reason when the file cannot be read or holds anything else. A
// defect it tolerates (a data size past the end of the file) is told on one
// line of `warnings`.
void read_wave(wave_data* wave, const char* path, std::FILE* warnings);

// The same for the bytes of a whole file, already in memory; `name` is what
// the messages call it.
void read_wave_bytes(std::span<const std::uint8_t> file, wave_data* wave, const char* name,
                     std::FILE* warnings);

// Stores `wave` as a 16-bit mono PCM WAV file at `path`. The file is written
// beside it under a temporary name and renamed into place once complete, so
// a failure leaves an earlier file as it was. Throws io_error on failure.
void write_wave(const wave_data* wave, const char* path);

// write_wave's first step, for a caller with other work to finish before the
// file may take its place: writes the whole file under its temporary name
// and closes it. commit_replacement then renames it into place.
struct replacement_file;
void write_wave_contents(const wave_data* wave, replacement_file& pending);
