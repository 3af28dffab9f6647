#include "driver/dump_csv.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "driver/sample_text.hpp"
#include "driver/side_by_side.hpp"
#include "wav/io_error.hpp"

namespace {

// Writes the lines of `count` samples from `p` on and returns the end.
// Held 16-bit values (all of the input, and much of many outputs) come from
// the table; the rest are formatted.
char* write_lines(char* p, const double* samples, std::int32_t count) {
  const s16_text_table& table = s16_texts();
  for (std::int32_t n = 0; n < count; ++n) {
    if (char* end = write_s16_line(table, samples[n], p)) {
      p = end;
    } else {
      p += format_sample(samples[n], p);
      *p++ = '\n';
    }
  }
  return p;
}

// One dump from start to end: its lines a block at a time, so that the text
// in memory stays small whatever the length of the sound (the buffer is
// sized for the longest texts, but only the part a block uses is touched),
// then the close.
void write_dump(text_file& file, const double* samples, std::int32_t count) {
  constexpr std::int32_t block = 16384;
  const std::unique_ptr<char[]> buffer(new char[block * (max_sample_text + 1)]);
  for (std::int32_t start = 0; start < count; start += block) {
    const std::int32_t length = std::min(block, count - start);
    const char* end = write_lines(buffer.get(), samples + start, length);
    const auto size = static_cast<std::size_t>(end - buffer.get());
    if (std::fwrite(buffer.get(), 1, size, file.stream.get()) != size) {
      throw io_error(file.name, "cannot write: " + system_reason(errno));
    }
  }
  // Buffered bytes and delayed errors surface at the flush and the close.
  const bool failed = std::fflush(file.stream.get()) != 0 || std::ferror(file.stream.get()) != 0;
  const int error_number = errno;
  const bool close_failed = std::fclose(file.stream.release()) != 0;
  if (failed || close_failed) {
    throw io_error(file.name, "cannot write: " + system_reason(failed ? error_number : errno));
  }
}

}  // namespace

text_file create_text_file(const char* name) {
  text_file file = open_text_file(name);
  empty_text_file(file);
  return file;
}

text_file open_text_file(const char* name) {
  const int descriptor = open(name, O_WRONLY | O_CREAT, 0666);
  if (descriptor < 0) {
    throw io_error(name, "cannot create: " + system_reason(errno));
  }
  text_file file{std::unique_ptr<std::FILE, stream_closer>(fdopen(descriptor, "w")), name};
  if (!file.stream) {
    const int error_number = errno;
    close(descriptor);
    throw io_error(name, "cannot create: " + system_reason(error_number));
  }
  return file;
}

void empty_text_file(text_file& file) {
  if (ftruncate(fileno(file.stream.get()), 0) != 0) {
    throw io_error(file.name, "cannot empty: " + system_reason(errno));
  }
}

void dump_csv(text_file& before, text_file& after, const wave_data* in, const wave_data* out) {
  // Formatting and the kernel's copying are most of a run's work; with two
  // cores the two files share it.
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  run_side_by_side([&] { write_dump(before, in->samples.get(), count); },
                   [&] { write_dump(after, out->samples.get(), count); });
}
