#include "driver/dump_csv.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/io_error.hpp"
#include "driver/sample_text.hpp"
#include "platform/files.hpp"
#include "wav/wave_header.hpp"
#include "wav/wave_sink.hpp"

namespace {

constexpr std::int32_t text_piece_samples = 4096;
constexpr std::size_t usual_line = 9 + platform::text_line_end.size();  // "-W.DDDDDD"
constexpr std::size_t usual_room = platform::large_page_bytes;
constexpr std::size_t longest_room = std::size_t{dump_block_samples} * max_sample_line;
static_assert((dump_block_samples - text_piece_samples) * usual_line +
                      text_piece_samples * max_sample_line <=
                  usual_room,
              "a block of usual lines must never leave the large page");

}  // namespace

block_text_room::block_text_room() : usual_(make_large_buffer(usual_room / sizeof(double))) {}

std::string_view block_text_room::write(const double* samples, std::int32_t count) {
  // The page is doubles; text may live in any object's bytes.
  char* text = longest_ ? longest_.get() : reinterpret_cast<char*>(usual_.get());
  char* room_end = text + (longest_ ? longest_room : usual_room);
  char* out = text;
  for (std::int32_t n = 0; n < count; n += text_piece_samples) {
    const std::int32_t piece = std::min(text_piece_samples, count - n);
    if (!longest_ && static_cast<std::size_t>(room_end - out) <
                         static_cast<std::size_t>(piece) * max_sample_line) {
      longest_ = std::make_unique_for_overwrite<char[]>(longest_room);
      std::memcpy(longest_.get(), text, static_cast<std::size_t>(out - text));
      out = longest_.get() + (out - text);
      text = longest_.get();
    }
    out = write_sample_text(out, samples + n, piece);
  }
  return {text, static_cast<std::size_t>(out - text)};
}

block_writing::dump block_writing::start_dump(output_file& file) {
  platform::file_facts facts{};
  const bool described = platform::describe(file.file, &facts);
  return {&file, described && facts.positioned, described && facts.regular};
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

stretch_writer::stretch_writer(worker_pool& pool, output_file& before, output_file& after,
                               output_file* sound)
    : pool_(pool),
      sound_(sound),
      before_(writing_.start_dump(before)),
      after_(writing_.start_dump(after)) {
  text_rooms_.resize(static_cast<std::size_t>(pool.workers()));
  for (int worker = 0; worker < pool.workers(); ++worker) {
    // Left unset: a short recording touches only the part it uses.
    sound_buffers_.push_back(
        std::make_unique_for_overwrite<std::uint8_t[]>(2 * std::size_t{dump_block_samples}));
  }
}

bool stretch_writer::write_sound(std::uint64_t k, const double* out, std::int64_t start,
                                 std::int32_t length, std::uint8_t* bytes) {
  try {
    write_wave_samples(*sound_, out, start, length, bytes);
  } catch (const io_error& error) {
    writing_.fail(3 * k + 2, error.what());
    return false;
  }
  return true;
}

// Block k of the run is k-th in each file: 3k, 3k + 1 and 3k + 2 in the
// order one thread writing everything would follow. The system takes
// writes to one file one at a time, so the work comes in two lanes, the
// input dump with the sound and the output dump: each worker starts on one
// and takes the other's blocks once its own are done.
void stretch_writer::write(const double* in, const double* out, std::int64_t begin,
                           std::int64_t end) {
  const std::int64_t blocks = (end - begin + dump_block_samples - 1) / dump_block_samples;
  std::atomic<std::int64_t> next_block[2] = {0, 0};
  pool_.run([&](int worker) {
    block_text_room& room = text_rooms_[static_cast<std::size_t>(worker)];
    std::uint8_t* bytes = sound_buffers_[worker].get();
    for (int turn = 0; turn < 2; ++turn) {
      const int lane = (worker + turn) % 2;
      for (std::int64_t b; (b = next_block[lane].fetch_add(1)) < blocks;) {
        const std::int64_t offset = b * dump_block_samples;
        const auto length = static_cast<std::int32_t>(
            std::min<std::int64_t>(dump_block_samples, end - begin - offset));
        const std::uint64_t k = blocks_done_ + static_cast<std::uint64_t>(b);
        block_writing::dump& dump = lane == 0 ? before_ : after_;
        const std::string_view text = room.write((lane == 0 ? in : out) + offset, length);
        if (!writing_.write_block(dump, k, text.data(), text.size(),
                                  3 * k + static_cast<std::uint64_t>(lane))) {
          return;
        }
        if (lane == 0 && sound_ != nullptr &&
            !write_sound(k, out + offset, begin + offset, length, bytes)) {
          return;
        }
      }
    }
  });
  blocks_done_ += static_cast<std::uint64_t>(blocks);
  writing_.report();
  if (sound_ != nullptr) {
    // The sound must be on the disk before it takes the earlier one's
    // place; its writing out starts now rather than all at the end.
    platform::start_writing_out(sound_->file,
                                wave_header_size + 2 * static_cast<std::uint64_t>(begin),
                                2 * static_cast<std::uint64_t>(end - begin));
  }
}

void stretch_writer::end_dumps() {
  for (const block_writing::dump* dump : {&before_, &after_}) {
    if (dump->regular) {
      set_output_size(*dump->file, dump->next_offset);
    }
  }
}

void dump_csv(output_file& before, output_file& after, const wave_data* in, const wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  {
    worker_pool pool(useful_workers());
    stretch_writer writer(pool, before, after, nullptr);
    writer.write(in->samples.get(), out->samples.get(), 0, count);
    writer.end_dumps();
  }
  close_output(before, false);
  close_output(after, false);
}
