#pragma once

// Stretches of records too long to hold: windows of random sound placed
// where a stretch of outputs reads, at any position a WAV file allows.

#include <algorithm>
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
// not exact as a float), and at the end of the longest records and of
// records past 2^25.
inline std::vector<stretch_at> octave_stretches() {
  std::vector<stretch_at> stretches;
  for (int power = 12; power <= 30; ++power) {
    stretches.push_back({longest_record, (std::int64_t{1} << power) - stretch_length / 2});
    if (power > 24) {
      // Starting at the sample that rounds furthest down as a float, so
      // that the stretch's first taps read furthest back.
      const std::int64_t rounds_down = (std::int64_t{1} << (power - 24)) - 1;
      stretches.push_back({longest_record, (std::int64_t{1} << power) + rounds_down});
    }
  }
  stretches.push_back({longest_record, longest_record - stretch_length});
  stretches.push_back({largest_count, largest_count - stretch_length});
  // Records that end where floats are 4, 8 and 16 apart, whose last blocks
  // must read nothing past the end.
  for (int power = 25; power <= 27; ++power) {
    const auto count = static_cast<std::int32_t>((std::int64_t{1} << power) + 3001 + power);
    stretches.push_back({count, count - stretch_length});
  }
  return stretches;
}

// Random held 16-bit values (or silence) over what the stretch `at` reads,
// as its reach says (`view`, for the stretch function), and over a margin
// beyond it on either side (`wide`, for the formula). Past the ends of
// `view` lie huge values the formula never sees, so that a stretch function
// reading outside its declared reach gives another result in every build.
// Over silence no echo sum settles early, and every tap is read.
struct synthetic_window {
  static constexpr std::int64_t margin = 1024;
  std::vector<double> samples;  // the wide window
  std::vector<double> cut;      // the view, with other values around it
  sample_window view;
  sample_window wide;

  synthetic_window(std::int32_t rate, const stretch_at& at, const input_reach& reach,
                   bool silent = false) {
    const std::int64_t first = reach.window_first(at.begin);
    const std::int64_t end = reach.window_end(at.begin + stretch_length, at.count);
    const std::int64_t wide_first = std::max<std::int64_t>(0, first - margin);
    const std::int64_t wide_end = std::min<std::int64_t>(at.count, end + margin);
    std::mt19937 random(static_cast<unsigned>(at.begin));
    std::uniform_int_distribution<int> s16(-32768, 32767);
    samples.resize(static_cast<std::size_t>(wide_end - wide_first));
    for (double& sample : samples) {
      sample = silent ? 0.0 : s16(random) / 32768.0;
    }
    cut.resize(samples.size());
    for (std::size_t k = 0; k < cut.size(); ++k) {
      const std::int64_t n = wide_first + static_cast<std::int64_t>(k);
      cut[k] = n >= first && n < end ? samples[k] : (k % 2 == 0 ? 1e300 : -1e300);
    }
    view = {cut.data() + (first - wide_first), first, end - first, at.count, rate};
    wide = {samples.data(), wide_first, wide_end - wide_first, at.count, rate};
  }
};
