#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/files.hpp"
#include "wav/wave_data.hpp"

// A text dump, open for writing, with its name for messages; closed at the
// latest when it goes.
struct text_file {
  platform::file file;
  std::string name;

  text_file(platform::file opened, std::string file_name)
      : file(opened), name(std::move(file_name)) {}
  text_file(text_file&& other) noexcept
      : file(std::exchange(other.file, {})), name(std::move(other.name)) {}
  text_file& operator=(text_file&&) = delete;
  ~text_file();
};

// Creates (or truncates) the text file `name`. Throws io_error.
text_file create_text_file(const char* name);

// create_text_file in two steps: open_text_file creates the file, or opens
// it as it is; empty_text_file truncates it (through a descriptor of its
// own, see there). Throw io_error.
text_file open_text_file(const char* name);
void empty_text_file(text_file& file);

// Closes the file, checking that every byte reached it. Throws io_error.
void close_text_file(text_file& file);

// Writes the input samples to `before` and the output samples to `after`,
// one "%f" value per line, line n holding sample n, no header, each line
// ending as a text-mode stream ends it ("\r\n" on Windows), and closes
// both, checking that every byte reached its file. Where there is a second
// core, each file's blocks are formatted and written by two threads in
// turn. Throws io_error naming the first file that failed.
void dump_csv(text_file& before, text_file& after, const wave_data* in, const wave_data* out);

// The pieces dump_csv is made of, for a run that dumps its sounds a stretch
// at a time.

// A dump's text is formatted and written in blocks of at most this many
// samples, each into a buffer from dump_block_buffer().
inline constexpr std::int32_t dump_block_samples = 16384;
std::unique_ptr<char[]> dump_block_buffer();

// Writes the lines of `count` samples from `p` on and returns their end.
char* write_sample_lines(char* p, const double* samples, std::int32_t count);

// The files of a run written block by block, by up to two threads at once.
// The blocks of a dump are placed one after another, each where the one
// before it ends: a block waits only for the length of the one before it,
// never for its text to be written (except on a device or a pipe, which
// take text only in order). The first failure, in the order in which one
// thread would have met it, is the one reported; it stops the writing.
class block_writing {
 public:
  // One dump: the next block to be placed, and where it goes.
  struct dump {
    text_file* file;
    bool positioned;
    std::uint64_t placed_blocks = 0;
    std::uint64_t next_offset = 0;
  };
  dump start_dump(text_file& file);

  // Writes block `k` of `to` (`size` bytes of text) after block k − 1.
  // `order` places the block among all the others: it must grow with k.
  // Returns false, having written nothing, once a failure placed before it
  // has stopped the writing.
  bool write_block(dump& to, std::uint64_t k, const char* text, std::size_t size,
                   std::uint64_t order);

  // Records a failure (`message`, what io_error says) found at `order`.
  void fail(std::uint64_t order, const std::string& message);
  // Throws io_error with the first failure, if there was one.
  void report();

 private:
  std::mutex mutex_;  // guards what follows, and the dumps' counts
  std::condition_variable placed_;
  bool failed_ = false;
  std::uint64_t failure_order_ = 0;
  std::string failure_;
};
