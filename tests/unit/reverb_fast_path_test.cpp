// apply_reverb works out tap positions once per tap instead of once per
// sample and tap; these tests hold it to the formula, sample by sample.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "effects/references.hpp"
#include "effects/reverb.hpp"
#include "records.hpp"
#include "windows.hpp"

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The fast loops stop summing a block once no later tap can move any of its
// sums, and over 16-bit values they sum the first taps exactly, without
// rounding. Quiet passages on and off the 16-bit grid, sums near zero, exact
// silence and a record of negative zeros (whose sums are negative zeros)
// test those rules.
TEST(ReverbFastPath, MatchesTheFormulaForQuietAndSilentStretches) {
  struct quieter {
    const char* name;
    double (*quiet)(double loud);
    double silence;
    bool all_silent;
  };
  const quieter rows[] = {
      {"16-bit", [](double loud) { return std::trunc(loud * 8) / 32768; }, 0.0, false},
      {"finer than 16 bits", [](double loud) { return loud / 4096; }, 0.0, false},
      {"negative zeros", nullptr, -0.0, true},
  };
  for (const quieter& row : rows) {
    wave_data in = random_record(8000, 60000, 10);
    for (std::int32_t n = 0; n < in.sample_count; ++n) {
      const std::int32_t stretch = row.all_silent ? 2 : n / 5000 % 4;
      if (stretch == 1) {
        in.samples[n] = row.quiet(in.samples[n]);  // small sums with many bits
      } else if (stretch == 2) {
        in.samples[n] = row.silence;  // silence, where only echoes are heard
      } else if (stretch == 3) {
        in.samples[n] = (n % 2 == 0 ? 1 : -1) * 0x1p-15;  // sums that cancel near zero
      }
    }
    wave_data fast = same_shape(in);
    wave_data reference = same_shape(in);
    apply_reverb(&in, &fast);
    apply_reverb_reference(&in, &reference);
    for (std::int32_t n = 0; n < in.sample_count; ++n) {
      ASSERT_TRUE(same_bits(fast.samples[n], reference.samples[n])) << row.name << " sample " << n;
    }
  }
}

// Over 16-bit values the fast loops work out from the exact sums which tap
// is the last that can move a sum in a block, from the largest magnitude
// they find or are told (a run tells them the loudest sample so far). Here
// every output around n sums to between 1 and 2 through tap 37, out[n] to
// an odd multiple of 2^-52, and tap 53 of out[n] reads -1: it adds half a
// step, and the tie goes to the even neighbour below. One tap fewer and the
// sum stays odd.
TEST(ReverbFastPath, AddsTheLastTapThatCanMoveASum) {
  wave_data in = record(8000, 48000);  // a spacing of 400 samples
  const std::int32_t n = 45000;
  for (std::int32_t k = n - 40; k <= n + 40; ++k) {
    in.samples[k] = 32767 / 32768.0;
    in.samples[k - 400] = 0.5;  // tap 1 adds 0.25
  }
  in.samples[n - 37 * 400] = 0x1p-15;  // tap 37 adds 2^-52
  in.samples[n - 53 * 400] = -1.0;     // tap 53 adds -2^-53
  wave_data reference = same_shape(in);
  apply_reverb_reference(&in, &reference);
  EXPECT_EQ(reference.samples[n], 1.25 - 0x1p-15);
  wave_data found = same_shape(in);
  apply_reverb(&in, &found);
  std::vector<double> told(static_cast<std::size_t>(in.sample_count));
  sample_window held = whole_window(in, in.sample_count);
  held.held_16_bit = true;
  held.held_peak = 1.0;
  apply_reverb_stretch(held, told.data(), 0, in.sample_count);
  for (std::int32_t k = 0; k < in.sample_count; ++k) {
    ASSERT_TRUE(same_bits(found.samples[k], reference.samples[k])) << k;
    ASSERT_TRUE(same_bits(told[static_cast<std::size_t>(k)], reference.samples[k])) << k;
  }
}

// Before the last tap's offset some taps reach back past the start: one
// just before it reads in[0], others add nothing. Spacings whole, half,
// fractional and below one sample; negative zeros show a skipped tap that
// was added as a zero after all.
TEST(ReverbFastPath, MatchesTheFormulaWhereEarlyTapsReachPastTheStart) {
  for (std::int32_t rate : {1, 3, 19, 20, 99, 101, 8000, 8010, 22050, 44100, 44101}) {
    const auto length = static_cast<std::int32_t>(100 * echo_spacing(rate)) + 3000;
    wave_data in = random_record(rate, length, 15);
    for (std::int32_t n = 1; n < length; n += 3) {
      in.samples[n] = -0.0;
    }
    in.samples[0] = 0.75;
    wave_data fast = same_shape(in);
    wave_data reference = same_shape(in);
    apply_reverb(&in, &fast);
    apply_reverb_reference(&in, &reference);
    for (std::int32_t n = 0; n < length; ++n) {
      ASSERT_TRUE(same_bits(fast.samples[n], reference.samples[n]))
          << "rate " << rate << " sample " << n;
    }
  }
}

