#pragma once

// The text of one dumped sample: what printf's "%f" gives for a double in the
// C locale (six decimals of the exact binary value, rounded half to even,
// "-" before every negative value, negative zero included), whatever locale
// the environment names.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/files.hpp"

// Room enough for the text of any double, "%f" of -DBL_MAX included.
inline constexpr std::size_t max_sample_text = 320;
// And for its line.
inline constexpr std::size_t max_sample_line = max_sample_text + platform::text_line_end.size();

// Writes the text of `value` (no line end) to `out` and returns its length.
std::size_t format_sample(double value, char* out);

// The texts of the held 16-bit values s / 32768, by magnitude: "W.DDDDDD",
// eight characters each (256 KiB, which stays in cache). Looked up instead
// of formatted for the input dump, and for any output sample that is still
// such a value.
struct s16_text_table {
  char text[32769][8];  // indexed by |s|
};
const s16_text_table& s16_texts();

// Writes the line of `value` ("-" for a negative s, the text, the line end) and
// returns its end, when `value` is exactly s / 32768 for a 16-bit s;
// otherwise writes nothing and returns nullptr. Negative zero is not such a
// value: it prints as "-0.000000".
inline char* write_s16_line(const s16_text_table& table, double value, char* out) {
  const double scaled = value * 32768.0;  // exact: a power of two
  if (!(scaled >= -32768.0 && scaled <= 32767.0)) {
    return nullptr;
  }
  const auto s = static_cast<std::int32_t>(scaled);
  if (s != scaled || (s == 0 && std::signbit(value))) {
    return nullptr;
  }
  *out = '-';
  out += s < 0;
  std::memcpy(out, table.text[s < 0 ? -s : s], 8);
  std::memcpy(out + 8, platform::text_line_end.data(), platform::text_line_end.size());
  return out + 8 + platform::text_line_end.size();
}

// Writes the lines of samples[0, count) (each text and its line end) from
// `out` on and returns their end: most values four side by side, held
// values from the table, anything else by format_sample. Room enough is
// count × max_sample_line.
char* write_sample_text(char* out, const double* samples, std::int32_t count);
