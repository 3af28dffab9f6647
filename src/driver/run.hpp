#pragma once

#include "driver/console.hpp"

// The program's files, all in the working directory.
inline constexpr const char* input_wave_name = "tec.wav";
inline constexpr const char* output_wave_name = "ex8_2.wav";
inline constexpr const char* before_dump_name = "wave-before.csv";
inline constexpr const char* after_dump_name = "wave-after.csv";

// The whole run: make the dumps new and empty, read and check the header of
// "tec.wav", print its sample count, ask for the effect, then read, apply,
// dump both signals and write "ex8_2.wav" a stretch at a time, all in the
// working directory. Throws io_error (or std::bad_alloc) when something
// fails; "ex8_2.wav" is then left as it was.
void run_wave_effect(const console& io);
