#pragma once

// The sound record and the WAV files it is read from and stored to, whole.
// The run itself reads and writes a stretch at a time (wave_source.hpp,
// wave_sink.hpp); these are loops over the same code.

#include <cstdio>

#include "core/wave_record.hpp"

// Fills `wave` from the 16-bit mono PCM WAV file at `path`. Throws io_error
// with the reason when the file cannot be read or holds anything else. A
// defect it tolerates (a data size past the end of the file) is told on one
// line of `warnings`.
void read_wave(wave_data* wave, const char* path, std::FILE* warnings);

// Stores `wave` as a 16-bit mono PCM WAV file at `path`. The file is written
// beside it under a temporary name and renamed into place once complete, so
// a failure leaves an earlier file as it was. Throws io_error on failure.
void write_wave(const wave_data* wave, const char* path);
