#pragma once

#include <cstdio>
#include <string>

#include "wav/wave_data.hpp"

// A text dump being written, with its name for messages.
struct text_file {
  std::FILE* stream;
  std::string name;
};

// Writes the input samples to `before` and the output samples to `after`,
// one "%f" value and "\n" per line, line n holding sample n, no header.
// Throws io_error naming the file when a write fails.
void dump_csv(const text_file& before, const text_file& after, const wave_data* in,
              const wave_data* out);
