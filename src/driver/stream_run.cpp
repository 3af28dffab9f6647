// The run a stretch at a time. Each stretch of outputs [begin, end) goes
// through three steps, each shared by the two cores:
//
//   read     the input it reads, [begin − before, end + after), into the
//            window; what the window already holds of it is kept
//   apply    the effect, half of the stretch on each core
//   write    its dump lines and WAV samples, a block at a time
//
// Last run's dumps take a while to empty, during which they cannot be
// written; the run makes the sound alone meanwhile, as far as it gets, and
// then goes through the recording again for the dumps, making the rest of
// the sound as it goes. A sound made early also reaches the disk early,
// which the end of the run waits for.
//
// The window and the output stretch are the only sample buffers, so memory
// depends on the reach of the effect (the reverb's five seconds), never on
// the length of the recording.

#include "driver/stream_run.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>
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

// Which files a pass over stretches writes.
struct pass_outputs {
  bool dumps;
  bool sound;
};

// Everything the passes share: the input, the effect, the buffers and the
// files.
struct stream {
  const wave_source& input;
  const stretch_effect& effect;
  text_file& before;
  text_file& after;
  replacement_file& sound;

  std::int32_t count = input.sample_count;
  input_reach reach = effect.apply ? effect.reach : input_reach{};
  std::int64_t stretch = std::min<std::int64_t>(stretch_samples(reach, count), std::max(count, 1));
  input_window window{std::unique_ptr<double[]>(new double[std::max<std::int64_t>(
      1, std::min<std::int64_t>(count, reach.before + stretch + reach.after))])};
  std::unique_ptr<double[]> output{new double[stretch]()};  // zeros, for no effect

  worker_pair pair{};
  int workers = pair.workers();
  std::vector<std::unique_ptr<char[]>> text_buffers{};
  std::vector<std::vector<std::uint8_t>> sound_buffers{};
  block_writing writing{};
  block_writing::dump before_dump{};
  block_writing::dump after_dump{};

  stream(const wave_source& in, const stretch_effect& chosen, text_file& before_file,
         text_file& after_file, replacement_file& sound_file)
      : input(in), effect(chosen), before(before_file), after(after_file), sound(sound_file) {
    for (int worker = 0; worker < workers; ++worker) {
      text_buffers.push_back(dump_block_buffer());
      sound_buffers.emplace_back(2 * static_cast<std::size_t>(dump_block_samples));
    }
  }

  // Reads what outputs [begin, end) read into the window, keeping what it
  // holds of it already, and returns the window.
  sample_window read(std::int64_t begin, std::int64_t end) {
    const std::int64_t first = reach.window_first(begin);
    const std::int64_t last = reach.window_end(end, count);
    if (first < window.first || first >= window.end) {
      window.first = window.end = first;  // nothing to keep
    }
    const std::int64_t kept = std::min(window.end, last) - first;
    if (first != window.first) {
      std::memmove(window.samples.get(), window.samples.get() + (first - window.first),
                   static_cast<std::size_t>(kept) * sizeof(double));
    }
    window.first = first;
    window.end = last;
    pair.run([&](int worker) {
      const auto [from, to] = piece(first + kept, last, worker, workers);
      read_wave_samples(input, from, to - from, window.samples.get() + (from - first));
    });
    return {window.samples.get(), first, last - first, count, input.sample_rate};
  }

  void apply(const sample_window& in, std::int64_t begin, std::int64_t end) {
    if (effect.apply) {
      pair.run([&](int worker) {
        const auto [from, to] = piece(begin, end, worker, workers);
        effect.apply(in, output.get() + (from - begin), from, to);
      });
    }
  }

  // The sound's samples from `start` on, a block's worth.
  bool write_sound(std::uint8_t* bytes, const double* out, std::int64_t start, std::int32_t length,
                   std::uint64_t order) {
    store_wave_samples(out, length, bytes);
    try {
      write_replacement_at(sound, bytes, 2 * static_cast<std::size_t>(length),
                           wave_header_size + 2 * static_cast<std::uint64_t>(start));
    } catch (const io_error& error) {
      writing.fail(order, error.what());
      return false;
    }
    return true;
  }

