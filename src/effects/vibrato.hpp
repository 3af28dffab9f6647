#pragma once

// The vibrato's pieces, open to the tests and the benchmark.

#include "effects/effects.hpp"

// Output sample n as the formula reads, calling sin: 0 where the read
// position leaves nothing to interpolate. `in` holds what n reads.
double vibrato_sample(const sample_window& in, std::int32_t n);
