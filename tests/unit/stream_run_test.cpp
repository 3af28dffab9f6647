// The run a stretch at a time against the formulas over the whole record:
// the same three files, byte for byte, whatever the length of a stretch
// (one sample, odd lengths, several dump blocks, the whole record at once),
// the number of workers, and with the reverb's history carried from one
// stretch to the next or spanning several.

#include "driver/stream_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/large_buffer.hpp"
#include "driver/dump_csv.hpp"
#include "effects/references.hpp"
#include "platform/files.hpp"
#include "records.hpp"
#include "wav/wave_data.hpp"
#include "wav_file.hpp"

namespace {

const effect_settings loud{3.0f, 0.7f};

void distortion_formula(const wave_data* in, wave_data* out) {
  for (std::int32_t n = 0; n < in->sample_count; ++n) {
    double y = loud[0] * in->samples[n];
    y = y > 1.0 ? 1.0 : y < -1.0 ? -1.0 : y;
    out->samples[n] = loud[1] * y;
  }
}

struct effect_case {
  const char* name;
  chosen_effect effect;
  void (*formula)(const wave_data* in, wave_data* out);
};

const effect_case effect_cases[] = {
    {"none", {}, [](const wave_data*, wave_data*) {}},
    {"distortion", {&distortion_effect, loud}, distortion_formula},
    {"reverb", {&reverb_effect, {}}, apply_reverb_reference},
    {"vibrato", {&vibrato_effect, {}}, apply_vibrato_reference},
};

struct length_case {
  std::int32_t rate;
  std::int32_t count;
  std::vector<std::int64_t> stretches;  // 0: the run's own choice
  std::vector<int> workers;
};

const length_case length_cases[] = {
    // Every stretch length from one sample to the whole record and past it,
    // on a record shorter than the reverb's history.
    {8000, 2999, {1, 2, 7, 400, 2998, 2999, 5000}, {1, 3}},
    // Several dump blocks in a stretch, and a part block; at 384 kHz five
    // seconds of history are more than a stretch.
    {44100, 2 * (1 << 20) + 4321, {0, 3 * dump_block_samples + 17}, {2}},
    {384000, 2 * (1 << 20) + 4321, {0}, {2}},
};

TEST(StreamRun, WritesWhatTheFormulasGiveForEveryStretchLength) {
  const scratch_directory dir;
  for (const length_case& lengths : length_cases) {
    const wave_data in = random_record(lengths.rate, lengths.count, 18);
    write_wave(&in, dir.file("tec.wav").c_str());  // held values: stored exactly
    for (const effect_case& c : effect_cases) {
      wave_data out = same_shape(in);
      c.formula(&in, &out);
      {
        output_file before = emptied(dir.file("whole-before.csv"));
        output_file after = emptied(dir.file("whole-after.csv"));
        dump_csv(before, after, &in, &out);
        write_wave(&out, dir.file("whole.wav").c_str());
      }
      for (const std::int64_t stretch : lengths.stretches) {
        for (const int workers : lengths.workers) {
          SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(lengths.rate) + " Hz, " +
                       std::to_string(lengths.count) + " samples, stretches of " +
                       std::to_string(stretch) + ", " + std::to_string(workers) + " workers");
          wave_source input;
          open_wave(&input, dir.file("tec.wav").c_str(), stderr);
          worker_pool pool(workers);
          output_file before = emptied(dir.file("before.csv"));
          output_file after = emptied(dir.file("after.csv"));
          output_file sound = create_replacement(dir.file("out.wav").c_str());
          stream_effect(input, c.effect, {before, after, sound}, pool,
                        stretch != 0 ? stretch
                                     : stretch_samples(c.effect.reach(input.sample_rate),
                                                       input.sample_count));
          give_final_name(sound);
          EXPECT_TRUE(dir.read("before.csv") == dir.read("whole-before.csv"));
          EXPECT_TRUE(dir.read("after.csv") == dir.read("whole-after.csv"));
          EXPECT_TRUE(dir.read("out.wav") == dir.read("whole.wav"));
        }
      }
    }
  }
}

// What an effect that only looks at its window saw of each stretch: the
// loudest sample the run said the window could hold, and the loudest it held.
struct window_look {
  double told;
  double held;
};
std::vector<window_look> looks;

void look_at_window(const sample_window& in, double*, std::int64_t, std::int64_t,
                    const effect_settings&) {
  double held = 0.0;
  for (std::int64_t k = 0; k < in.size; ++k) {
    held = std::max(held, std::abs(in.samples[k]));
  }
  looks.push_back({in.held_16_bit ? in.held_peak : -1.0, held});
}

