// apply_vibrato takes its delays from a quick sine wherever they provably
// round to the same 32-bit float, and from sin elsewhere; these tests hold
// it to the formula, bit for bit.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "effects/quick_sine.hpp"
#include "effects/references.hpp"
#include "effects/vibrato.hpp"
#include "records.hpp"
#include "windows.hpp"

namespace {

TEST(QuickSine, StaysWithinItsBoundOfTheLibrarySine) {
  // Random phases over the whole range, and phases at and around the
  // multiples of π/4, where the reduction and the quadrants change.
  std::mt19937_64 random(15);
  std::uniform_real_distribution<double> anywhere(0.0, quick_sine_limit);
  std::vector<double> phases;
  for (int k = 0; k < 400000; ++k) {
    phases.push_back(anywhere(random));
  }
  for (double q = 0; q < quick_sine_limit; q = q * 1.7 + 1) {
    const double x = std::floor(q) * 0.7853981633974483;
    for (double nudge : {-1e-9, 0.0, 1e-9}) {
      if (x + nudge >= 0 && x + nudge < quick_sine_limit) {
        phases.push_back(x + nudge);
      }
    }
  }
  while (phases.size() % 4 != 0) {
    phases.push_back(0.0);
  }
  double worst = 0;
  for (std::size_t k = 0; k < phases.size(); k += 4) {
    double sine[4];
    quick_sine4(&phases[k], sine);
    for (int j = 0; j < 4; ++j) {
      worst = std::max(worst, std::fabs(sine[j] - std::sin(phases[k + j])));
    }
  }
  EXPECT_LT(worst, 0x1p-45);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_like_the_formula(const wave_data& in, std::int32_t from, std::int32_t to) {
  wave_data fast = same_shape(in);
  wave_data reference = same_shape(in);
  apply_vibrato(&in, &fast);
  apply_vibrato_reference(&in, &reference);
  for (std::int32_t n = from; n < to; ++n) {
    ASSERT_TRUE(same_bits(fast.samples[n], reference.samples[n]))
        << "rate " << in.sample_rate << " sample " << n;
  }
}

TEST(VibratoFastPath, MatchesTheFormulaAtEveryRate) {
  // Common rates, odd ones, the smallest, and rates whose phases run past
  // the quick sine's range (a rate of 1 Hz) or whose delays are huge.
  for (std::int32_t rate :
       {8000, 11025, 22050, 44100, 48000, 96000, 8010, 1, 3, 7, 999983, 2147483647}) {
    const wave_data in = random_record(rate, 200000, static_cast<unsigned>(rate));
    expect_like_the_formula(in, 0, in.sample_count);
  }
}

TEST(VibratoFastPath, MatchesTheFormulaWhereTheIndexIsNotExactAsAFloat) {
  const wave_data in = random_record(44100, (1 << 24) + 5000, 16);
  expect_like_the_formula(in, (1 << 24) - 5000, in.sample_count);
}

// Past 2^24 the index and the read position round as floats, 128 apart
// just below 2^31: stretches around every power of two, and at the end of
// the longest records, from windows that hold just what they read.
TEST(VibratoFastPath, MatchesTheFormulaInEveryOctave) {
  for (std::int32_t rate : {44100, 8010, 384000, 7}) {
    for (const stretch_at& at : octave_stretches()) {
      for (const bool silent : {false, true}) {
        const synthetic_window window(rate, at, vibrato_reach(rate), silent);
        std::vector<double> fast(stretch_length, 1.0);  // every sample is written
        apply_vibrato_stretch(window.view, fast.data(), at.begin, at.begin + stretch_length);
        for (std::int64_t k = 0; k < stretch_length; ++k) {
          const auto n = static_cast<std::int32_t>(at.begin + k);
          ASSERT_TRUE(same_bits(fast[k], vibrato_sample(window.wide, n)))
              << "rate " << rate << " sample " << n << " of " << at.count;
        }
      }
    }
  }
}

}  // namespace
