#pragma once

// A WAV file open for reading its samples a stretch at a time, for a run
// that never holds the whole sound. read_wave reads through it too.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/files.hpp"

struct wave_source {
  platform::file file;
  std::string name;  // for messages
  std::int32_t sample_rate = 0;
  std::int32_t bits_per_sample = 0;
  std::int32_t sample_count = 0;
  std::uint64_t data_offset = 0;                 // of the first sample
  std::endian byte_order = std::endian::little;  // of the samples: big in a RIFX file

  wave_source() = default;
  wave_source(const wave_source&) = delete;
  wave_source& operator=(const wave_source&) = delete;
  ~wave_source() { platform::close_file(file); }
};

// Opens the 16-bit mono PCM WAV file at `path` (RIFF, RIFX, RF64 or BW64)
// and reads and checks its header. Throws io_error with the reason when the file cannot be read or
// holds anything else. A defect it tolerates (a data size past the end of
// the file) is told on one line of `warnings`.
void open_wave(wave_source* source, const char* path, std::FILE* warnings);

// Samples [first, first + count) as doubles s / 32768; gives the largest
// magnitude among them (0 for none). Throws io_error when they cannot be
// read, or when the file has shrunk since it was opened. Safe to call from
// several threads at once.
double read_wave_samples(const wave_source& source, std::int64_t first, std::int64_t count,
                         double* samples);
