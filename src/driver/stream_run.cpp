// The run a stretch at a time. Each stretch of outputs [begin, end) goes
// through three steps, each shared by the workers:
//
//   read     the input it reads, [begin − before, end + after), into the
//            window; what the window already holds of it is kept
//   apply    the effect, a piece of the stretch on each worker
//   write    its dump lines and WAV samples, a block at a time
//
// The window and the output stretch are the only sample buffers, so memory
// depends on the reach of the effect (the reverb's five seconds), never on
// the length of the recording.

#include "driver/stream_run.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/disk_flusher.hpp"
#include "core/large_buffer.hpp"
#include "driver/dump_csv.hpp"
#include "wav/wave_sink.hpp"

namespace {

// Input samples [first, end) of the record, as doubles. A history longer
// than the recording (at rates of megahertz) is never carried over: the
// window then holds all of the recording.
class input_window {
 public:
  input_window(const input_reach& reach, std::int64_t stretch, std::int32_t count)
      : samples_(make_large_buffer(static_cast<std::size_t>(
            std::min<std::int64_t>(count, reach.before + stretch + reach.after)))) {}

  // Reads what outputs [begin, end) read into the window, keeping what it
  // holds of it already, and returns the window.
  sample_window read(const wave_source& input, const input_reach& reach, std::int64_t begin,
                     std::int64_t end, worker_pool& pool) {
    const std::int64_t first = reach.window_first(begin);
    const std::int64_t last = reach.window_end(end, input.sample_count);
    if (first < first_ || first >= end_) {
      first_ = end_ = first;  // nothing to keep
    }
    const std::int64_t kept = std::min(end_, last) - first;
    if (first != first_) {
      std::memmove(samples_.get(), samples_.get() + (first - first_),
                   static_cast<std::size_t>(kept) * sizeof(double));
    }
    first_ = first;
    end_ = last;
    std::vector<double> peaks(static_cast<std::size_t>(pool.workers()));
    pool.run([&](int worker) {
      const auto [from, to] = piece_of(first + kept, last, worker, pool.workers());
      peaks[static_cast<std::size_t>(worker)] =
          read_wave_samples(input, from, to - from, samples_.get() + (from - first));
    });
    peak_ = std::max(peak_, *std::max_element(peaks.begin(), peaks.end()));
    return {samples_.get(),    first, last - first, input.sample_count,
            input.sample_rate, true,  peak_};
  }

 private:
  large_buffer samples_;
  std::int64_t first_ = 0;
  std::int64_t end_ = 0;
  double peak_ = 0.0;  // the largest magnitude read so far: a bound for all the window holds
};

}  // namespace

std::uint64_t sound_flush_interval(std::int32_t count) {
  const std::uint64_t sound_bytes = 2 * static_cast<std::uint64_t>(std::max(count, 0));
  return std::clamp<std::uint64_t>(sound_bytes / 4, std::uint64_t{1} << 20, std::uint64_t{8} << 20);
}

std::int64_t stretch_samples(const input_reach& reach, std::int32_t count) {
  // Each stretch costs a hand-over between the workers and a request to
  // start writing the sound out, and a longer one falls out of the caches;
  // four blocks give the workers enough in each lane to end a stretch
  // together.
  std::int64_t blocks = 4;
  if (reach.before < count) {
    blocks = std::max<std::int64_t>(blocks, 4 * reach.before / dump_block_samples + 1);
  }
  return blocks * dump_block_samples;
}

void stream_effect(const wave_source& input, const chosen_effect& effect, const run_files& files,
                   worker_pool& pool, std::int64_t stretch) {
  const std::int32_t count = input.sample_count;
  const input_reach reach = effect.reach(input.sample_rate);
  stretch = std::clamp<std::int64_t>(stretch, 1, std::max(count, 1));
  input_window window(reach, stretch, count);
  const large_buffer output = make_large_buffer(static_cast<std::size_t>(stretch));
  std::fill(output.get(), output.get() + stretch, 0.0);  // what no effect leaves
  stretch_writer writer(pool, files.before, files.after, &files.sound);
  write_wave_header(files.sound, input.sample_rate, input.bits_per_sample, count);
  disk_flusher flusher(files.sound, sound_flush_interval(count));

  for (std::int64_t begin = 0; begin < count; begin += stretch) {
    const std::int64_t end = std::min<std::int64_t>(count, begin + stretch);
    const sample_window in = window.read(input, reach, begin, end, pool);
    if (effect.description != nullptr) {
      pool.run([&](int worker) {
        const auto [from, to] = piece_of(begin, end, worker, pool.workers());
        effect.description->apply_stretch(in, output.get() + (from - begin), from, to,
                                          effect.settings);
      });
    }
    writer.write(in.at(begin), output.get(), begin, end);
    flusher.written(2 * static_cast<std::uint64_t>(end - begin));
  }
  writer.end_dumps();
  close_output(files.before, false);
  close_output(files.after, false);
  flusher.finish();
  close_output(files.sound, true);
}
