// The dump's text must be printf's "%f" to the byte, for every double.

#include "driver/sample_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "wav_file.hpp"

namespace {

std::string printf_text(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

// format_sample's text of `value`, once it has checked that the lines of
// four such values (formatted side by side where they can be) say the same.
std::string our_text(double value) {
  char text[max_sample_text];
  const std::string single(text, format_sample(value, text));
  const double four[4] = {value, value, value, value};
  char lines[4 * max_sample_line];
  const std::string written(lines, write_sample_text(lines, four, 4));
  static const std::string line_end = text_mode_line_end();
  const std::string line = single + line_end;
  if (written != line + line + line + line) {
    return "format_sample: " + single + ", write_sample_text: " + written;
  }
  return single;
}

TEST(SampleText, AgreesWithPrintfAtTheEdges) {
  const double edges[] = {
      0.0,
      -0.0,
      1.0,
      -1.0,
      0.5,
      1.0 / 32768,
      -1.0 / 32768,
      1.0 / 128,
      3.0 / 128,
      -1.0 / 128,  // ties at the sixth decimal: to even
      0.0000005,
      0.0000015,
      0.0000025,
      -0.0000005,  // near-ties that are not exact
      0.9999995,
      0.99999949999999,
      9.9999995,  // one whole digit or two: both sides of 10
      9.999999,
      10.0,
      9.999999499999999,
      -9.9999995,
      -9.999999499999999,
      0.0099995,  // a carry across the "W.DD" and "DDDD" halves
      0.009999,
      0.01,
      -0.0999995,
      1.0000005,
      5.0000015,
      -3.1415925,
      -7.0000005,
      1e-7,
      -1e-7,
      std::numeric_limits<double>::denorm_min(),
      -std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::min(),
      4294967295.9999995,
      4294967296.0,
      -4294967296.5,
      1e300,
      -1e300,
      std::numeric_limits<double>::max(),
      std::nextafter(4294967296.0, 0.0),
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(),
      1.9999999999999998,
      123456.7890125,
  };
  for (double value : edges) {
    EXPECT_EQ(our_text(value), printf_text(value)) << std::hexfloat << value;
  }
}

TEST(SampleText, AgreesWithPrintfOnRandomDoubles) {
  std::mt19937_64 random(42);
  // Exponents from far below the sixth decimal to beyond 2^32, random
  // mantissas and signs.
  std::uniform_int_distribution<int> exponent(-80, 40);
  for (int k = 0; k < 300000; ++k) {
    const double mantissa = std::bit_cast<double>((random() >> 12) | 0x3FF0000000000000ULL);
    double value = std::ldexp(mantissa, exponent(random));
    if (random() & 1) {
      value = -value;
    }
    ASSERT_EQ(our_text(value), printf_text(value)) << std::hexfloat << value;
  }
}

TEST(SampleText, AgreesWithPrintfNearHalfMicrosAtEveryScale) {
  // (k + 1/2) micros and the doubles around it, k in every decade below
  // 2^32 whole units: the products that fall back to exact integer
  // arithmetic, at every width of their fraction.
  std::mt19937_64 random(3);
  for (std::uint64_t decade = 1; decade < 4294967296000000ULL; decade *= 10) {
    std::uniform_int_distribution<std::uint64_t> k(decade - 1, 10 * decade - 2);
    for (int trial = 0; trial < 2000; ++trial) {
      double value = (static_cast<double>(k(random)) + 0.5) / 1e6;
      for (int step = 0; step < 3; ++step) {
        value = std::nextafter(value, 0.0);
      }
      for (int step = 0; step < 7; ++step, value = std::nextafter(value, 1e300)) {
        ASSERT_EQ(our_text(value), printf_text(value)) << std::hexfloat << value;
        ASSERT_EQ(our_text(-value), printf_text(-value)) << std::hexfloat << value;
      }
    }
  }
}

TEST(SampleText, AgreesWithPrintfOnEchoSums) {
  // Reverb outputs: held values plus halved held values, long binary fractions.
  std::mt19937 random(7);
  std::uniform_int_distribution<int> s16(-32768, 32767);
  for (int k = 0; k < 100000; ++k) {
    double sum = s16(random) / 32768.0;
    for (int i = 1; i <= 60; ++i) {
      sum += std::ldexp(1.0, -i) * (s16(random) / 32768.0);
    }
    ASSERT_EQ(our_text(sum), printf_text(sum)) << std::hexfloat << sum;
  }
}

// The lines write_sample_text gives for `values`, against printf's.
void expect_printf_lines(const std::vector<double>& values) {
  const std::string line_end = text_mode_line_end();
  std::string expected;
  for (double value : values) {
    expected += printf_text(value) + line_end;
  }
  std::string written(values.size() * max_sample_line, '\0');
  const char* end =
      write_sample_text(written.data(), values.data(), static_cast<std::int32_t>(values.size()));
  written.resize(static_cast<std::size_t>(end - written.data()));
  for (std::size_t k = 0; k < std::min(written.size(), expected.size()); ++k) {
    ASSERT_EQ(written[k], expected[k])
        << "at byte " << k << ": " << expected.substr(k / 64 * 64, 128);
  }
  EXPECT_EQ(written.size(), expected.size());
}

TEST(SampleText, LinesAgreeWithPrintfFourAtATimeAndOneByOne) {
  // Runs of every length to 9 (four at a time and the rest one by one) and
  // long ones: values of one whole digit, with the held values, the ties,
  // the two-digit values and the oddities mixed in at every place of a four.
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> one_digit(-10.0, 10.0);
  std::uniform_int_distribution<int> s16(-32768, 32767);
  const double odd[] = {-0.0,
                        0.0,
                        9.9999995,
                        9.999999499999999,
                        -9.9999995,
                        10.0,
                        1.0 / 128,
                        0.0000005,
                        -0.0000015,
                        1e300,
                        std::numeric_limits<double>::quiet_NaN(),
                        -std::numeric_limits<double>::infinity(),
                        123.456,
                        0.9999995,
                        std::numeric_limits<double>::denorm_min(),
                        -0.0000025,
                        0.0099995,
                        std::nextafter(0.0000005, 1.0),
                        std::nextafter(9.9999995, 0.0)};
  for (std::size_t length : {1, 2, 3, 4, 5, 6, 7, 8, 9, 4000, 4003}) {
    for (int kind = 0; kind < 5; ++kind) {
      std::vector<double> values(length);
      for (std::size_t k = 0; k < length; ++k) {
        values[k] = kind == 1 ? s16(random) / 32768.0 : one_digit(random);
        if (kind == 2 && random() % 7 == 0) {
          values[k] = odd[random() % std::size(odd)];
        }
        if (kind == 3) {
          values[k] = std::ldexp(values[k], static_cast<int>(random() % 40) - 30);
        }
      }
      if (kind == 4) {
        // Silence (+0.0) of any length at either end, all of it at times,
        // and a negative zero, which prints with its sign, beside it.
        const std::size_t leading = random() % (length + 1);
        const std::size_t trailing = random() % (length - leading + 1);
        std::fill(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(leading), 0.0);
        std::fill(values.end() - static_cast<std::ptrdiff_t>(trailing), values.end(), 0.0);
        if (random() % 2 == 0) {
          values[random() % length] = -0.0;
        }
      }
      expect_printf_lines(values);
    }
  }
  // Silence around the number of its lines copied at once (64).
  for (const std::size_t run : {63, 64, 65, 128, 129}) {
    std::vector<double> values(2 * run + 5, 0.0);
    for (std::size_t k = run; k < run + 5; ++k) {
      values[k] = one_digit(random);
    }
    expect_printf_lines(values);
    expect_printf_lines(std::vector<double>(run, 0.0));
  }
  // Every odd value at every place of a four whose other three are plain
  // one-digit values (negative zero, the last below 10, a long fraction):
  // the four falls back or not as a whole.
  for (double value : odd) {
    for (int place = 0; place < 4; ++place) {
      std::vector<double> four = {-0.0, 9.999999499999999, -0.123456789, 7.25};
      four[static_cast<std::size_t>(place)] = value;
      expect_printf_lines(four);
    }
  }
}

TEST(SampleText, LinesSplitEveryMicrosAsPrintfDoes) {
  // Every count of micros a one-digit text can show, halfway between its
  // neighbours (k + 1/4 micros: nowhere near a tie), against its digits.
  std::vector<double> values(10000000);
  for (std::size_t k = 0; k < values.size(); ++k) {
    values[k] = (static_cast<double>(k) + 0.25) / 1e6;
  }
  const std::size_t line = 8 + text_mode_line_end().size();
  std::string written(values.size() * line + max_sample_line, '\0');
  write_sample_text(written.data(), values.data(), static_cast<std::int32_t>(values.size()));
  for (std::size_t k = 0; k < values.size(); ++k) {
    char expected[9] = {static_cast<char>('0' + k / 1000000), '.'};
    for (std::size_t digit = 0, rest = k % 1000000; digit < 6; ++digit, rest /= 10) {
      expected[7 - digit] = static_cast<char>('0' + rest % 10);
    }
    ASSERT_EQ(written.compare(k * line, 8, expected, 8), 0) << k;
  }
}

TEST(SampleText, TableGivesThePrintfLineOfEveryHeldValue) {
  const s16_text_table& table = s16_texts();
  const std::string line_end = text_mode_line_end();
  for (int s = -32768; s <= 32767; ++s) {
    const double value = s / 32768.0;
    char line[16];
    const char* end = write_s16_line(table, value, line);
    ASSERT_NE(end, nullptr) << s;
    ASSERT_EQ(std::string(static_cast<const char*>(line), end), printf_text(value) + line_end) << s;
  }
}

TEST(SampleText, TableIsNotUsedForOtherValues) {
  const s16_text_table& table = s16_texts();
  for (double value :
       {-0.0, 1.0, 1.0 / 65536, -1.0 - 1.0 / 32768, 0.1, std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity()}) {
    char line[16];
    EXPECT_EQ(write_s16_line(table, value, line), nullptr) << value;
  }
}

}  // namespace
