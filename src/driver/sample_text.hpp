#pragma once

// The text of one dumped sample: what printf's "%f" gives for a double in the
// C locale (six decimals of the exact binary value, rounded half to even,
// "-" before every negative value, negative zero included), whatever locale
// the environment names.

#include <cmath>
#include <cstddef>
#include <cstdint>

// Room enough for the text of any double, "%f" of -DBL_MAX included.
inline constexpr std::size_t max_sample_text = 320;

// Writes the text of `value` (no line end) to `out` and returns its length.
std::size_t format_sample(double value, char* out);

// The texts of every held 16-bit value s / 32768, each followed by "\n":
// looked up instead of formatted for the input dump, and for any output
// sample that is still such a value.
struct s16_text_table {
  struct entry {
    char text[15];
    std::uint8_t length;
  };
  entry entries[65536];  // indexed by s + 32768
};
const s16_text_table& s16_texts();

// The entry for `value` when it is exactly s / 32768 (negative zero is not:
// it prints as "-0.000000"), otherwise nullptr.
inline const s16_text_table::entry* find_s16_text(const s16_text_table& table, double value) {
  const double scaled = value * 32768.0;  // exact: a power of two
  if (!(scaled >= -32768.0 && scaled <= 32767.0)) {
    return nullptr;
  }
  const auto s = static_cast<std::int32_t>(scaled);
  if (s != scaled || (s == 0 && std::signbit(value))) {
    return nullptr;
  }
  return &table.entries[s + 32768];
}
