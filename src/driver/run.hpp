#pragma once

#include "driver/console.hpp"

// The whole run: create the dumps, read "tec.wav", print its sample count,
// ask for the effect and apply it, dump both signals and write "ex8_2.wav",
// all in the working directory. Throws io_error (or std::bad_alloc) when
// something fails; "ex8_2.wav" is then left as it was.
void run_wave_effect(const console& io);
