#include "driver/run.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "driver/dump_csv.hpp"
#include "effects/effects.hpp"
#include "wav/io_error.hpp"
#include "wav/replace_file.hpp"
#include "wav/side_by_side.hpp"

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

// A descriptor closed at the latest when it goes out of scope.
struct held_descriptor {
  int descriptor;
  explicit held_descriptor(int opened) : descriptor(opened) {}
  held_descriptor(const held_descriptor&) = delete;
  held_descriptor& operator=(const held_descriptor&) = delete;
  ~held_descriptor() { close_now(); }
  void close_now() {
    if (descriptor >= 0) {
      close(descriptor);
      descriptor = -1;
    }
  }
};

}  // namespace

void run_wave_effect(const console& io) {
  text_file before = open_text_file("wave-before.csv");
  text_file after = open_text_file("wave-after.csv");

  // Emptying last run's dumps (the kernel frees their pages) takes about as
  // long as reading the input: the two go side by side, and both are done
  // before anything else happens.
  wave_data input;
  run_side_by_side([&] { read_wave(&input); },
                   [&] {
                     empty_text_file(before);
                     empty_text_file(after);
                   });

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

  // The new sound is written under its temporary name while the dumps are
  // written; it takes the place of "ex8_2.wav" only once both dumps are
  // complete, so a failed dump still leaves the earlier file untouched.
  replacement_file pending(output_wave_name);
  run_side_by_side([&] { dump_csv(before, after, &input, &output); },
                   [&] { write_wave_contents(&output, pending); });

  // The rename drops last run's "ex8_2.wav", and the kernel frees its blocks
  // (waiting on the disk to discard them) when the last reference to it
  // goes. Held open across the rename, it goes when a helper closes it,
  // while this thread releases the sample arrays.
  held_descriptor replaced(open(output_wave_name, O_RDONLY | O_NONBLOCK));
  commit_replacement(pending);
  run_side_by_side(
      [&] {
        input.samples.reset();
        output.samples.reset();
      },
      [&] { replaced.close_now(); });
}
