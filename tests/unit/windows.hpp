#pragma once

// Stretches of records too long to hold: windows of random sound placed
// where a stretch of outputs reads, at any position a WAV file allows.

#include <cstdint>
#include <random>
#include <vector>

#include "effects/effects.hpp"

// The longest record a WAV file can describe (its RIFF size is 32 bits),
// and the most samples a data chunk can hold.
inline constexpr std::int32_t longest_record = 2147483600;
inline constexpr std::int32_t largest_count = 2147483647;

// A stretch of outputs from `begin` of a record of `count` samples.
struct stretch_at {
  std::int32_t count;
  std::int64_t begin;
};
inline constexpr std::int64_t stretch_length = 4000;

// Around every power of two from 2^12 to 2^30 (from 2^24 on the index is
// not exact as a float), and at the end of the longest records.
inline std::vector<stretch_at> octave_stretches() {
  std::vector<stretch_at> stretches;
  for (int power = 12; power <= 30; ++power) {
    stretches.push_back({longest_record, (std::int64_t{1} << power) - stretch_length / 2});
  }
  stretches.push_back({longest_record, longest_record - stretch_length});
  stretches.push_back({largest_count, largest_count - stretch_length});
  return stretches;
}

// Random held 16-bit values over what the stretch `at` reads.
struct synthetic_window {
  std::vector<double> samples;
  sample_window view;

  synthetic_window(std::int32_t rate, const stretch_at& at, const input_reach& reach) {
    const std::int64_t first = reach.window_first(at.begin);
    const std::int64_t end = reach.window_end(at.begin + stretch_length, at.count);
    std::mt19937 random(static_cast<unsigned>(at.begin));
    std::uniform_int_distribution<int> s16(-32768, 32767);
    samples.resize(static_cast<std::size_t>(end - first));
    for (double& sample : samples) {
      sample = s16(random) / 32768.0;
    }
    view = {samples.data(), first, end - first, at.count, rate};
  }
};
