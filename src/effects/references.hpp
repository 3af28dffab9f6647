#pragma once

// Each effect as its formula reads, a sample at a time (reverb_sample,
// vibrato_sample): the references the tests and the benchmarks hold the
// fast stretch functions to. The program never runs them.

#include "core/wave_record.hpp"

void apply_reverb_reference(const wave_data* in, wave_data* out);
void apply_vibrato_reference(const wave_data* in, wave_data* out);
