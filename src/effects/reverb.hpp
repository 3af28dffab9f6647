#pragma once

// The reverb's pieces, open to the tests and the benchmark: the echo spacing
// and one output sample computed exactly as the formula reads, which the
// fast loops in apply_reverb must match bit for bit.

#include <cstdint>

#include "effects/effects.hpp"

inline constexpr int reverb_tap_count = 100;

// The echo spacing in samples: sample_rate × 0.05 formed in double
// precision, then rounded to a 32-bit float.
float echo_spacing(std::int32_t sample_rate);

// Output sample n of the reverb over the input record `in` (a window of it
// that holds what n reads):
//
//   out[n] = in[n] + Σ_{i=1..100} 0.5^i × in[m_i],  m_i = trunc(float(n) − i × D)
//
// summed in increasing i, each partial sum a double. A tap whose position
// truncates below 0 (p ≤ −1) or lands past the record adds nothing.
double reverb_sample(const sample_window& in, std::int32_t n, float spacing);
