// The run a stretch at a time. Each stretch of outputs [begin, end) goes
// through three steps, each shared by the two cores:
//
//   read     the input it reads, [begin − before, end + after), into the
//            window; what the window already holds of it is kept
//   apply    the effect, half of the stretch on each core
//   write    its dump lines and WAV samples, a block at a time, the cores
//            taking every other block
//
// The window and the output stretch are the only sample buffers, so memory
// depends on the reach of the effect (the reverb's five seconds), never on
// the length of the recording.

#include "driver/stream_run.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "core/io_error.hpp"
#include "core/two_cores.hpp"
#include "wav/wave_header.hpp"

namespace {

// Outputs per stretch, a whole number of dump blocks: enough that carrying
// the history over to the next stretch (at most twice a stretch) costs
// little. A history longer than the recording (at rates of megahertz) is
// never carried over: the window then grows to hold all of it.
std::int64_t stretch_samples(const input_reach& reach, std::int32_t count) {
  std::int64_t blocks = 64;
  if (reach.before < count) {
    blocks = std::max<std::int64_t>(blocks, reach.before / 2 / dump_block_samples + 1);
  }
  return blocks * dump_block_samples;
}

// Input samples [first, end) of the record, as doubles.
struct input_window {
  std::unique_ptr<double[]> samples;
  std::int64_t first = 0;
  std::int64_t end = 0;
};

// [from, to) split into `parts` nearly equal pieces: piece `part`.
std::pair<std::int64_t, std::int64_t> piece(std::int64_t from, std::int64_t to, int part,
                                            int parts) {
  const std::int64_t length = to - from;
  return {from + length * part / parts, from + length * (part + 1) / parts};
}

}  // namespace

void stream_effect(const wave_source& input, const stretch_effect& effect, text_file& before,
                   text_file& after, replacement_file& sound) {
  const std::int32_t count = input.sample_count;
  const input_reach reach = effect.apply ? effect.reach : input_reach{};
  const std::int64_t stretch =
      std::min<std::int64_t>(stretch_samples(reach, count), std::max(count, 1));
  const std::int64_t capacity =
      std::min<std::int64_t>(count, reach.before + stretch + reach.after);

  input_window window{std::unique_ptr<double[]>(new double[std::max<std::int64_t>(capacity, 1)])};
  // Zeros, for a key that matches no effect.
  const std::unique_ptr<double[]> output(new double[stretch]());

  const auto header = wave_header(input.sample_rate, input.bits_per_sample, count);
  write_replacement_at(sound, header.data(), header.size(), 0);

  worker_pair pair;
  const int workers = pair.workers();
  std::vector<std::unique_ptr<char[]>> text_buffers;
  std::vector<std::vector<std::uint8_t>> sound_buffers;
  for (int worker = 0; worker < workers; ++worker) {
    text_buffers.push_back(dump_block_buffer());
    sound_buffers.emplace_back(2 * static_cast<std::size_t>(dump_block_samples));
  }
  block_writing writing;
  block_writing::dump before_dump = writing.start_dump(before);
  block_writing::dump after_dump = writing.start_dump(after);

  for (std::int64_t begin = 0; begin < count; begin += stretch) {
    const std::int64_t end = std::min<std::int64_t>(count, begin + stretch);

    // Read: keep what the window holds of [first, last), read the rest.
    const std::int64_t first = reach.window_first(begin);
    const std::int64_t last = reach.window_end(end, count);
    const std::int64_t kept = std::max<std::int64_t>(0, window.end - first);
    if (kept > 0 && first != window.first) {
      std::memmove(window.samples.get(), window.samples.get() + (first - window.first),
                   static_cast<std::size_t>(kept) * sizeof(double));
    }
    window.first = first;
    const std::int64_t read_from = first + kept;
    window.end = last;
    pair.run([&](int worker) {
      const auto [from, to] = piece(read_from, last, worker, workers);
      read_wave_samples(input, from, to - from, window.samples.get() + (from - first));
    });
    const sample_window in{window.samples.get(), first, last - first, count, input.sample_rate};

    // Apply.
    if (effect.apply) {
      pair.run([&](int worker) {
        const auto [from, to] = piece(begin, end, worker, workers);
        effect.apply(in, output.get() + (from - begin), from, to);
      });
    }

    // Write. Block k of the whole run is k-th in each dump. The system
    // takes writes to one file one at a time, so each worker keeps to a
    // file of its own (the input dump and the sound, or the output dump)
    // and helps with the other's only once its own is done.
    const std::int64_t first_block = begin / dump_block_samples;
    const std::int64_t blocks = (end - begin + dump_block_samples - 1) / dump_block_samples;
    std::atomic<std::int64_t> next_block[2] = {0, 0};
    pair.run([&](int worker) {
      char* text = text_buffers[worker].get();
      std::uint8_t* bytes = sound_buffers[worker].data();
      for (;;) {
        int side = worker;
        std::int64_t b = next_block[side].fetch_add(1);
        if (b >= blocks) {
          side = 1 - worker;
          b = next_block[side].fetch_add(1);
          if (b >= blocks) {
            return;
          }
        }
        const std::int64_t start = begin + b * dump_block_samples;
        const auto length =
            static_cast<std::int32_t>(std::min<std::int64_t>(dump_block_samples, end - start));
        const auto k = static_cast<std::uint64_t>(first_block + b);
        const double* out = output.get() + (start - begin);
        if (side == 0) {
          const char* text_end = write_sample_lines(text, in.at(start), length);
          if (!writing.write_block(before_dump, k, text,
                                   static_cast<std::size_t>(text_end - text), 3 * k)) {
            return;
          }
          store_wave_samples(out, length, bytes);
          try {
            write_replacement_at(sound, bytes, 2 * static_cast<std::size_t>(length),
                                 header.size() + 2 * static_cast<std::uint64_t>(start));
          } catch (const io_error& error) {
            writing.fail(3 * k + 2, error.what());
            return;
          }
        } else {
          const char* text_end = write_sample_lines(text, out, length);
          if (!writing.write_block(after_dump, k, text, static_cast<std::size_t>(text_end - text),
                                   3 * k + 1)) {
            return;
          }
        }
      }
    });
    writing.report();
    // The sound must be on the disk before it takes the earlier one's
    // place; its writing out starts now rather than all at the end.
    platform::start_writing_out(sound.file, header.size() + 2 * static_cast<std::uint64_t>(begin),
                                2 * static_cast<std::uint64_t>(end - begin));
  }
  close_text_file(before);
  close_text_file(after);
  close_replacement(sound);
}
