#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "core/io_error.hpp"
#include "core/two_cores.hpp"
#include "driver/dump_csv.hpp"
#include "driver/stream_run.hpp"
#include "effects/effects.hpp"
#include "platform/files.hpp"
#include "wav/replace_file.hpp"

namespace {

stretch_effect distortion(const console& io, std::int32_t) {
  distortion_settings settings{};
  settings.gain = ask_number(io, "gain:", "gain");
  settings.level = ask_number(io, "level:", "level");
  return {{},
          [settings](const sample_window& in, double* out, std::int64_t begin, std::int64_t end) {
            apply_distortion_stretch(in, out, begin, end, settings);
          }};
}

stretch_effect reverb(const console&, std::int32_t sample_rate) {
  return {reverb_reach(sample_rate), apply_reverb_stretch};
}

stretch_effect vibrato(const console&, std::int32_t sample_rate) {
  return {vibrato_reach(sample_rate), apply_vibrato_stretch};
}

// The effect keys, in the order they are tried. The prompt names only d and
// v; r works all the same. An effect asks for its settings itself.
struct effect_choice {
  std::string_view key;
  stretch_effect (*ask)(const console& io, std::int32_t sample_rate);
};
constexpr effect_choice effect_choices[] = {
    {"d", distortion},
    {"r", reverb},
    {"v", vibrato},
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

// Prints the sample count, asks for the key and the chosen effect's
// settings; a key that matches none leaves the output silent.
stretch_effect ask_for_effect(const console& io, const wave_source& input) {
  std::fprintf(io.out, "%d\n", input.sample_count);
  const std::string key = ask_effect_key(io);
  stretch_effect chosen{};
  for (const effect_choice& choice : effect_choices) {
    if (key == choice.key) {
      chosen = choice.ask(io, input.sample_rate);
      break;
    }
  }
  // The dialogue is over: anything it could not show is a failure too.
  if (std::fflush(io.out) != 0 || std::ferror(io.out) != 0) {
    throw io_error("standard output", "cannot write: " + platform::error_number_reason(errno));
  }
  return chosen;
}

// Applies the effect, dumps both sounds and writes the new one under its
// temporary name; it takes the place of "ex8_2.wav" only once both dumps
// are complete, so a failure still leaves the earlier file untouched. The
// earlier file, held open across the rename where the system gains by it,
// is let go last.
void apply_dump_and_write(const wave_source& input, const stretch_effect& effect,
                          dump_emptying& emptying, text_file& before, text_file& after) {
  replacement_file pending(output_wave_name);
  stream_effect(input, effect, {[&] { return emptying.done(); }, [&] { emptying.finish(); }},
                before, after, pending);
  platform::file replaced = platform::hold_replaced(output_wave_name);
  try {
    commit_replacement(pending);
  } catch (...) {
    platform::close_file(replaced);
    throw;
  }
  platform::close_file(replaced);
}

}  // namespace

void run_wave_effect(const console& io) {
  struct held_lock {
    platform::file file = lock_the_directory();
    ~held_lock() { platform::close_file(file); }
  } lock;
  text_file before = open_text_file(before_dump_name);
  text_file after = open_text_file(after_dump_name);
  // Last run's dumps are emptied while the input's header is read, the
  // dialogue held and the sound made.
  dump_emptying emptying(before, after);
  wave_source input;
  open_wave(&input, input_wave_name, stderr);
  const stretch_effect effect = ask_for_effect(io, input);
  apply_dump_and_write(input, effect, emptying, before, after);
}
