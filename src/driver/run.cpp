#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/io_error.hpp"
#include "core/output_file.hpp"
#include "core/worker_pool.hpp"
#include "driver/stream_run.hpp"
#include "effects/effects.hpp"
#include "platform/files.hpp"

namespace {

// The effect keys, in the order they are tried. The prompt names only d and
// v; r works all the same.
struct effect_choice {
  std::string_view key;
  const effect_description* effect;
};
constexpr effect_choice effect_choices[] = {
    {"d", &distortion_effect},
    {"r", &reverb_effect},
    {"v", &vibrato_effect},
};

// One run at a time in a directory: two at once would mix their dumps and
// sounds. The lock is taken on the input dump (through a handle of its
// own), before anything is emptied or written, so that no lock file is left
// behind; it goes with the handle, or with the process however it ends.
// Where the file system has no locks the run goes on alone, and so does a
// run whose dump is a device (say a link to /dev/null), which runs in other
// directories may share.
//
// A run that opened the name just as another run put a new file in its
// place holds a file no longer in use, whose lock says nothing: it looks
// again.
platform::file lock_the_directory(bool* locked) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    platform::file held = platform::open_for_writing(before_dump_name);
    if (!held.is_open()) {
      throw io_error(before_dump_name, "cannot create: " + platform::failure_reason());
    }
    platform::file_facts facts{};
    const bool own_file = platform::describe(held, &facts) && facts.regular;
    const platform::lock_result lock =
        own_file ? platform::lock_exclusively(held) : platform::lock_result::unsupported;
    *locked = lock == platform::lock_result::locked;
    if (lock != platform::lock_result::busy &&
        (!*locked || platform::names_file(before_dump_name, held))) {
      return held;
    }
    platform::close_file(held);
  }
  throw io_error("another run of wave_effect is using this directory");
}

struct held_file {
  platform::file file;
  ~held_file() { platform::close_file(file); }
};

// Last run's dump gives its name to a new, empty file with its permission
// bits, where nobody could tell the difference, and is written over under
// the new file's temporary name until it is complete: its blocks are used
// again, never freed while the run works. Otherwise (a device or a pipe, a
// file with other names, one reached through a symbolic link, or a
// directory that takes no new file or cannot swap two names) it is emptied
// in place and stays the file it is. The new file, not yet under its name:
std::optional<output_file> replacement_for(const char* name, platform::file last) {
  if (!platform::may_take_place_of(last, name)) {
    return std::nullopt;
  }
  try {
    output_file fresh = create_replacement(name);
    if (platform::copy_permissions(last, fresh.file)) {
      return fresh;
    }
  } catch (const io_error&) {
  }
  return std::nullopt;
}

// The input dump, empty under its name. Its new file holds the lock (through
// `name_lock`) while it has the name; `lock` keeps the earlier file's, which
// takes the name back at the end.
output_file open_before_dump(held_file& lock, bool locked, held_file& name_lock) {
  if (std::optional<output_file> fresh = replacement_for(before_dump_name, lock.file)) {
    held_file writer{platform::duplicate(lock.file)};
    if (writer.file.is_open() &&
        (!locked || platform::lock_exclusively(fresh->file) == platform::lock_result::locked)) {
      if (std::optional<output_file> over = write_over_earlier(*fresh, writer.file)) {
        writer.file = {};
        name_lock.file = std::exchange(fresh->file, {});
        return std::move(*over);
      }
    }
  }
  output_file dump = open_output(before_dump_name);
  empty_output(dump);
  return dump;
}

output_file open_after_dump() {
  output_file dump = open_output(after_dump_name);
  if (std::optional<output_file> fresh = replacement_for(after_dump_name, dump.file)) {
    if (std::optional<output_file> over = write_over_earlier(*fresh, dump.file)) {
      dump.file = {};
      return std::move(*over);
    }
  }
  empty_output(dump);
  return dump;
}

// Prints the sample count, asks for the key and the chosen effect's
// settings; a key that matches none leaves the output silent.
chosen_effect ask_for_effect(const console& io, const wave_source& input) {
  std::fprintf(io.out, "%d\n", input.sample_count);
  const std::string key = ask_effect_key(io);
  chosen_effect chosen{};
  for (const effect_choice& choice : effect_choices) {
    if (key == choice.key) {
      chosen.description = choice.effect;
      for (std::size_t k = 0; k < choice.effect->settings.size(); ++k) {
        const effect_setting& setting = choice.effect->settings[k];
        chosen.settings[k] = ask_number(io, setting.prompt, setting.name);
      }
      break;
    }
  }
  // The dialogue is over: anything it could not show is a failure too.
  if (std::fflush(io.out) != 0 || std::ferror(io.out) != 0) {
    throw io_error("standard output", "cannot write: " + platform::error_number_reason(errno));
  }
  return chosen;
}

// The new sound takes the place of "ex8_2.wav" only once it and both dumps
// are complete, so a failure still leaves the earlier file untouched. The
// earlier file, held open across the rename where the system gains by it,
// is let go last.
void replace_sound(output_file& sound) {
  held_file replaced{platform::hold_replaced(output_wave_name)};
  give_final_name(sound);
}

}  // namespace

void run_wave_effect(const console& io) {
  bool locked = false;
  held_file lock{lock_the_directory(&locked)};
  // Temporary files that no run can be writing now (left by a run that was
  // killed) are removed.
  for (const char* name : {output_wave_name, before_dump_name, after_dump_name}) {
    remove_abandoned_replacements(name, locked);
  }
  held_file name_lock{};
  output_file before = open_before_dump(lock, locked, name_lock);
  output_file after = open_after_dump();

  wave_source input;
  open_wave(&input, input_wave_name, stderr);
  const chosen_effect effect = ask_for_effect(io, input);
  output_file sound = create_replacement(output_wave_name);
  {
    worker_pool pool(useful_workers());
    stream_effect(input, effect, {before, after, sound}, pool,
                  stretch_samples(effect.reach(input.sample_rate), input.sample_count));
  }
  give_final_name(before);
  give_final_name(after);
  replace_sound(sound);
}
