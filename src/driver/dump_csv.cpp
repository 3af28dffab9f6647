#include "driver/dump_csv.hpp"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "core/io_error.hpp"
#include "core/two_cores.hpp"
#include "driver/sample_text.hpp"

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
      std::memcpy(p, platform::text_line_end.data(), platform::text_line_end.size());
      p += platform::text_line_end.size();
    }
  }
  return p;
}

constexpr std::int32_t block_samples = 16384;

// A block's text. The buffer is sized for the longest lines, but only the
// part a block uses is touched.
std::unique_ptr<char[]> block_buffer() {
  return std::unique_ptr<char[]>(new char[block_samples * max_sample_line]);
}

[[noreturn]] void fail_to_write(const text_file& file) {
  throw io_error(file.name, "cannot write: " + platform::failure_reason());
}

// One dump, block after block: for a device or a pipe, which cannot be
// written at an offset, and where there is only one core.
void write_dump_in_order(const text_file& file, const double* samples, std::int32_t count,
                         bool placeable) {
  const std::unique_ptr<char[]> buffer = block_buffer();
  std::uint64_t offset = 0;
  for (std::int32_t start = 0; start < count; start += block_samples) {
    const std::int32_t length = std::min(block_samples, count - start);
    const char* end = write_lines(buffer.get(), samples + start, length);
    const auto size = static_cast<std::size_t>(end - buffer.get());
    const bool written = placeable ? platform::write_at(file.file, buffer.get(), size, offset)
                                   : platform::write_next(file.file, buffer.get(), size);
    if (!written) {
      fail_to_write(file);
    }
    offset += size;
  }
}

// One dump on two cores. The blocks are formatted by the two threads in
// turn and each is written in place at the offset where the block before it
// ends: a block waits only for the length of the one before, never for its
// text to be written. The file ends up byte for byte as the in-order loop
// writes it.
struct shared_dump {
  platform::file file;
  const double* samples;
  std::int32_t count;
  std::mutex mutex{};  // guards what follows
  std::condition_variable placed{};
  std::int64_t placed_blocks = 0;  // blocks whose offset is known
  std::uint64_t next_offset = 0;   // where the next block goes
  bool failed = false;
  std::string reason{};
};

void write_every_other_block(shared_dump& dump, std::int32_t first) {
  const std::unique_ptr<char[]> buffer = block_buffer();
  const std::int64_t blocks = (std::int64_t{dump.count} + block_samples - 1) / block_samples;
  for (std::int64_t k = first; k < blocks; k += 2) {
    const std::int64_t start = k * block_samples;
    const auto length =
        static_cast<std::int32_t>(std::min<std::int64_t>(block_samples, dump.count - start));
    const char* end = write_lines(buffer.get(), dump.samples + start, length);
    const auto size = static_cast<std::size_t>(end - buffer.get());

    // Wait for block k - 1 to be placed, then place this one after it.
    std::uint64_t offset = 0;
    {
      std::unique_lock<std::mutex> lock(dump.mutex);
      dump.placed.wait(lock, [&] { return dump.placed_blocks >= k || dump.failed; });
      if (dump.failed) {
        return;  // the other thread failed
      }
      offset = dump.next_offset;
      dump.next_offset += size;
      dump.placed_blocks = k + 1;
    }
    dump.placed.notify_all();

    if (!platform::write_at(dump.file, buffer.get(), size, offset)) {
      {
        const std::lock_guard<std::mutex> lock(dump.mutex);
        if (!dump.failed) {
          dump.failed = true;
          dump.reason = platform::failure_reason();
        }
      }
      dump.placed.notify_all();
      return;
    }
  }
}

void write_dump(text_file& file, const double* samples, std::int32_t count) {
  platform::file_facts facts{};
  const bool placeable = platform::describe(file.file, &facts) && facts.positioned;
  // The two threads wait on each other's blocks: without a second one,
  // the blocks go in order.
  shared_dump dump{file.file, samples, count};
  if (!placeable || !run_together([&] { write_every_other_block(dump, 0); },
                                  [&] { write_every_other_block(dump, 1); })) {
    write_dump_in_order(file, samples, count, placeable);
  } else if (dump.failed) {
    throw io_error(file.name, "cannot write: " + dump.reason);
  }
  if (!platform::close_file(file.file)) {
    fail_to_write(file);
  }
}

}  // namespace

text_file::~text_file() { platform::close_file(file); }

text_file create_text_file(const char* name) {
  text_file file = open_text_file(name);
  empty_text_file(file);
  return file;
}

text_file open_text_file(const char* name) {
  text_file file{platform::open_for_writing(name), name};
  if (!file.file.is_open()) {
    throw io_error(name, "cannot create: " + platform::failure_reason());
  }
  return file;
}

void empty_text_file(text_file& file) {
  if (!platform::empty_file(file.file, file.name.c_str())) {
    throw io_error(file.name, "cannot empty: " + platform::failure_reason());
  }
}

void dump_csv(text_file& before, text_file& after, const wave_data* in, const wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  write_dump(before, in->samples.get(), count);
  write_dump(after, out->samples.get(), count);
}
