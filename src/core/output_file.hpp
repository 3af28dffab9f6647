#pragma once

// The files a run writes. Each is written either in place (a dump on a
// device, or one that cannot be renewed) or under a temporary name in its
// directory, "<name>.<process number>.partial", which takes the final name
// once the file is complete, so that a failed or interrupted run never
// leaves a part of one under that name. Until then the temporary file is
// removed on every way out: an exception, or an interrupt (Ctrl-C, a
// hangup, a termination request).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/files.hpp"

struct output_file {
  platform::file file;         // open for writing
  std::string name;            // the final name, for messages
  std::string temporary_path;  // until it takes its name
  bool over_earlier = false;   // the earlier file, written over; an empty one has its name

  output_file(platform::file opened, std::string final_name)
      : file(opened), name(std::move(final_name)) {}
  output_file(output_file&& other) noexcept
      : file(std::exchange(other.file, {})),
        name(std::move(other.name)),
        temporary_path(std::exchange(other.temporary_path, {})),
        over_earlier(other.over_earlier) {}
  output_file& operator=(output_file&&) = delete;
  ~output_file();  // closes the file; removes it while it has no name
};

// `name`, created empty when missing and opened as it is otherwise. Throws
// io_error.
output_file open_output(const char* name);

// A new file for `name`, under its temporary name. Throws io_error.
output_file create_replacement(const char* name);

// Removes the temporary files that runs which ended before they could (a
// kill, a power cut) left beside `name`: every one when `no_other_run` (the
// caller knows that no other run can be writing one now), otherwise those of
// processes that are surely gone.
void remove_abandoned_replacements(const char* name, bool no_other_run);

// Writes `count` bytes at `offset`; safe to call from several threads at
// once. Throws io_error naming the file.
void write_output_at(output_file& out, const void* bytes, std::size_t count, std::uint64_t offset);

// Empties the file (a device or a pipe is left as it is). Throws io_error.
void empty_output(output_file& out);

// Where the system can swap two names in one step: `fresh`, a new file
// under its temporary name, and `earlier`, held open for writing, the file
// its final name leads to, change names. The final name then leads to the
// new file, empty, and the earlier one is returned to be written over
// under the temporary name: its blocks are used again rather than freed
// and found anew, which on some disks means waiting for them to be
// discarded. Otherwise std::nullopt, and nothing has changed.
std::optional<output_file> write_over_earlier(output_file& fresh, platform::file earlier);

// Cuts the file at `size`: what an earlier file written over held past it.
// Throws io_error.
void set_output_size(output_file& out, std::uint64_t size);

// Renames the temporary file over its final name (a file still open stays
// open); a file with no temporary name has its name already. Throws
// io_error; the temporary file is gone either way.
void give_final_name(output_file& out);

// Closes the file, checking that every byte reached it; with `to_disk`, on
// the disk itself, so that should the power fail after a rename the name
// leads to the whole new file, never to one the disk had not finished.
// Throws io_error naming the file.
void close_output(output_file& out, bool to_disk);