  // Block k of the whole run is k-th in each dump. The system takes writes
  // to one file one at a time, so each worker keeps to a file of its own
  // (the input dump and the sound, or the output dump) and helps with the
  // other's only once its own are done. A failure is placed by its block
  // and file, as one thread writing everything in order would meet it.
  void write(const sample_window& in, std::int64_t begin, std::int64_t end, pass_outputs to) {
    const std::int64_t first_block = begin / dump_block_samples;
    const std::int64_t blocks = (end - begin + dump_block_samples - 1) / dump_block_samples;
    std::atomic<std::int64_t> next_block[2] = {0, 0};
    pair.run([&](int worker) {
      char* text = text_buffers[worker].get();
      std::uint8_t* bytes = sound_buffers[worker].data();
      for (;;) {
        // Without the dumps, both workers share the sound.
        int side = to.dumps ? worker : 0;
        std::int64_t b = next_block[side].fetch_add(1);
        if (b >= blocks && to.dumps) {
          side = 1 - worker;
          b = next_block[side].fetch_add(1);
        }
        if (b >= blocks) {
          return;
        }
        const std::int64_t start = begin + b * dump_block_samples;
        const auto length =
            static_cast<std::int32_t>(std::min<std::int64_t>(dump_block_samples, end - start));
        const auto k = static_cast<std::uint64_t>(first_block + b);
        const double* out = output.get() + (start - begin);
        if (side == 0) {
          if (to.dumps) {
            const char* text_end = write_sample_lines(text, in.at(start), length);
            if (!writing.write_block(before_dump, k, text,
                                     static_cast<std::size_t>(text_end - text), 3 * k)) {
              return;
            }
          }
          if (to.sound && !write_sound(bytes, out, start, length, 3 * k + 2)) {
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
    if (to.sound) {
      // The sound must be on the disk before it takes the earlier one's
      // place; its writing out starts now rather than all at the end.
      platform::start_writing_out(sound.file,
                                  wave_header_size + 2 * static_cast<std::uint64_t>(begin),
                                  2 * static_cast<std::uint64_t>(end - begin));
    }
  }

  void process(std::int64_t begin, pass_outputs to) {
    const std::int64_t end = std::min<std::int64_t>(count, begin + stretch);
    const sample_window in = read(begin, end);
    apply(in, begin, end);
    write(in, begin, end, to);
  }
};

}  // namespace

dump_emptying::dump_emptying(text_file& before, text_file& after) {
  text_file* dumps[] = {&before, &after};
  for (int k = 0; k < 2; ++k) {
    auto empty = [this, k, file = dumps[k]] {
      try {
        empty_text_file(*file);
      } catch (...) {
        failures_[k] = std::current_exception();
      }
      left_.fetch_sub(1);
    };
    try {
      threads_[k] = std::thread(empty);
    } catch (const std::system_error&) {
      empty();
    }
  }
}

dump_emptying::~dump_emptying() { join(); }

void dump_emptying::join() {
  for (std::thread& thread : threads_) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

void dump_emptying::finish() {
  join();
  for (const std::exception_ptr& failure : failures_) {
    if (failure) {
      std::rethrow_exception(failure);
    }
  }
}

void stream_effect(const wave_source& input, const stretch_effect& effect, const dumps_ready& dumps,
                   text_file& before, text_file& after, replacement_file& sound) {
  stream run(input, effect, before, after, sound);
  const auto header = wave_header(input.sample_rate, input.bits_per_sample, run.count);
  write_replacement_at(sound, header.data(), header.size(), 0);

  // The sound alone until the dumps are ready; a failure of theirs comes
  // first.
  std::int64_t sound_made = 0;
  try {
    for (; sound_made < run.count && !dumps.ready(); sound_made += run.stretch) {
      run.process(sound_made, {false, true});
    }
  } catch (...) {
    dumps.wait();
    throw;
  }
  dumps.wait();

  // A sound already complete is flushed to the disk while the dumps are
  // written, rather than after them; the flush at the end then finds
  // little left to do. Its outcome counts there.
  std::thread early_flush;
  if (sound_made >= run.count) {
    try {
      early_flush = std::thread([file = sound.file] { platform::flush_to_disk(file); });
    } catch (const std::system_error&) {
    }
  }
  struct joined {
    std::thread& thread;
    ~joined() {
      if (thread.joinable()) {
        thread.join();
      }
    }
  } join_at_end{early_flush};

  run.before_dump = run.writing.start_dump(before);
  run.after_dump = run.writing.start_dump(after);
  for (std::int64_t begin = 0; begin < run.count; begin += run.stretch) {
    run.process(begin, {true, begin >= sound_made});
  }
  close_text_file(before);
  close_text_file(after);
  if (early_flush.joinable()) {
    early_flush.join();
  }
  close_replacement(sound);
}
