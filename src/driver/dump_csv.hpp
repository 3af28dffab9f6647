#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "wav/wave_data.hpp"

struct stream_closer {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};

// A text dump, open for writing, with its name for messages.
struct text_file {
  std::unique_ptr<std::FILE, stream_closer> stream;
  std::string name;
};

// Creates (or truncates) the text file `name`. Throws io_error.
text_file create_text_file(const char* name);

// create_text_file in two steps: open_text_file creates the file, or opens
// it as it is; empty_text_file truncates it (through a descriptor of its
// own, see there). Throw io_error.
text_file open_text_file(const char* name);
void empty_text_file(text_file& file);

// Writes the input samples to `before` and the output samples to `after`,
// one "%f" value and "\n" per line, line n holding sample n, no header, and
// closes both, checking that every byte reached its file. Where there is a
// second core, each file's blocks are formatted and written by two threads
// in turn. Throws io_error naming the first file that failed.
void dump_csv(text_file& before, text_file& after, const wave_data* in, const wave_data* out);
