#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t wave_header_size = 44;

// The canonical 44-byte header the writer puts before the samples: one
// channel of PCM, 16-bit samples, `sample_count` × 2 data bytes. The byte
// rate and block align follow `bits_per_sample` as the input gave it.
std::array<std::uint8_t, wave_header_size> wave_header(std::int32_t sample_rate,
                                                       std::int32_t bits_per_sample,
                                                       std::int32_t sample_count);

// The stored form of `count` samples: each held value as a little-endian
// 16-bit sample, two bytes apiece.
void store_wave_samples(const double* samples, std::int64_t count, std::uint8_t* bytes);
