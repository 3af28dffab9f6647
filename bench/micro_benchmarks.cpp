// Google Benchmark micro-benchmarks of the pieces of a run as the run calls
// them: each effect a stretch at a time, the dump text, and reading and
// writing the WAV file. Run by hand:
//
//   build/release/bench/micro_benchmarks
//
// Sizes are one minute of sound at 44.1 kHz unless a name says otherwise.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "driver/dump_csv.hpp"
#include "driver/sample_text.hpp"
#include "driver/stream_run.hpp"
#include "effects/effects.hpp"
#include "effects/references.hpp"
#include "effects/reverb.hpp"
#include "wav/wave_data.hpp"

namespace {

constexpr std::int32_t one_minute = 44100 * 60;

wave_data random_sound(std::int32_t count) {
  wave_data wave;
  wave.sample_rate = 44100;
  wave.bits_per_sample = 16;
  wave.sample_count = count;
  wave.samples = allocate_samples(count);
  std::mt19937 random(1);
  std::uniform_int_distribution<int> s16(-32768, 32767);
  for (std::int32_t n = 0; n < count; ++n) {
    wave.samples[n] = s16(random) / 32768.0;
  }
  return wave;
}

// Written through once, so that the first timed run does not pay for the
// system's first touch of every page (on a virtual machine, more than the
// reverb costs).
wave_data silence_like(const wave_data& in) {
  wave_data out;
  out.sample_rate = in.sample_rate;
  out.bits_per_sample = in.bits_per_sample;
  out.sample_count = in.sample_count;
  out.samples = allocate_samples(in.sample_count);
  std::fill(out.samples.get(), out.samples.get() + in.sample_count, 0.0);
  return out;
}

void report_samples(benchmark::State& state, std::int64_t per_iteration) {
  state.SetItemsProcessed(state.iterations() * per_iteration);
}

// The effect as the run applies it: a stretch at a time, on one thread,
// over samples known to be held 16-bit values.
void apply_in_stretches(const effect_description& effect, const effect_settings& settings,
                        const wave_data& in, wave_data& out) {
  sample_window window = whole_window(in, in.sample_count);
  window.held_16_bit = true;
  const std::int64_t stretch = stretch_samples(effect.reach(in.sample_rate), in.sample_count);
  for (std::int64_t begin = 0; begin < in.sample_count; begin += stretch) {
    const std::int64_t end = std::min<std::int64_t>(in.sample_count, begin + stretch);
    effect.apply_stretch(window, out.samples.get() + begin, begin, end, settings);
  }
}

void BM_Distortion(benchmark::State& state) {
  const wave_data in = random_sound(one_minute);
  wave_data out = silence_like(in);
  for (auto _ : state) {
    apply_in_stretches(distortion_effect, {4.0f, 0.5f}, in, out);
    benchmark::DoNotOptimize(out.samples[0]);
  }
  report_samples(state, in.sample_count);
}
BENCHMARK(BM_Distortion)->Unit(benchmark::kMillisecond);

void BM_Reverb(benchmark::State& state) {
  const wave_data in = random_sound(static_cast<std::int32_t>(state.range(0)));
  wave_data out = silence_like(in);
  for (auto _ : state) {
    apply_in_stretches(reverb_effect, {}, in, out);
    benchmark::DoNotOptimize(out.samples[0]);
  }
  report_samples(state, in.sample_count);
}
// One minute, and a length past 2^24 samples where the index rounds as a float.
BENCHMARK(BM_Reverb)
    ->Arg(one_minute)
    ->Arg((1 << 24) + one_minute)
    ->Arg(26460000)
    ->Arg(1 << 24)
    ->Unit(benchmark::kMillisecond);

// One stretch of the run's length from sample state.range(0) on, of a
// record as long as a WAV file allows, from a window holding just what it
// reads: below 2^24, and past it where floats are 2, 4, 8 and 16 apart.
void BM_ReverbAt(benchmark::State& state) {
  const std::int64_t begin = state.range(0);
  const std::int32_t count = 2147483600;
  const input_reach reach = reverb_reach(44100);
  const std::int64_t stretch = stretch_samples(reach, count);
  const std::int64_t first = reach.window_first(begin);
  const std::int64_t end = reach.window_end(begin + stretch, count);
  const wave_data noise = random_sound(static_cast<std::int32_t>(end - first));
  const sample_window window{noise.samples.get(), first, end - first, count, 44100, true};
  std::vector<double> out(static_cast<std::size_t>(stretch));
  for (auto _ : state) {
    reverb_effect.apply_stretch(window, out.data(), begin, begin + stretch, {});
    benchmark::DoNotOptimize(out[0]);
  }
  report_samples(state, stretch);
}
BENCHMARK(BM_ReverbAt)
    ->Arg(1 << 23)
    ->Arg(1 << 24)
    ->Arg(1 << 25)
    ->Arg(1 << 26)
    ->Arg(1 << 27)
    ->Unit(benchmark::kMillisecond);

void BM_ReverbReference(benchmark::State& state) {
  const wave_data in = random_sound(one_minute / 10);
  wave_data out = silence_like(in);
  for (auto _ : state) {
    apply_reverb_reference(&in, &out);
    benchmark::DoNotOptimize(out.samples[0]);
  }
  report_samples(state, in.sample_count);
}
BENCHMARK(BM_ReverbReference)->Unit(benchmark::kMillisecond);

void BM_Vibrato(benchmark::State& state) {
  const wave_data in = random_sound(one_minute);
  wave_data out = silence_like(in);
  for (auto _ : state) {
    apply_in_stretches(vibrato_effect, {}, in, out);
    benchmark::DoNotOptimize(out.samples[0]);
  }
  report_samples(state, in.sample_count);
}
BENCHMARK(BM_Vibrato)->Unit(benchmark::kMillisecond);

// The text of reverb-like values, which the table does not cover.
void BM_FormatSample(benchmark::State& state) {
  std::mt19937 random(2);
  std::uniform_real_distribution<double> value(-1.5, 1.5);
  std::vector<double> values(4096);
  for (double& v : values) {
    v = value(random);
  }
  char text[max_sample_text];
  for (auto _ : state) {
    for (double v : values) {
      benchmark::DoNotOptimize(format_sample(v, text));
    }
  }
  report_samples(state, static_cast<std::int64_t>(values.size()));
}
BENCHMARK(BM_FormatSample);

// Both dumps into /dev/null: held input values, and reverb output.
void BM_DumpCsv(benchmark::State& state) {
  const wave_data in = random_sound(one_minute);
  wave_data out = silence_like(in);
  apply_reverb(&in, &out);
  for (auto _ : state) {
    output_file before = open_output("/dev/null");
    output_file after = open_output("/dev/null");
    dump_csv(before, after, &in, &out);
  }
  report_samples(state, in.sample_count);
}
BENCHMARK(BM_DumpCsv)->Unit(benchmark::kMillisecond);

void BM_WriteAndReadWave(benchmark::State& state) {
  const wave_data in = random_sound(one_minute);
  const std::string path =
      (std::filesystem::temp_directory_path() / "wave_effect_bench.wav").string();
  for (auto _ : state) {
    write_wave(&in, path.c_str());
    wave_data back;
    read_wave(&back, path.c_str(), stderr);
    benchmark::DoNotOptimize(back.samples[0]);
  }
  std::filesystem::remove(path);
  report_samples(state, in.sample_count);
}
BENCHMARK(BM_WriteAndReadWave)->Unit(benchmark::kMillisecond);

}  // namespace
