#include "driver/dump_csv.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

#include "driver/sample_text.hpp"
#include "wav/io_error.hpp"
#include "wav/side_by_side.hpp"

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

constexpr std::int32_t block_samples = 16384;

// A block's text, at most max_sample_text + 1 bytes a line. The buffer is
// sized for the longest texts, but only the part a block uses is touched.
std::unique_ptr<char[]> block_buffer() {
  return std::unique_ptr<char[]>(new char[block_samples * (max_sample_text + 1)]);
}

// Closes a dump; buffered bytes and delayed errors surface at the flush and
// the close.
void close_dump(text_file& file) {
  const bool failed = std::fflush(file.stream.get()) != 0 || std::ferror(file.stream.get()) != 0;
  const int error_number = errno;
  const bool close_failed = std::fclose(file.stream.release()) != 0;
  if (failed || close_failed) {
    throw io_error(file.name, "cannot write: " + system_reason(failed ? error_number : errno));
  }
}

// One dump, block after block through the stream: for a file that cannot
// be written at an offset, and where there is only one core.
void write_dump_in_order(text_file& file, const double* samples, std::int32_t count) {
  const std::unique_ptr<char[]> buffer = block_buffer();
  for (std::int32_t start = 0; start < count; start += block_samples) {
    const std::int32_t length = std::min(block_samples, count - start);
    const char* end = write_lines(buffer.get(), samples + start, length);
    const auto size = static_cast<std::size_t>(end - buffer.get());
    if (std::fwrite(buffer.get(), 1, size, file.stream.get()) != size) {
      throw io_error(file.name, "cannot write: " + system_reason(errno));
    }
  }
}

// One dump on two cores. The blocks are formatted by the two threads in
// turn and each is written in place (pwrite) at the offset where the block
// before it ends: a block waits only for the length of the one before, never
// for its formatting to be written. The file ends up byte for byte as the
// in-order loop writes it.
struct shared_dump {
  int descriptor;
  const double* samples;
  std::int32_t count;
  std::atomic<std::int64_t> placed_blocks{0};  // blocks whose offset is known
  std::int64_t next_offset = 0;                // where the next block goes
  std::atomic<bool> failed{false};
  int error_number = 0;  // set by the thread that sets `failed`
};

constexpr std::int64_t all_placed = std::numeric_limits<std::int64_t>::max();

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
    for (std::int64_t placed = dump.placed_blocks.load(); placed < k;
         placed = dump.placed_blocks.load()) {
      dump.placed_blocks.wait(placed);
    }
    if (dump.placed_blocks.load() == all_placed) {
      return;  // the other thread failed
    }
    const std::int64_t offset = dump.next_offset;
    dump.next_offset += static_cast<std::int64_t>(size);
    dump.placed_blocks.store(k + 1);
    dump.placed_blocks.notify_all();

    for (std::size_t done = 0; done < size;) {
      const ssize_t written = pwrite(dump.descriptor, buffer.get() + done, size - done,
                                     static_cast<off_t>(offset) + static_cast<off_t>(done));
      if (written <= 0) {
        if (written < 0 && errno == EINTR) {
          continue;
        }
        if (!dump.failed.exchange(true)) {
          dump.error_number = written < 0 ? errno : EIO;
        }
        dump.placed_blocks.store(all_placed);
        dump.placed_blocks.notify_all();
        return;
      }
      done += static_cast<std::size_t>(written);
    }
  }
}

void write_dump(text_file& file, const double* samples, std::int32_t count) {
  const int descriptor = fileno(file.stream.get());
  const bool placeable = lseek(descriptor, 0, SEEK_CUR) == 0;
  if (!placeable || std::thread::hardware_concurrency() < 2) {
    write_dump_in_order(file, samples, count);
  } else {
    shared_dump dump{descriptor, samples, count};
    run_side_by_side([&] { write_every_other_block(dump, 0); },
                     [&] { write_every_other_block(dump, 1); });
    if (dump.failed.load()) {
      throw io_error(file.name, "cannot write: " + system_reason(dump.error_number));
    }
  }
  close_dump(file);
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

// ext4 writes a file out in full when a descriptor it was emptied through
// is closed (its guard for programs that rewrite a file in place): the
// dump's close would not return before it had handed every page of the
// dump to the disk (a sixth of a second for ten minutes of sound, and the
// writes queued behind it slow what follows). So the dump is emptied
// through a second descriptor of the same file, closed at once while there
// is nothing to write out; the dump's own close later leaves its pages to
// the kernel's usual writeback. Should the name no longer lead to the file
// held open (or not without waiting), the held one is emptied itself.
void empty_text_file(text_file& file) {
  const int held = fileno(file.stream.get());
  struct stat held_status {};
  if (fstat(held, &held_status) == 0 && !S_ISREG(held_status.st_mode)) {
    return;  // a device or a pipe (say /dev/null) has nothing to empty
  }
  const int other = open(file.name.c_str(), O_WRONLY | O_NONBLOCK);
  struct stat other_status {};
  const bool same_file = other >= 0 && fstat(other, &other_status) == 0 &&
                         held_status.st_dev == other_status.st_dev &&
                         held_status.st_ino == other_status.st_ino;
  const int emptied = same_file ? other : held;
  const bool failed = ftruncate(emptied, 0) != 0;
  const int error_number = errno;
  if (other >= 0) {
    close(other);
  }
  if (failed) {
    throw io_error(file.name, "cannot empty: " + system_reason(error_number));
  }
}

void dump_csv(text_file& before, text_file& after, const wave_data* in, const wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  write_dump(before, in->samples.get(), count);
  write_dump(after, out->samples.get(), count);
}
