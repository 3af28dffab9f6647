// The run a stretch at a time against the formulas over the whole record:
// the same three files, byte for byte, whatever the length of a stretch
// (one sample, odd lengths, several dump blocks, the whole record at once),
// the number of workers, and with the reverb's history carried from one
// stretch to the next or spanning several.

#include "driver/stream_run.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/dump_csv.hpp"
#include "effects/references.hpp"
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

}  // namespace
