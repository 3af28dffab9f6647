#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "driver/dump_csv.hpp"
#include "effects/effects.hpp"
#include "wav/io_error.hpp"

namespace {

void run_distortion(const wave_data* in, wave_data* out, const console& io) {
  distortion_settings settings{};
  settings.gain = ask_number(io, "gain:", "gain");
  settings.level = ask_number(io, "level:", "level");
  apply_distortion(in, out, settings);
}

void run_reverb(const wave_data* in, wave_data* out, const console&) { apply_reverb(in, out); }

void run_vibrato(const wave_data* in, wave_data* out, const console&) { apply_vibrato(in, out); }

// The effect keys, in the order they are tried. The prompt names only d and
// v; r works all the same.
struct effect_choice {
  std::string_view key;
  void (*run)(const wave_data* in, wave_data* out, const console& io);
};
constexpr effect_choice effect_choices[] = {
    {"d", run_distortion},
    {"r", run_reverb},
    {"v", run_vibrato},
};

}  // namespace

void run_wave_effect(const console& io) {
  text_file before = create_text_file("wave-before.csv");
  text_file after = create_text_file("wave-after.csv");

  wave_data input;
  read_wave(&input);

  wave_data output;
  output.sample_rate = input.sample_rate;
  output.bits_per_sample = input.bits_per_sample;
  output.sample_count = input.sample_count;
  output.samples = allocate_samples(input.sample_count);

  std::fprintf(io.out, "%d\n", input.sample_count);
  const std::string key = ask_effect_key(io);
  for (const effect_choice& choice : effect_choices) {
    if (key == choice.key) {
      choice.run(&input, &output, io);
      break;
    }
  }

  // The dialogue is over: anything it could not show is a failure too.
  if (std::fflush(io.out) != 0 || std::ferror(io.out) != 0) {
    throw io_error("standard output", "cannot write: " + system_reason(errno));
  }

  dump_csv(before, after, &input, &output);
  write_wave(&output);
}
