#include "driver/dump_csv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "driver/sample_text.hpp"
#include "wav/io_error.hpp"

namespace {

// Writes the texts of `count` samples from `p` on and returns the end.
// Held 16-bit values (all of the input, and much of many outputs) come from
// the table; the rest are formatted.
char* write_texts(char* p, const double* samples, std::int32_t count) {
  const s16_text_table& table = s16_texts();
  for (std::int32_t n = 0; n < count; ++n) {
    if (const s16_text_table::entry* entry = find_s16_text(table, samples[n])) {
      std::memcpy(p, entry->text, sizeof entry->text);  // fixed width; only length counts
      p += entry->length;
    } else {
      p += format_sample(samples[n], p);
      *p++ = '\n';
    }
  }
  return p;
}

void write_text(const text_file& file, const char* text, const char* end) {
  const auto size = static_cast<std::size_t>(end - text);
  if (std::fwrite(text, 1, size, file.stream) != size) {
    throw io_error(file.name, "cannot write: " + system_reason(errno));
  }
}

}  // namespace

void dump_csv(const text_file& before, const text_file& after, const wave_data* in,
              const wave_data* out) {
  // A block at a time, so that the text in memory stays small whatever the
  // length of the sound. The buffer is sized for the longest texts but only
  // the part a block uses is ever touched.
  constexpr std::int32_t block = 16384;
  const std::unique_ptr<char[]> buffer(new char[block * (max_sample_text + 1)]);
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  for (std::int32_t start = 0; start < count; start += block) {
    const std::int32_t length = std::min(block, count - start);
    write_text(before, buffer.get(), write_texts(buffer.get(), in->samples.get() + start, length));
    write_text(after, buffer.get(), write_texts(buffer.get(), out->samples.get() + start, length));
  }
}
