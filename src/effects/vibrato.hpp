#pragma once

// The vibrato's pieces, open to the tests and the benchmark.

#include "effects/effects.hpp"

// The vibrato exactly as its formula reads, calling sin for every sample:
// the reference the fast apply_vibrato is checked against.
void apply_vibrato_reference(const wave_data* in, wave_data* out);