TEST(ReverbFastPath, NonFiniteInputIsSummedInFull) {
  for (double odd :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e308}) {
    wave_data in = random_record(8000, 50000, 11);
    in.samples[45000] = odd;
    wave_data fast = same_shape(in);
    wave_data reference = same_shape(in);
    apply_reverb(&in, &fast);
    apply_reverb_reference(&in, &reference);
    for (std::int32_t n = 0; n < in.sample_count; ++n) {
      ASSERT_TRUE(same_bits(fast.samples[n], reference.samples[n])) << odd << " sample " << n;
    }
  }
}

// Past 2^24 the index rounds to a float that can lie on either side of n,
// and near the end a tap can land past the input. A record that long is
// built once and checked around the edges.
TEST(ReverbFastPath, MatchesTheFormulaWhereTheIndexIsNotExactAsAFloat) {
  constexpr std::int32_t limit = 1 << 24;
  for (std::int32_t rate : {44100, 8010, 99}) {
    const wave_data in = random_record(rate, limit + 40000, 7);
    wave_data fast = same_shape(in);
    apply_reverb(&in, &fast);
    const float spacing = echo_spacing(rate);
    auto check = [&](std::int32_t from, std::int32_t to) {
      for (std::int32_t n = from; n < to; ++n) {
        ASSERT_EQ(fast.samples[n], reverb_sample(whole_window(in, in.sample_count), n, spacing))
            << "rate " << rate << " sample " << n;
      }
    };
    check(limit - 3000, limit + 3000);
    check(in.sample_count - 3000, in.sample_count);
  }
}

// Further on float(n) steps by 4, 8, ... up to 128 just below 2^31, and
// neighbouring outputs share their rounded positions. Each stretch is
// computed from a window of random sound that holds just what it reads,
// placed around every power of two up to the longest record a WAV file can
// describe, and at that record's end.
TEST(ReverbFastPath, MatchesTheFormulaInEveryOctave) {
  // At 8000 Hz the spacing is a whole 400 samples: ten blocks to a column,
  // each carrying its exact sums on to the next, across every octave's
  // kinds of block.
  for (std::int32_t rate : {44100, 8010, 11025, 384000, 8000}) {
    for (const stretch_at& at : octave_stretches()) {
      for (const bool silent : {false, true}) {
        // The run tells the reverb its samples are 16-bit; over silence it
        // is left to find that out.
        synthetic_window window(rate, at, reverb_reach(rate), silent);
        window.view.held_16_bit = !silent;
        // Room on either side, which the stretch must leave as it is.
        constexpr std::int64_t room = 64;
        std::vector<double> fast(stretch_length + 2 * room, 0.125);
        apply_reverb_stretch(window.view, fast.data() + room, at.begin, at.begin + stretch_length);
        const float spacing = echo_spacing(rate);
        for (std::int64_t k = -room; k < stretch_length + room; ++k) {
          const auto n = static_cast<std::int32_t>(at.begin + k);
          const bool outside = k < 0 || k >= stretch_length;
          ASSERT_TRUE(same_bits(fast[static_cast<std::size_t>(k + room)],
                                outside ? 0.125 : reverb_sample(window.wide, n, spacing)))
              << "rate " << rate << " sample " << n << " of " << at.count;
        }
      }
    }
  }
}

TEST(ReverbFastPath, TapsRoundedUpPastTheEndAddNothing) {
  // From 2^26 on floats are 8 apart: n = 2^26 + 5 rounds up to 2^26 + 8, and
  // with a spacing of 0.05 its first taps land on 2^26 + 7, past the last
  // sample.
  const std::int32_t count = (1 << 26) + 6;
  const std::int32_t last = count - 1;
  std::vector<double> samples(9);
  for (int k = 0; k < 9; ++k) {
    samples[k] = k + 1;
  }
  const sample_window in{samples.data(), last - 8, 9, count, 1};
  const float spacing = echo_spacing(1);
  double expected = in[last];
  for (int i = 1; i <= reverb_tap_count; ++i) {
    const auto m = static_cast<std::int64_t>(static_cast<double>(static_cast<float>(last)) -
                                             i * static_cast<double>(spacing));
    if (m < count) {
      expected += std::ldexp(1.0, -i) * in[m];
    }
  }
  EXPECT_EQ(reverb_sample(in, last, spacing), expected);
  EXPECT_NE(expected, in[last]);  // some taps did land inside
}

}  // namespace
