#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "core/io_error.hpp"
#include "core/two_cores.hpp"
#include "driver/dump_csv.hpp"
#include "effects/effects.hpp"
#include "platform/files.hpp"
#include "wav/replace_file.hpp"

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

// One run at a time in a directory: two at once would mix their dumps and
// sounds. The lock is taken on a file of the run's own (the first dump,
// through a handle of its own), before anything is emptied or written, so
// that no lock file is left behind; it goes with the handle, or with the
// process however it ends. Where the file system has no locks the run goes
// on alone, and so does a run whose dump is a device (say a link to
// /dev/null), which runs in other directories may share. Temporary files
// that no run can be writing now (left by a run that was killed) are
// removed.
platform::file lock_the_directory() {
  platform::file held = platform::open_for_writing(before_dump_name);
  if (!held.is_open()) {
    throw io_error(before_dump_name, "cannot create: " + platform::failure_reason());
  }
  platform::file_facts facts{};
  const bool own_file = platform::describe(held, &facts) && facts.regular;
  const platform::lock_result lock =
      own_file ? platform::lock_exclusively(held) : platform::lock_result::unsupported;
  if (lock == platform::lock_result::busy) {
    platform::close_file(held);
    throw io_error("another run of wave_effect is using this directory");
  }
  remove_abandoned_replacements(output_wave_name, lock == platform::lock_result::locked);
  return held;
}

// Reads the input while last run's dumps are emptied (the system frees
// their pages meanwhile); both are done before anything else happens.
wave_data read_input(text_file& before, text_file& after) {
  wave_data input;
  run_side_by_side([&] { read_wave(&input, input_wave_name, stderr); },
                   [&] {
                     empty_text_file(before);
                     empty_text_file(after);
                   });
  return input;
}

// A silent sound of the input's shape.
wave_data silent_copy_of(const wave_data& input) {
  wave_data output;
  output.sample_rate = input.sample_rate;
  output.bits_per_sample = input.bits_per_sample;
  output.sample_count = input.sample_count;
  output.samples = allocate_samples(input.sample_count);
  return output;
}

// Prints the sample count, asks for the key and applies its effect; a key
// that matches none leaves the output silent.
void ask_and_apply(const console& io, const wave_data& input, wave_data& output) {
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
    throw io_error("standard output", "cannot write: " + platform::error_number_reason(errno));
  }
}

// Dumps both sounds while the new one is written under its temporary name;
// it takes the place of "ex8_2.wav" only once both dumps are complete, so a
// failed dump still leaves the earlier file untouched. Last, the sample
// arrays are released while the earlier file, held open across the rename
// where the system gains by it, is let go.
void dump_and_write(text_file& before, text_file& after, wave_data& input, wave_data& output) {
  replacement_file pending(output_wave_name);
  run_side_by_side([&] { dump_csv(before, after, &input, &output); },
                   [&] { write_wave_contents(&output, pending); });

  platform::file replaced = platform::hold_replaced(output_wave_name);
  try {
    commit_replacement(pending);
  } catch (...) {
    platform::close_file(replaced);
    throw;
  }
  run_side_by_side(
      [&] {
        input.samples.reset();
        output.samples.reset();
      },
      [&] { platform::close_file(replaced); });
}

}  // namespace

void run_wave_effect(const console& io) {
  struct held_lock {
    platform::file file = lock_the_directory();
    ~held_lock() { platform::close_file(file); }
  } lock;
  text_file before = open_text_file(before_dump_name);
  text_file after = open_text_file(after_dump_name);
  wave_data input = read_input(before, after);
  wave_data output = silent_copy_of(input);
  ask_and_apply(io, input, output);
  dump_and_write(before, after, input, output);
}
