#include "driver/sample_text.hpp"

#include <bit>
#include <charconv>
#include <cstring>

namespace {

__extension__ typedef unsigned __int128 uint128;

// "00" to "99", for writing two digits at a time.
constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* write_two_digits(char* out, unsigned value) {
  std::memcpy(out, digit_pairs + 2 * value, 2);
  return out + 2;
}

char* write_unsigned(char* out, std::uint64_t value) {
  char digits[20];
  char* start = digits + sizeof digits;
  do {
    *--start = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  const std::size_t length = static_cast<std::size_t>(digits + sizeof digits - start);
  std::memcpy(out, start, length);
  return out + length;
}

// Fallback for what the fast path does not cover (infinities, NaN, values
// of 2^32 and beyond): to_chars agrees with "%f" and never looks at the locale.
std::size_t format_with_to_chars(double value, char* out) {
  const auto result =
      std::to_chars(out, out + max_sample_text, value, std::chars_format::fixed, 6);
  return static_cast<std::size_t>(result.ptr - out);
}

}  // namespace

std::size_t format_sample(double value, char* out) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const bool negative = (bits >> 63) != 0;
  const int biased_exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);

  // |value| < 2^32, or the fallback. Then value = mantissa × 2^-shift with
  // shift ≥ 21, and the printed digits are round(value × 10^6), half to even,
  // computed exactly in 128 bits.
  if (biased_exponent >= 1023 + 32) {
    return format_with_to_chars(value, out);
  }
  std::uint64_t micros = 0;  // |value| × 10^6, rounded
  if (biased_exponent != 0) {
    const std::uint64_t mantissa = fraction | (std::uint64_t{1} << 52);
    const int shift = 1075 - biased_exponent;
    // mantissa × 10^6 < 2^73: from a shift of 75 on, it is below half a unit.
    if (shift < 75) {
      const uint128 scaled = static_cast<uint128>(mantissa) * 1000000u;
      micros = static_cast<std::uint64_t>(scaled >> shift);
      const uint128 remainder = scaled - (static_cast<uint128>(micros) << shift);
      const uint128 half = static_cast<uint128>(1) << (shift - 1);
      if (remainder > half || (remainder == half && (micros & 1) != 0)) {
        ++micros;
      }
    }
  }
  // Subnormals round to zero and keep their sign, as every negative value does.

  char* p = out;
  if (negative) {
    *p++ = '-';
  }
  const std::uint64_t whole = micros / 1000000;
  const auto decimals = static_cast<unsigned>(micros % 1000000);
  p = write_unsigned(p, whole);
  *p++ = '.';
  p = write_two_digits(p, decimals / 10000);
  p = write_two_digits(p, decimals / 100 % 100);
  p = write_two_digits(p, decimals % 100);
  return static_cast<std::size_t>(p - out);
}

const s16_text_table& s16_texts() {
  static const s16_text_table table = [] {
    s16_text_table built{};
    for (int s = -32768; s <= 32767; ++s) {
      s16_text_table::entry& entry = built.entries[s + 32768];
      const std::size_t length = format_sample(s * 0.000030517578125, entry.text);
      entry.text[length] = '\n';
      entry.length = static_cast<std::uint8_t>(length + 1);
    }
    return built;
  }();
  return table;
}
