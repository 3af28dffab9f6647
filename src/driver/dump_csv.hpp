#pragma once

#include <string>
#include <utility>

#include "platform/files.hpp"
#include "wav/wave_data.hpp"

// A text dump, open for writing, with its name for messages; closed at the
// latest when it goes.
struct text_file {
  platform::file file;
  std::string name;

  text_file(platform::file opened, std::string file_name)
      : file(opened), name(std::move(file_name)) {}
  text_file(text_file&& other) noexcept
      : file(std::exchange(other.file, {})), name(std::move(other.name)) {}
  text_file& operator=(text_file&&) = delete;
  ~text_file();
};

// Creates (or truncates) the text file `name`. Throws io_error.
text_file create_text_file(const char* name);

// create_text_file in two steps: open_text_file creates the file, or opens
// it as it is; empty_text_file truncates it (through a descriptor of its
// own, see there). Throw io_error.
text_file open_text_file(const char* name);
void empty_text_file(text_file& file);

// Writes the input samples to `before` and the output samples to `after`,
// one "%f" value per line, line n holding sample n, no header, each line
// ending as a text-mode stream ends it ("\r\n" on Windows), and closes
// both, checking that every byte reached its file. Where there is a second
// core, each file's blocks are formatted and written by two threads in
// turn. Throws io_error naming the first file that failed.
void dump_csv(text_file& before, text_file& after, const wave_data* in, const wave_data* out);
