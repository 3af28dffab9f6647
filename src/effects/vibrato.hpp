#pragma once

// The vibrato's pieces, open to the tests and the benchmark.

#include "effects/effects.hpp"

// Output sample n as the formula reads, calling sin: 0 where the read
// position leaves nothing to interpolate. `in` holds what n reads.
double vibrato_sample(const sample_window& in, std::int32_t n);

// The 32-bit delays tau(n) of samples [begin, end) at `sample_rate` (> 0)
// into tau[0, end − begin), as apply_vibrato takes them: from the quick sine
// where that provably gives the formula's float, from sin elsewhere.
void vibrato_delays(std::int32_t sample_rate, std::int64_t begin, std::int64_t end, float* tau);
