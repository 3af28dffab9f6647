#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.hpp"

// A file written under a temporary name in the directory of its final path
// and renamed over that path only once it is complete, so that a failed or
// interrupted run leaves an earlier file exactly as it was. The temporary
// file is removed on every way out: an exception, or an interrupt (Ctrl-C,
// a hangup, a termination request) while it is open.
struct replacement_file {
  platform::file file;  // open for writing
  std::string temporary_path;
  std::string final_path;

  explicit replacement_file(const char* path);  // throws io_error
  replacement_file(const replacement_file&) = delete;
  replacement_file& operator=(const replacement_file&) = delete;
  ~replacement_file();  // removes the temporary file unless committed
};

// Removes the temporary files that runs which ended before they could (a
// kill, a power cut) left beside `path`: every one when `no_other_run` (the
// caller knows that no other run can be writing one now), otherwise those of
// processes that are surely gone.
void remove_abandoned_replacements(const char* path, bool no_other_run);

// Appends `count` bytes. Throws io_error naming the final path.
void write_replacement(replacement_file& pending, const void* bytes, std::size_t count);

// Writes `count` bytes at `offset` of the file, wherever the writing has
// got to; safe to call from two threads at once. Throws io_error naming the
// final path.
void write_replacement_at(replacement_file& pending, const void* bytes, std::size_t count,
                          std::uint64_t offset);

// Closes the file, checking that every byte reached it, on the disk itself.
// Throws io_error naming the final path.
void close_replacement(replacement_file& pending);

// Closes the file if it is still open and renames it into place. Throws
// io_error naming the final path; the temporary file is gone either way.
void commit_replacement(replacement_file& pending);
