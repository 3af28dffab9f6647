#pragma once

// The run's effect, dumps and sound, a stretch at a time: memory stays
// bounded whatever the length of the recording.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>

#include "driver/dump_csv.hpp"
#include "effects/effects.hpp"
#include "wav/replace_file.hpp"
#include "wav/wave_source.hpp"

// An effect as the run applies it: what it reads around a stretch of
// outputs, and how it computes them (apply_*_stretch). Without `apply` the
// output is silent.
struct stretch_effect {
  input_reach reach;
  std::function<void(const sample_window& in, double* out, std::int64_t begin, std::int64_t end)>
      apply;
};

// Last run's dumps, each emptied on a thread of its own. Emptying a long
// dump is mostly waiting for the disk (the system frees its blocks; two at
// once go faster than one after the other), and the run has other work
// meanwhile. Without a thread to be had, a dump is emptied at once.
class dump_emptying {
 public:
  dump_emptying(text_file& before, text_file& after);
  dump_emptying(const dump_emptying&) = delete;
  dump_emptying& operator=(const dump_emptying&) = delete;
  ~dump_emptying();  // waits for the emptying

  bool done() const { return left_.load() == 0; }
  // Waits for the emptying; throws io_error if it failed (the first dump's
  // failure before the second's).
  void finish();

 private:
  void join();

  std::atomic<int> left_{2};
  std::exception_ptr failures_[2];
  std::thread threads_[2];
};

// How the stream learns that the dumps may be written: `ready` tells
// without waiting, `wait` waits and throws io_error if they cannot be
// (as dump_emptying's done and finish do).
struct dumps_ready {
  std::function<bool()> ready;
  std::function<void()> wait;
};

// Reads `input` a stretch at a time, applies `effect`, and writes the input
// samples to `before`, the output samples to `after` (as dump_csv does) and
// the output sound under `sound`'s temporary name (as write_wave does),
// then closes all three, checking that every byte reached its file. Until
// the dumps are ready the sound alone is written, and its stretches are
// computed again for the dumps. Throws io_error with the first failure (the
// dumps' wait before any other).
void stream_effect(const wave_source& input, const stretch_effect& effect, const dumps_ready& dumps,
                   text_file& before, text_file& after, replacement_file& sound);
