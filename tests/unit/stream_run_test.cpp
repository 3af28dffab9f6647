// The run a stretch at a time against the whole-record functions: the same
// three files, byte for byte, across stretch boundaries (with the reverb's
// history carried from one stretch to the next) and whichever stretch the
// dumps become ready at.

#include "driver/stream_run.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "records.hpp"
#include "wav_file.hpp"

namespace {

struct effect_case {
  const char* name;
  std::int32_t rate;
  std::function<void(const wave_data*, wave_data*)> whole;
  stretch_effect stretched;
};

const distortion_settings loud{3.0f, 0.7f};

effect_case effect_cases[] = {
    {"none", 44100, [](const wave_data*, wave_data*) {}, {}},
    {"distortion",
     44100,
     [](const wave_data* in, wave_data* out) { apply_distortion(in, out, loud); },
     {{},
      [](const sample_window& in, double* out, std::int64_t begin, std::int64_t end) {
        apply_distortion_stretch(in, out, begin, end, loud);
      }}},
    // Five seconds of history at 384 kHz are more than a stretch.
    {"reverb", 384000, apply_reverb, {reverb_reach(384000), apply_reverb_stretch}},
    {"vibrato", 44100, apply_vibrato, {vibrato_reach(44100), apply_vibrato_stretch}},
};

// Two stretches and a part.
constexpr std::int32_t samples = 2 * (1 << 20) + 4321;

TEST(StreamRun, WritesWhatTheWholeRecordFunctionsWrite) {
  const scratch_directory dir;
  for (effect_case& c : effect_cases) {
    wave_data in = random_record(c.rate, samples, 18);
    {
      wave_data out = same_shape(in);
      c.whole(&in, &out);
      text_file before = create_text_file(dir.file("whole-before.csv").c_str());
      text_file after = create_text_file(dir.file("whole-after.csv").c_str());
      dump_csv(before, after, &in, &out);
      write_wave(&out, dir.file("whole.wav").c_str());
      write_wave(&in, dir.file("tec.wav").c_str());  // held values: stored exactly
    }
    // Ready at once, after two stretches of sound alone, and only once the
    // whole sound is made.
    for (int sound_first : {0, 2, std::numeric_limits<int>::max()}) {
      SCOPED_TRACE(std::string(c.name) + ", dumps ready after " + std::to_string(sound_first));
      wave_source input;
      open_wave(&input, dir.file("tec.wav").c_str(), stderr);
      text_file before = create_text_file(dir.file("before.csv").c_str());
      text_file after = create_text_file(dir.file("after.csv").c_str());
      {
        replacement_file sound(dir.file("out.wav").c_str());
        int asked = 0;
        stream_effect(input, c.stretched, {[&] { return asked++ >= sound_first; }, [] {}}, before,
                      after, sound);
        commit_replacement(sound);
      }
      EXPECT_TRUE(dir.read("before.csv") == dir.read("whole-before.csv"));
      EXPECT_TRUE(dir.read("after.csv") == dir.read("whole-after.csv"));
      EXPECT_TRUE(dir.read("out.wav") == dir.read("whole.wav"));
    }
  }
}

}  // namespace
