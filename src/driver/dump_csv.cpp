#include "driver/dump_csv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include "driver/sample_text.hpp"
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
  text_file file{std::unique_ptr<std::FILE, stream_closer>(std::fopen(name, "w")), name};
  if (!file.stream) {
    throw io_error(name, "cannot create: " + system_reason(errno));
  }
  return file;
}

void dump_csv(text_file& before, text_file& after, const wave_data* in, const wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  std::exception_ptr after_failure;
  auto dump_after = [&] {
    try {
      write_dump(after, out->samples.get(), count);
    } catch (...) {
      after_failure = std::current_exception();
    }
  };
  // Formatting and the kernel's copying are most of a run's work; with two
  // cores the two files share it.
  std::thread helper;
  if (std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::thread(dump_after);
    } catch (const std::system_error&) {
      // no second thread to be had: both files on this one
    }
  }
  std::exception_ptr before_failure;
  try {
    write_dump(before, in->samples.get(), count);
  } catch (...) {
    before_failure = std::current_exception();
  }
  if (helper.joinable()) {
    helper.join();
  } else {
    dump_after();
  }
  if (before_failure) {
    std::rethrow_exception(before_failure);
  }
  if (after_failure) {
    std::rethrow_exception(after_failure);
  }
}
