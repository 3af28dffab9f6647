#include "driver/dump_csv.hpp"

#include <algorithm>

#include "core/io_error.hpp"
#include "core/two_cores.hpp"
#include "driver/sample_text.hpp"

std::unique_ptr<char[]> dump_block_buffer() {
  // Sized for the longest lines, but only the part a block uses is touched.
  return std::unique_ptr<char[]>(new char[dump_block_samples * max_sample_line]);
}

// Held 16-bit values (all of the input, and much of many outputs) come from
// the table; the rest are formatted.
char* write_sample_lines(char* p, const double* samples, std::int32_t count) {
  return write_sample_text(p, samples, count);
}

block_writing::dump block_writing::start_dump(text_file& file) {
  platform::file_facts facts{};
  return {&file, platform::describe(file.file, &facts) && facts.positioned};
}

bool block_writing::write_block(dump& to, std::uint64_t k, const char* text, std::size_t size,
                                std::uint64_t order) {
  std::uint64_t offset = 0;
  {
    // After a failure, only the blocks before it go on: one of them may
    // fail first. Each waits on earlier blocks alone, which go on too.
    std::unique_lock<std::mutex> lock(mutex_);
    const auto stopped_before_this = [&] { return failed_ && failure_order_ < order; };
    placed_.wait(lock, [&] { return to.placed_blocks >= k || stopped_before_this(); });
    if (stopped_before_this()) {
      return false;
    }
    offset = to.next_offset;
    to.next_offset += size;
    if (to.positioned) {
      to.placed_blocks = k + 1;
    }
  }
  if (to.positioned) {
    placed_.notify_all();
  }
  const bool written = to.positioned ? platform::write_at(to.file->file, text, size, offset)
                                     : platform::write_next(to.file->file, text, size);
  if (!written) {
    fail(order, to.file->name + ": cannot write: " + platform::failure_reason());
    return false;
  }
  if (!to.positioned) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      to.placed_blocks = k + 1;
    }
    placed_.notify_all();
  }
  return true;
}

void block_writing::fail(std::uint64_t order, const std::string& message) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_ || order < failure_order_) {
      failure_order_ = order;
      failure_ = message;
    }
    failed_ = true;
  }
  placed_.notify_all();
}

void block_writing::report() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) {
    throw io_error(failure_);
  }
}

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

void close_text_file(text_file& file) {
  if (!platform::close_file(file.file)) {
    throw io_error(file.name, "cannot write: " + platform::failure_reason());
  }
}

void dump_csv(text_file& before, text_file& after, const wave_data* in, const wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  const std::int64_t blocks = (std::int64_t{count} + dump_block_samples - 1) / dump_block_samples;
  block_writing writing;
  worker_pair pair;
  const double* sources[] = {in->samples.get(), out->samples.get()};
  text_file* files[] = {&before, &after};
  for (int which = 0; which < 2; ++which) {
    block_writing::dump dump = writing.start_dump(*files[which]);
    pair.run([&](int worker) {
      const std::unique_ptr<char[]> buffer = dump_block_buffer();
      for (std::int64_t k = worker; k < blocks; k += pair.workers()) {
        const std::int64_t start = k * dump_block_samples;
        const auto length =
            static_cast<std::int32_t>(std::min<std::int64_t>(dump_block_samples, count - start));
        const char* end = write_sample_lines(buffer.get(), sources[which] + start, length);
        if (!writing.write_block(dump, static_cast<std::uint64_t>(k), buffer.get(),
                                 static_cast<std::size_t>(end - buffer.get()),
                                 static_cast<std::uint64_t>(which * blocks + k))) {
          return;
        }
      }
    });
    writing.report();
    close_text_file(*files[which]);
  }
}
