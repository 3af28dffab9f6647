#pragma once

// The run's files written a stretch at a time: the dumps' text and the
// sound's samples, a block at a time, by the workers of a pool.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/large_buffer.hpp"
#include "core/output_file.hpp"
#include "core/wave_record.hpp"
#include "core/worker_pool.hpp"

// A dump's text is formatted and written in blocks of at most this many
// samples. A block's text is about 600 KB: the system holds what one write
// brings in pieces of memory as large as the write allows, and large
// pieces cost it less to fill, and the next run less to free, than the
// small ones of shorter writes.
inline constexpr std::int32_t dump_block_samples = 65536;

// A worker's room for the text of a block: one large page, mapped ahead,
// which holds a block of usual lines ("-W.DDDDDD"), made a piece at a time
// with room for a piece of the longest lines always left. A block whose
// lines run longer moves on to room for a whole block of the longest
// lines, made when first needed: a worker holds 2 MiB rather than 21.
class block_text_room {
 public:
  block_text_room();

  // The lines of samples[0, count), count at most dump_block_samples.
  std::string_view write(const double* samples, std::int32_t count);

 private:
  large_buffer usual_;
  std::unique_ptr<char[]> longest_;
};

// The blocks of the files, placed in order by whichever threads write them.
// A dump's blocks go one after another, each where the one before it ends:
// a block waits only for the length of the one before it, never for its
// text to be written (except on a device or a pipe, which take text only in
// order). The first failure, in the order in which one thread would have
// met it, is the one reported; it stops the writing.
class block_writing {
 public:
  // One dump: the next block to be placed, and where it goes.
  struct dump {
    output_file* file;
    bool positioned;
    bool regular;  // a file, which has a length of its own
    std::uint64_t placed_blocks = 0;
    std::uint64_t next_offset = 0;
  };
  dump start_dump(output_file& file);

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

// The input samples to `before`, the output samples to `after`, and the
// output to `sound` (if any), a stretch at a time from the first sample on.
class stretch_writer {
 public:
  stretch_writer(worker_pool& pool, output_file& before, output_file& after, output_file* sound);

  // Samples [begin, end), `begin` where the last stretch ended: in[0] and
  // out[0] are sample `begin`. Throws io_error with the first failure.
  void write(const double* in, const double* out, std::int64_t begin, std::int64_t end);

  // Cuts each dump that is a file where its text ends: one written over an
  // earlier file may hold more. Throws io_error.
  void end_dumps();

 private:
  bool write_sound(std::uint64_t k, const double* out, std::int64_t start, std::int32_t length,
                   std::uint8_t* bytes);

  worker_pool& pool_;
  output_file* sound_;
  block_writing writing_;
  block_writing::dump before_;
  block_writing::dump after_;
  std::uint64_t blocks_done_ = 0;
  std::vector<block_text_room> text_rooms_;
  std::vector<std::unique_ptr<std::uint8_t[]>> sound_buffers_;
};

// Writes the input samples to `before` and the output samples to `after`
// (line n holding sample n, no header) and closes both, checking that every
// byte reached its file. Throws io_error naming the first file that failed.
void dump_csv(output_file& before, output_file& after, const wave_data* in, const wave_data* out);
