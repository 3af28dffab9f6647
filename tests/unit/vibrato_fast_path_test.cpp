// apply_vibrato takes its delays from a quick sine wherever they provably
// round to the same 32-bit float, and from sin elsewhere; these tests hold
// it to the formula, bit for bit.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>

#include "effects/quick_sine.hpp"
#include "effects/references.hpp"
#include "effects/vibrato.hpp"
#include "platform/compiler.hpp"
#include "records.hpp"
#include "windows.hpp"

namespace {

TEST(QuickSine, StaysWithinItsBoundOfTheLibrarySineAndCosine) {
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
  double worst_sine = 0;
  double worst_cosine = 0;
  for (std::size_t k = 0; k < phases.size(); k += 4) {
    lanes4 x;
    std::memcpy(&x, &phases[k], sizeof x);
    lanes4 sine;
    lanes4 cosine;
    quick_sine_cosine4(x, sine, cosine);
    for (int j = 0; j < 4; ++j) {
      worst_sine = std::max(worst_sine, std::fabs(sine[j] - std::sin(phases[k + j])));
      worst_cosine = std::max(worst_cosine, std::fabs(cosine[j] - std::cos(phases[k + j])));
    }
  }
  EXPECT_LT(worst_sine, 0x1p-45);
  EXPECT_LT(worst_cosine, 0x1p-45);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(LaneConversions, AreTheScalarCasts) {
  // Halfway points between floats and their neighbours, values past 2^24
  // and near 2^31, negative fractions (which truncate toward zero), zeros.
  const double values[] = {0.0,
                           -0.0,
                           0.5,
                           -0.99999,
                           1.0 + 0x1p-24,
                           1.0 + 0x1p-23 + 0x1p-24,
                           -(1.0 + 0x1p-24),
                           16777217.0,
                           16777219.0,
                           2147483520.0,
                           2147483583.0,
                           -2147483520.0,
                           3.4e38,
                           1e-40,
                           -7.75,
                           88.2 + 0x1p-30};
  for (std::size_t k = 0; k + 4 <= std::size(values); k += 4) {
    const lanes4 wide = {values[k], values[k + 1], values[k + 2], values[k + 3]};
    const float_lanes4 narrow = CONVERT_LANES(wide, float_lanes4);
    const lanes4 widened = CONVERT_LANES(narrow, lanes4);
    const lanes4 in_range = {std::fmod(values[k], 2147483520.0), values[k + 1] / 4,
                             std::fmod(values[k + 2], 1e9), -std::fmod(values[k + 3], 1e9)};
    const int_lanes4 truncated = CONVERT_LANES(in_range, int_lanes4);
    const float_lanes4 from_ints = CONVERT_LANES(truncated, float_lanes4);
    const lanes4 from_ints_wide = CONVERT_LANES(truncated, lanes4);
    for (int lane = 0; lane < 4; ++lane) {
      const double value = values[k + lane];
      EXPECT_EQ(std::bit_cast<std::uint32_t>(narrow[lane]),
                std::bit_cast<std::uint32_t>(static_cast<float>(value)))
          << value;
      EXPECT_TRUE(same_bits(widened[lane], static_cast<double>(static_cast<float>(value))));
      const auto expected = static_cast<std::int32_t>(in_range[lane]);
      EXPECT_EQ(truncated[lane], expected) << in_range[lane];
      EXPECT_EQ(from_ints[lane], static_cast<float>(expected));
      EXPECT_EQ(from_ints_wide[lane], static_cast<double>(expected));
    }
  }
}

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
    const wave_data in = random_record(rate, 200003, static_cast<unsigned>(rate));
    expect_like_the_formula(in, 0, in.sample_count);
  }
}

TEST(VibratoFastPath, DelaysAreTheFormulasFloats) {
  // From the start and in every octave, at rates whose phases stay inside
  // the quick sine's range and at rates whose phases run far past it (at 2
  // Hz they leave it at sample 33378, near 2^15); and at 44.1 kHz where the
  // quick sine's q, near 0, rounds to another float than sin's (samples
  // 601477697 and 605922974).
  for (std::int32_t rate : {44100, 8010, 384000, 2147483647, 7, 2, 1}) {
    const float d = static_cast<float>(rate * 0.002);
    std::vector<std::int64_t> begins = {0};
    if (rate == 44100) {
      begins.insert(begins.end(), {601477000, 605922000});
    }
    for (const stretch_at& at : octave_stretches()) {
      begins.push_back(at.begin);
    }
    for (std::int64_t begin : begins) {
      std::vector<float> tau(stretch_length);
      const std::int64_t length = stretch_length - begin % 4;
      vibrato_delays(rate, begin, begin + length, tau.data());
      for (std::int64_t k = 0; k < length; ++k) {
        const double phase = ((begin + k) * 31.41592653589793) / rate;
        const auto expected = static_cast<float>(std::sin(phase) * d + d);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(tau[k]), std::bit_cast<std::uint32_t>(expected))
            << "rate " << rate << " sample " << begin + k;
      }
    }
  }
}

TEST(VibratoFastPath, MatchesTheFormulaOnShortRecords) {
  // Records shorter than the delay, or than a lane step, where most read
  // positions fall before the start or past the end.
  for (std::int32_t count : {1, 2, 3, 4, 5, 7, 8, 33, 255, 257, 258, 259, 600}) {
    for (std::int32_t rate : {8000, 44100, 1}) {
      expect_like_the_formula(random_record(rate, count, 9), 0, count);
    }
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
        const std::int64_t length = stretch_length - (at.begin >> 12) % 4;  // lane steps, a tail
        std::vector<double> fast(stretch_length, 1.0);  // every sample is written
        apply_vibrato_stretch(window.view, fast.data(), at.begin, at.begin + length);
        for (std::int64_t k = 0; k < length; ++k) {
          const auto n = static_cast<std::int32_t>(at.begin + k);
          ASSERT_TRUE(same_bits(fast[k], vibrato_sample(window.wide, n)))
              << "rate " << rate << " sample " << n << " of " << at.count;
        }
      }
    }
  }
}

}  // namespace