// The run tells an effect the loudest sample it has read so far, which no
// sample its window holds can pass; here the loudest lies in the history
// the window keeps from one stretch to the next, and only there.
TEST(StreamRun, TellsTheEffectHowLoudItsWindowCanBe) {
  const scratch_directory dir;
  wave_data in = record(8000, 6000);
  for (std::int32_t n = 0; n < in.sample_count; ++n) {
    in.samples[n] = (n % 7 - 3) / 32768.0;
  }
  in.samples[1990] = -0.5;
  write_wave(&in, dir.file("tec.wav").c_str());
  const effect_description looking = {{},
                                      [](std::int32_t) {
                                        return input_reach{1500, 10};
                                      },
                                      look_at_window};
  wave_source input;
  open_wave(&input, dir.file("tec.wav").c_str(), stderr);
  worker_pool pool(1);
  output_file before = emptied(dir.file("before.csv"));
  output_file after = emptied(dir.file("after.csv"));
  output_file sound = create_replacement(dir.file("out.wav").c_str());
  looks.clear();
  stream_effect(input, {&looking, {}}, {before, after, sound}, pool, 1000);
  give_final_name(sound);
  const double told[] = {3 / 32768.0, 0.5, 0.5, 0.5, 0.5, 0.5};
  const double held[] = {3 / 32768.0, 0.5, 0.5, 0.5, 3 / 32768.0, 3 / 32768.0};
  ASSERT_EQ(looks.size(), 6u);
  for (std::size_t k = 0; k < looks.size(); ++k) {
    EXPECT_EQ(looks[k].told, told[k]) << "stretch " << k;
    EXPECT_EQ(looks[k].held, held[k]) << "stretch " << k;
  }
}

// The run's buffers: whole at every size, around a quarter of a large page,
// from where they are aligned to large pages, and a little past whole large
// pages (a vibrato's window); asking the system to map memory ahead keeps
// what it holds.
TEST(StreamRun, BuffersAreWholeAtEverySize) {
  constexpr std::size_t quarter = platform::large_page_bytes / 4 / sizeof(double);
  for (const std::size_t count :
       {std::size_t{0}, std::size_t{1}, quarter - 1, quarter, 4 * quarter + 1, 8 * quarter + 689}) {
    SCOPED_TRACE(count);
    const large_buffer buffer = make_large_buffer(count);
    const std::size_t held = std::max<std::size_t>(count, 1);
    for (std::size_t k = 0; k < held; ++k) {
      buffer[k] = static_cast<double>(k);
    }
    EXPECT_EQ(buffer[held - 1], static_cast<double>(held - 1));
    if (count >= quarter) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.get()) % platform::large_page_bytes, 0u);
    }
  }
  std::vector<std::uint8_t> held(3 * platform::large_page_bytes);
  for (std::size_t k = 0; k < held.size(); ++k) {
    held[k] = static_cast<std::uint8_t>(k * 7 + 1);
  }
  platform::prepare_memory(held.data() + 5, held.size() - 10);
  for (std::size_t k = 0; k < held.size(); ++k) {
    ASSERT_EQ(held[k], static_cast<std::uint8_t>(k * 7 + 1)) << k;
  }
}

// Stretches of whole dump blocks, so that every write but a recording's
// last is a whole block; four of them at least, and four times a history
// that the recording outlasts, so that carrying it over costs little.
TEST(StreamRun, StretchesAreWholeBlocksAndOutlastTheirHistory) {
  for (const effect_case& c : effect_cases) {
    for (const std::int32_t rate : {8000, 44100, 384000}) {
      const input_reach reach = c.effect.reach(rate);
      for (const std::int32_t count : {1000, 1 << 21, INT32_MAX}) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(rate) + " Hz, " +
                     std::to_string(count) + " samples");
        const std::int64_t stretch = stretch_samples(reach, count);
        EXPECT_EQ(stretch % dump_block_samples, 0);
        EXPECT_GE(stretch, 4 * dump_block_samples);
        if (reach.before < count) {
          EXPECT_GE(stretch, 4 * reach.before);
        }
      }
    }
  }
}

// A quarter of the sound between flushes on the way, from 1 MiB to 8 MiB.
TEST(StreamRun, FlushesASoundEveryQuarterWithinBounds) {
  const struct {
    std::int32_t count;
    std::uint64_t interval;
  } cases[] = {
      {0, 1u << 20},
      {(1 << 21) - 1, 1u << 20},        // 4 MiB less 2 bytes: the least
      {(1 << 21) + 2, (1u << 20) + 1},  // a quarter, above it
      {1 << 24, 8u << 20},              // 32 MiB: the most
      {(1 << 24) + 2, 8u << 20},
      {INT32_MAX, 8u << 20},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sound_flush_interval(c.count), c.interval) << c.count;
  }
}

}  // namespace
