#include "driver/sample_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/compiler.hpp"

namespace {

// "00" to "99", for writing two digits at a time.
constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* write_two_digits(char* out, unsigned value) {
  std::memcpy(out, digit_pairs + 2 * value, 2);
  return out + 2;
}

// The whole part of a dumped value: below 2^32, so at most ten digits.
char* write_whole(char* out, std::uint64_t value) {
  if (value < 10) {  // nearly every sample
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  char digits[20] =
      {};  // the digits end at 10; a fixed-width copy of 10 from any start stays inside
  char* start = digits + 10;
  do {
    *--start = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  const auto length = static_cast<std::size_t>(digits + 10 - start);
  std::memcpy(out, start, 10);  // fixed width: cheaper than a call; only `length` counts
  return out + length;
}

// Fallback for what the fast path does not cover (infinities, NaN, values
// of 2^32 and beyond): to_chars agrees with "%f" and never looks at the locale.
std::size_t format_with_to_chars(double value, char* out) {
  const auto result = std::to_chars(out, out + max_sample_text, value, std::chars_format::fixed, 6);
  return static_cast<std::size_t>(result.ptr - out);
}

// A product of up to 128 bits, high × 2^64 + low, in plain 64-bit halves.
struct wide {
  std::uint64_t high;
  std::uint64_t low;
};

bool operator<(wide a, wide b) { return a.high != b.high ? a.high < b.high : a.low < b.low; }
bool operator==(wide a, wide b) { return a.high == b.high && a.low == b.low; }

wide multiply(std::uint64_t a, std::uint32_t b) {
  const std::uint64_t low_part = (a & 0xFFFFFFFFu) * b;
  const std::uint64_t high_part = (a >> 32) * b;
  const std::uint64_t low = low_part + (high_part << 32);
  return {(high_part >> 32) + (low < low_part ? 1u : 0u), low};
}

// x >> shift and x mod 2^shift, for 0 < shift < 128.
std::uint64_t quotient(wide x, int shift) {
  if (shift >= 64) {
    return x.high >> (shift - 64);
  }
  return x.low >> shift | x.high << (64 - shift);
}
wide remainder(wide x, int shift) {
  if (shift >= 64) {
    return {x.high & ((std::uint64_t{1} << (shift - 64)) - 1), x.low};
  }
  return {0, x.low & ((std::uint64_t{1} << shift) - 1)};
}
wide power_of_two(int exponent) {
  if (exponent >= 64) {
    return {std::uint64_t{1} << (exponent - 64), 0};
  }
  return {0, std::uint64_t{1} << exponent};
}

// round(|value| × 10^6), half to even, computed exactly: value = mantissa ×
// 2^-shift with shift ≥ 21 below 2^32, and mantissa × 10^6 < 2^73.
std::uint64_t exact_micros(std::uint64_t bits) {
  const int biased_exponent = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased_exponent == 0) {
    return 0;  // zero and subnormals
  }
  const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int shift = 1075 - biased_exponent;
  if (shift >= 75) {
    return 0;  // mantissa × 10^6 < 2^73: below half a unit
  }
  const wide scaled = multiply(mantissa, 1000000u);
  std::uint64_t micros = quotient(scaled, shift);
  const wide rest = remainder(scaled, shift);
  const wide half = power_of_two(shift - 1);
  if (half < rest || (rest == half && (micros & 1) != 0)) {
    ++micros;
  }
  return micros;
}

// The eight decimal digits of v < 10^8 as ASCII, the first digit in the
// lowest byte: four digits to each 32-bit half, two to each 16-bit quarter,
// one to each byte, every division by 10^k a multiply and shift that is
// exact in the range it is used for.
std::uint64_t ascii_digits8(std::uint32_t v) {
  const std::uint64_t fours = v / 10000 | std::uint64_t{v % 10000} << 32;
  const std::uint64_t hundreds = (fours * 10486 >> 20) & 0x0000007F0000007Fu;
  const std::uint64_t twos = hundreds | (fours - 100 * hundreds) << 16;
  const std::uint64_t tens = (twos * 103 >> 10) & 0x000F000F000F000Fu;
  const std::uint64_t ones = tens | (twos - 10 * tens) << 8;
  return ones | 0x3030303030303030u;
}

}  // namespace

std::size_t format_sample(double value, char* out) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const double magnitude = std::fabs(value);
  if (!(magnitude < 4294967296.0)) {
    return format_with_to_chars(value, out);  // 2^32 and beyond, infinities, NaN
  }
  // The digits are round(|value| × 10^6), half to even. The product in
  // double is within half an ulp of the exact one, and adding and taking
  // away 2^52 rounds it to an integer, half to even. That is the exact
  // answer unless the product lies within an ulp of a half-way point (or
  // is one): then the exact product decides, in integers. A product of a
  // value below 2^32 is below 2^52, where an ulp is at most 1/2.
  const double scaled = magnitude * 1000000.0;
  const double rounded = (scaled + 4503599627370496.0) - 4503599627370496.0;
  const double off = std::fabs(scaled - rounded);
  const std::uint64_t micros =
      off < 0.5 - scaled * 0x1p-51 ? static_cast<std::uint64_t>(rounded) : exact_micros(bits);

