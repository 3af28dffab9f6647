#include "effects/effects.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "effects/reverb.hpp"
#include "records.hpp"

namespace {

TEST(Distortion, ClipsAfterTheGainAndScalesAfterTheClip) {
  const struct {
    float gain, level;
    double in, out;
  } cases[] = {
      {10, 0.5f, 0.5, 0.5},              // 5 clipped to 1, halved
      {10, 0.5f, -1.0 / 16, -5.0 / 16},  // within range: only scaled
      {-2, 1, 0.75, -1.0},               // inverted before the clip
      {2, 1, 0.5, 1.0},                  // lands on 1 exactly: passes the strict test
      {-2, 1, 0.5, -1.0},
      {0, 3, 0.9, 0.0},            // gain 0: silence whatever the level
      {1, 2, 0.75, 1.5},           // a level above 1 may exceed full scale
      {0.1f, 1, 0.5, 0.1f * 0.5},  // the gain is the float nearest 0.1, not 0.1
  };
  for (const auto& c : cases) {
    wave_data in = record(8000, 1);
    in.samples[0] = c.in;
    wave_data out = same_shape(in);
    apply_distortion(&in, &out, {c.gain, c.level});
    EXPECT_EQ(out.samples[0], c.out) << "gain " << c.gain << " level " << c.level << " in " << c.in;
  }
}

TEST(Distortion, UnitGainAndLevelGiveTheInputBack) {
  const wave_data in = random_record(44100, 5000, 1);
  wave_data out = same_shape(in);
  apply_distortion(&in, &out, {1, 1});
  for (std::int32_t n = 0; n < in.sample_count; ++n) {
    ASSERT_EQ(out.samples[n], in.samples[n]) << n;
  }
}

TEST(Distortion, VectorLoopMatchesTheScalarFormula) {
  // Odd length (the scalar tail), and values that land on the clip bounds,
  // signed zeros, infinities and NaN among random ones.
  wave_data in = random_record(8000, 1001, 9);
  const double specials[] = {0.25,
                             -0.25,
                             0.5,
                             -0.5,
                             0.0,
                             -0.0,
                             1.0,
                             -1.0,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
  for (std::size_t k = 0; k < std::size(specials); ++k) {
    in.samples[3 * k] = specials[k];
  }
  for (const distortion_settings settings :
       {distortion_settings{4, 0.5f}, {-3.7f, 1.3f}, {2, -1}, {0, 2}, {1e30f, 1e-30f}}) {
    wave_data out = same_shape(in);
    apply_distortion(&in, &out, settings);
    for (std::int32_t n = 0; n < in.sample_count; ++n) {
      double y = static_cast<double>(settings.gain) * in.samples[n];
      if (y > 1.0) {
        y = 1.0;
      } else if (y < -1.0) {
        y = -1.0;
      }
      const double expected = static_cast<double>(settings.level) * y;
      ASSERT_EQ(std::memcmp(&out.samples[n], &expected, sizeof expected), 0)
          << "gain " << settings.gain << " sample " << n;
    }
  }
}

// The impulse response: 1 at sample 0, and echo i (0.5^i) wherever its tap
// position truncates to 0, which is one sample for a whole spacing and two
// neighbouring ones for a spacing of k + 0.5.
void expect_impulse_response(std::int32_t rate, double spacing) {
  const auto length = static_cast<std::int32_t>(101 * spacing) + 2;
  wave_data in = record(rate, length);
  in.samples[0] = 1.0;
  wave_data out = same_shape(in);
  apply_reverb(&in, &out);
  std::vector<double> expected(length, 0.0);
  expected[0] = 1.0;
  for (int i = 1; i <= 100; ++i) {
    for (std::int32_t n = 0; n < length; ++n) {
      const double p = n - i * spacing;
      if (p > -1.0 && p < 1.0) {
        expected[n] += std::ldexp(1.0, -i);
      }
    }
  }
  for (std::int32_t n = 0; n < length; ++n) {
    ASSERT_EQ(out.samples[n], expected[n]) << "rate " << rate << " sample " << n;
  }
}

TEST(Reverb, ImpulseResponseHasOneEchoPerTapAtAWholeSpacing) {
  expect_impulse_response(8000, 400.0);
}

TEST(Reverb, ImpulseResponseSplitsEachEchoOverTwoSamplesAtAHalfSpacing) {
  expect_impulse_response(8010, 400.5);  // 8010 × 0.05 = 400.5 exactly as a float
}

TEST(Reverb, FirstEchoesOfTheFormula) {
  wave_data in = random_record(8000, 1000, 2);
  wave_data out = same_shape(in);
  apply_reverb(&in, &out);
  const double* x = in.samples.get();
  EXPECT_EQ(out.samples[0], x[0]);
  EXPECT_EQ(out.samples[399], x[399]);
  EXPECT_EQ(out.samples[400], x[400] + 0.5 * x[0]);
  EXPECT_EQ(out.samples[800], x[800] + 0.5 * x[400] + 0.25 * x[0]);
}

TEST(Reverb, PositionJustBeforeTheStartReadsTheFirstSample) {
  // D = 400.5: at n = 400 the first tap sits at -0.5 and reads in[0]; at
  // n = 399 it sits at -1.5 and is skipped.
  wave_data in = random_record(8010, 1000, 3);
  wave_data out = same_shape(in);
  apply_reverb(&in, &out);
  EXPECT_EQ(out.samples[399], in.samples[399]);
  EXPECT_EQ(out.samples[400], in.samples[400] + 0.5 * in.samples[0]);
}

TEST(Vibrato, FirstWrittenSampleIsExtrapolatedWithANegativeFraction) {
  wave_data in = random_record(8000, 100, 4);
  wave_data out = same_shape(in);
  apply_vibrato(&in, &out);
  for (int n = 0; n <= 16; ++n) {
    EXPECT_EQ(out.samples[n], 0.0) << n;  // read position -1 or earlier
  }
  // At n = 17, tau = 17.0673485 and t = 17 - tau = -0x1.13dcp-4 as floats.
  const double frac = -0x1.13dcp-4;
  EXPECT_EQ(out.samples[17], (1.0 - frac) * in.samples[0] + frac * in.samples[1]);
  const double frac18 = 0x1.bd6c8p-1;  // t = 0.869968414
  EXPECT_EQ(out.samples[18], (1.0 - frac18) * in.samples[0] + frac18 * in.samples[1]);
}

TEST(Vibrato, ConstantInputStaysConstantWhereverItIsWritten) {
  for (std::int32_t rate : {8000, 22050, 44100, 48000, 3}) {
    wave_data in = record(rate, 20000);
    std::fill_n(in.samples.get(), in.sample_count, 0.375);
    wave_data out = same_shape(in);
    apply_vibrato(&in, &out);
    const auto skipped = static_cast<std::int32_t>(2 * (rate * 0.002f)) + 1;
    for (std::int32_t n = skipped + 1; n < in.sample_count - 1; ++n) {
      ASSERT_EQ(out.samples[n], 0.375) << "rate " << rate << " sample " << n;
    }
  }
}

TEST(Vibrato, OneSampleHasNothingToInterpolateTowards) {
  wave_data in = record(8000, 1);
  in.samples[0] = 0.5;
  wave_data out = same_shape(in);
  apply_vibrato(&in, &out);
  EXPECT_EQ(out.samples[0], 0.0);
}

// Records no reader would let through: every effect must stay inside its
// arrays and give a defined result.
TEST(Effects, StayInsideTheArraysForAnySampleRate) {
  const std::int32_t rates[] = {0,      -1,
                                -44100, std::numeric_limits<std::int32_t>::min(),
                                1,      std::numeric_limits<std::int32_t>::max()};
  for (std::int32_t rate : rates) {
    SCOPED_TRACE(rate);
    for (std::int32_t count : {0, 1, 2, 1000}) {
      const wave_data in = random_record(rate, count, 5);
      wave_data reverb = same_shape(in);
      wave_data vibrato = same_shape(in);
      apply_reverb(&in, &reverb);
      apply_vibrato(&in, &vibrato);
      for (std::int32_t n = 0; n < count; ++n) {
        if (rate <= 0) {
          ASSERT_EQ(reverb.samples[n], in.samples[n]);  // the direct sound alone
          ASSERT_EQ(vibrato.samples[n], 0.0);           // silence
        }
        ASSERT_TRUE(std::isfinite(reverb.samples[n]));
        ASSERT_TRUE(std::isfinite(vibrato.samples[n]));
      }
    }
  }
}

TEST(Effects, NeverWritePastAShorterOutput) {
  const wave_data in = random_record(8000, 1000, 6);
  wave_data out = record(8000, 10);
  apply_distortion(&in, &out, {2, 1});
  apply_reverb(&in, &out);
  apply_vibrato(&in, &out);
  SUCCEED();  // the sanitizer builds catch a stray write
}

}  // namespace
