#pragma once

// The run's effect, dumps and sound, a stretch at a time: memory stays
// bounded whatever the length of the recording.

#include <cstdint>

#include "core/output_file.hpp"
#include "core/worker_pool.hpp"
#include "effects/effects.hpp"
#include "wav/wave_source.hpp"

// The effect a run applies, with the replies to its settings; without a
// description the output is silent.
struct chosen_effect {
  const effect_description* description = nullptr;
  effect_settings settings{};

  input_reach reach(std::int32_t sample_rate) const {
    return description != nullptr ? description->reach(sample_rate) : input_reach{};
  }
};

// The files a run writes: the input samples, the output samples, and the
// output sound under its temporary name.
struct run_files {
  output_file& before;
  output_file& after;
  output_file& sound;
};

// Outputs per stretch for an effect of this reach over `count` samples:
// four dump blocks (the run never holds more than the recording), but
// four times a long history (the reverb's five seconds), so that carrying
// it over from one stretch to the next costs little.
std::int64_t stretch_samples(const input_reach& reach, std::int32_t count);

// How much of a sound of `count` samples is written between flushes to the
// disk while the run goes on: a quarter of it, from 1 MiB (12 seconds of
// 44.1 kHz sound) to 8 MiB (95 seconds). The last flush waits for little
// more than this, and the disk is not asked to empty its cache more often.
std::uint64_t sound_flush_interval(std::int32_t count);

// Reads `input` `stretch` samples at a time, applies `effect` on the
// workers of `pool`, and writes the input samples to the input dump, the
// output samples to the output dump (as dump_csv does) and the output sound
// (as write_wave does); then closes all three, checking that every byte
// reached its file, the sound on the disk itself. Throws io_error with the
// first failure.
void stream_effect(const wave_source& input, const chosen_effect& effect, const run_files& files,
                   worker_pool& pool, std::int64_t stretch);