  char* p = out;
  *p = '-';
  p += bits >> 63;  // the sign, without a branch; negative zero keeps it
  if (std::endian::native == std::endian::little && micros < 10000000) {
    // One whole digit, as nearly every sample has: "W.DDDDDD" from the
    // digits of micros (a leading zero, W, six decimals) in one word.
    const std::uint64_t digits = ascii_digits8(static_cast<std::uint32_t>(micros)) >> 8;
    const std::uint64_t text =
        (digits & 0xFF) | std::uint64_t{'.'} << 8 | (digits & ~std::uint64_t{0xFF}) << 8;
    std::memcpy(p, &text, 8);
    return static_cast<std::size_t>(p + 8 - out);
  }
  const std::uint64_t whole = micros / 1000000;
  const auto decimals = static_cast<unsigned>(micros % 1000000);
  p = write_whole(p, whole);
  *p++ = '.';
  p = write_two_digits(p, decimals / 10000);
  p = write_two_digits(p, decimals / 100 % 100);
  p = write_two_digits(p, decimals % 100);
  return static_cast<std::size_t>(p - out);
}

namespace {

// Made by the compiler, so that a run neither builds the table nor maps
// fresh memory for it. s / 32768 × 10^6 = s × 15625 / 512 exactly, and its
// rounding half to even gives the six decimals "%f" prints.
constexpr s16_text_table s16_table = [] {
  s16_text_table built{};
  for (std::int64_t s = 0; s <= 32768; ++s) {
    const std::int64_t scaled = s * 15625;
    std::int64_t micros = scaled / 512;
    const std::int64_t rest = scaled % 512;
    if (rest > 256 || (rest == 256 && micros % 2 != 0)) {
      ++micros;
    }
    // Written out rather than in a loop: compilers count the steps of a
    // constant's making, and the loop took most of Clang's allowance.
    const std::int64_t fraction = micros % 1000000;
    char* text = built.text[s];
    text[0] = static_cast<char>('0' + micros / 1000000);
    text[1] = '.';
    text[2] = static_cast<char>('0' + fraction / 100000);
    text[3] = static_cast<char>('0' + fraction / 10000 % 10);
    text[4] = static_cast<char>('0' + fraction / 1000 % 10);
    text[5] = static_cast<char>('0' + fraction / 100 % 10);
    text[6] = static_cast<char>('0' + fraction / 10 % 10);
    text[7] = static_cast<char>('0' + fraction % 10);
  }
  return built;
}();

}  // namespace

const s16_text_table& s16_texts() { return s16_table; }

