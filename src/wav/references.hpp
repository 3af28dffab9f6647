#pragma once

// A whole WAV file already in memory, read through the same chunk walk and
// conversion as the files the program reads: what the fuzzer and the
// layout tests drive without a file. The program never runs it.

#include <cstdint>
#include <cstdio>
#include <span>

#include "core/wave_record.hpp"

// Fills `wave` from `file`; `name` is what the messages call it. Throws
// io_error with the reason when the bytes hold anything but 16-bit mono PCM.
void read_wave_bytes(std::span<const std::uint8_t> file, wave_data* wave, const char* name,
                     std::FILE* warnings);
