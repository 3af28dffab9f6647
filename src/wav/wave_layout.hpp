#pragma once

// Where a WAV file keeps its samples, as the walk through its chunks finds
// it; for the reader and the tests of its layouts.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

#include "core/wave_record.hpp"

struct wave_layout {
  std::int32_t sample_rate;
  std::int32_t bits_per_sample;
  std::uint64_t data_offset;    // of the first sample
  std::uint32_t declared_size;  // what the "data" chunk says it holds
  std::uint64_t data_size;      // what the file does hold of it

  // An odd trailing byte is not a sample.
  std::int32_t sample_count() const { return static_cast<std::int32_t>(data_size / 2); }
};

// Walks the chunks in `head`, the first bytes of a file of `file_size`
// bytes named `name`: the layout of 16-bit mono PCM samples, or
// std::nullopt when the walk needs more of the file than `head`. Throws
// io_error with the reason when the file holds anything else.
std::optional<wave_layout> find_wave_layout(std::span<const std::uint8_t> head,
                                            std::uint64_t file_size, const char* name);

// The bytes of a whole file, already in memory, read into `wave`; `name` is
// what the messages call it. What the fuzzer drives.
void read_wave_bytes(std::span<const std::uint8_t> file, wave_data* wave, const char* name,
                     std::FILE* warnings);