namespace {

// Writes the lines of values[0..3] (text and line end each) and returns
// their end, when each of them rounds to a single whole digit ("W.DDDDDD",
// |value| < 9.9999995) by format_sample's quick test; otherwise returns
// nullptr, having written nothing that counts.
WAVE_EFFECT_ALWAYS_INLINE char* write_four_lines(const double* values, char* out) {
  if constexpr (std::endian::native != std::endian::little) {
    return nullptr;  // the texts below are built as little-endian words
  }
  // As format_sample, four lanes at a time: round(|value| × 10^6) by adding
  // and taking away 2^52, taken only where the product is clear of a
  // half-way point and the digits are "W.DDDDDD".
  constexpr std::int64_t magnitude_bits = 0x7FFFFFFFFFFFFFFF;
  constexpr double two_52 = 4503599627370496.0;
  lanes4 value;
  LOAD_LANES(value, values);
  mask4 bits;
  std::memcpy(&bits, &value, sizeof bits);
  const mask4 magnitude_mask = bits & magnitude_bits;
  lanes4 magnitude;
  std::memcpy(&magnitude, &magnitude_mask, sizeof magnitude);
  const lanes4 scaled = magnitude * 1000000.0;
  const lanes4 rounded = (scaled + two_52) - two_52;
  const lanes4 difference = scaled - rounded;
  mask4 difference_bits;
  std::memcpy(&difference_bits, &difference, sizeof difference_bits);
  const mask4 off_bits = difference_bits & magnitude_bits;  // |difference|, exactly
  lanes4 off;
  std::memcpy(&off, &off_bits, sizeof off);
  const mask4 quick = (off < 0.5 - scaled * 0x1p-51) & (rounded < 10000000.0);
  if (!ALL_LANES(quick)) {
    return nullptr;
  }
  // micros < 10^7 splits into micros / 10^4 (0.0001 is a little above
  // 10^-4, so the product truncates to the exact quotient) and the rest:
  // "W.DD" and "DDDD", side by side in 32-bit lanes, a value's first in the
  // lower lane.
  const int_lanes4 micros = CONVERT_LANES(rounded, int_lanes4);
  const int_lanes4 upper = CONVERT_LANES(rounded * 0.0001, int_lanes4);
  const uint32_lanes8 fours = INTERLEAVE_LANES(upper, micros - upper * 10000);
  // As ascii_digits8, in lanes that wrap, so that a sum of products stands
  // for a subtraction: a lane of v < 10^4 takes its hundreds (v / 100, by
  // multiply and shift) to the low 16 bits and the rest to the high, as
  // (v << 16) + hundreds × (1 - 100 × 2^16); each 16 bits of f < 100 then
  // take its tens to the low byte and its ones to the high, as (f << 8) +
  // tens × (1 - 10 × 2^8). In a "W.DD" lane the hundreds are W, taken ten
  // times so that W lands in the tens' byte and the byte after it is 0,
  // then '.'.
  constexpr std::uint32_t w_dd = 10u - (100u << 16);
  constexpr std::uint32_t dddd = 1u - (100u << 16);
  // Any multiplier from 10486 to 10496 gives v / 100 for v < 1000: the
  // "W.DD" lanes take 10490 so that the multipliers differ. GCC keeps such
  // a vector in a register, where it would rebuild a broadcast every turn.
  const uint32_lanes8 hundreds =
      fours * uint32_lanes8{10490u, 10486u, 10490u, 10486u, 10490u, 10486u, 10490u, 10486u} >> 20;
  const uint32_lanes8 twos =
      (fours << 16) + hundreds * uint32_lanes8{w_dd, dddd, w_dd, dddd, w_dd, dddd, w_dd, dddd};
  uint16_lanes16 pairs;
  std::memcpy(&pairs, &twos, sizeof pairs);
  const uint16_lanes16 tens = pairs * std::uint16_t{103} >> 10;
  const uint16_lanes16 digits = (pairs << 8) + tens * static_cast<std::uint16_t>(1u - (10u << 8));
  constexpr std::uint16_t zeros = 0x3030;
  constexpr std::uint16_t digit_point = 0x2E30;  // W's digit, then '.'
  const uint16_lanes16 text =
      digits + uint16_lanes16{digit_point, zeros, zeros, zeros, digit_point, zeros, zeros, zeros,
                              digit_point, zeros, zeros, zeros, digit_point, zeros, zeros, zeros};
  mask4 words;
  std::memcpy(&words, &text, sizeof words);
  const auto write_lane = [&](int lane) WAVE_EFFECT_INLINE_LAMBDA {
    *out = '-';
    out += static_cast<std::uint64_t>(bits[lane]) >> 63;
    const std::int64_t word = words[lane];
    std::memcpy(out, &word, 8);
    std::memcpy(out + 8, platform::text_line_end.data(), platform::text_line_end.size());
    out += 8 + platform::text_line_end.size();
  };
  write_lane(0);
  write_lane(1);
  write_lane(2);
  write_lane(3);
  return out;
}

// The lines of +0.0, which prints as "0.000000", ready-made.
constexpr std::size_t zero_line_size = 8 + platform::text_line_end.size();
constexpr int zero_lines_held = 64;
constexpr auto zero_lines = [] {
  std::array<char, zero_lines_held * zero_line_size> lines{};
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::size_t column = k % zero_line_size;
    lines[k] = column < 8 ? "0.000000"[column] : platform::text_line_end[column - 8];
  }
  return lines;
}();

bool is_positive_zero(double value) { return std::bit_cast<std::uint64_t>(value) == 0; }

char* write_zero_lines(char* out, std::int32_t count) {
  for (std::int32_t n = 0; n < count; n += zero_lines_held) {
    const int lines = std::min(zero_lines_held, count - n);
    std::memcpy(out, zero_lines.data(), static_cast<std::size_t>(lines) * zero_line_size);
    out += static_cast<std::size_t>(lines) * zero_line_size;
  }
  return out;
}

// The lines of values[0, count), most four side by side.
WAVE_EFFECT_ALWAYS_INLINE char* write_lines(char* out, const double* samples, std::int32_t count) {
  const s16_text_table& table = s16_texts();
  const auto write_line = [&](double value) WAVE_EFFECT_INLINE_LAMBDA {
    if (char* end = write_s16_line(table, value, out)) {
      out = end;
    } else {
      out += format_sample(value, out);
      std::memcpy(out, platform::text_line_end.data(), platform::text_line_end.size());
      out += platform::text_line_end.size();
    }
  };
  std::int32_t n = 0;
  for (; n + 4 <= count; n += 4) {
    if (char* end = write_four_lines(samples + n, out)) {
      out = end;
    } else {
      for (int k = 0; k < 4; ++k) {
        write_line(samples[n + k]);
      }
    }
  }
  for (; n < count; ++n) {
    write_line(samples[n]);
  }
  return out;
}

}  // namespace

WAVE_EFFECT_TWO_BUILDS(char*, write_sample_text,
                       (char* out, const double* samples, std::int32_t count),
                       (out, samples, count)) {
  // Silence is common: a fifth of the demo's samples, and every output of
  // no effect. Where it opens or closes the values, found a value at a time
  // from either end, its lines are copied; sound stops each search at once.
  std::int32_t first = 0;
  while (first < count && is_positive_zero(samples[first])) {
    ++first;
  }
  std::int32_t end = count;
  while (end > first && is_positive_zero(samples[end - 1])) {
    --end;
  }
  out = write_zero_lines(out, first);
  out = write_lines(out, samples + first, end - first);
  return write_zero_lines(out, count - end);
}
