#pragma once

// Where a WAV file keeps its samples, as the walk through its chunks finds
// it, and how its stored samples become doubles: the pieces of the reader
// (wave_source.hpp) that a reader of bytes in memory shares.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>

struct wave_layout {
  std::int32_t sample_rate;
  std::int32_t bits_per_sample;
  std::uint64_t data_offset;    // of the first sample
  std::uint64_t declared_size;  // what the "data" chunk says it holds
  std::uint64_t data_size;      // what the file does hold of it
  std::endian byte_order;       // of the samples: big in a RIFX file

  // An odd trailing byte is not a sample. The walk refuses a file with
  // more samples than an int32_t counts.
  std::int32_t sample_count() const { return static_cast<std::int32_t>(data_size / 2); }
};

// Fills `bytes` with the file's bytes from `offset` on. The walk asks only
// for bytes that the file holds, a few dozen at a time.
using read_bytes_at = std::function<void(std::uint64_t offset, std::span<std::uint8_t> bytes)>;

// Walks the chunks of a file of `file_size` bytes named `name`, read
// through `read`: the layout of its 16-bit mono PCM samples. The samples
// themselves are never read. Throws io_error with the reason when the file
// holds anything else.
wave_layout find_wave_layout(const read_bytes_at& read, std::uint64_t file_size, const char* name);

// Turns `length` stored samples (16-bit, in `byte_order`) into doubles, and
// gives the largest magnitude among them (0 for none).
double convert_samples(const std::uint8_t* bytes, double* samples, std::int32_t length,
                       std::endian byte_order);

// A defect the reader tolerates, told on one line of `warnings`: a "data"
// chunk that declares more than the file holds.
void warn_of_clamped_size(const wave_layout& layout, const char* name, std::FILE* warnings);
