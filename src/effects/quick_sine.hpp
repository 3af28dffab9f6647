#pragma once

// A sine for the vibrato's fast path, four lanes at a time: the argument
// reduced by multiples of π/2 (Cody and Waite, π/2 in a 33-bit head and its
// tail) and fdlibm's polynomials for sine and cosine on [−π/4, π/4]. For
// 0 ≤ x < 2^19 it stays within 2^-45 of the true sine: the one bound the
// vibrato's margin is built on, and the one the tests check. It does not
// replace the library's sin: the vibrato uses it only where its result
// provably rounds to the same 32-bit delay, and calls sin everywhere else.

#include <cstdint>
#include <cstring>

#include "platform/compiler.hpp"

inline constexpr double quick_sine_limit = 524288.0;  // 2^19

namespace quick_sine_detail {

constexpr double two_over_pi = 6.36619772367581382433e-01;
constexpr double shifter = 0x1.8p52;  // adding it rounds to an integer, half to even

// x reduced to r in [−π/4, π/4] by the nearest multiple of π/2, whose
// number sits in the low bits of `shifted`; and z = r².
struct reduced4 {
  lanes4 r;
  lanes4 z;
  lanes4 shifted;
};

// Vectors go in and out by reference: passed by value, they would change
// the calling convention between clones.
WAVE_EFFECT_ALWAYS_INLINE void reduce4(const lanes4& v, reduced4& out) {
  constexpr double pi_over_2_head = 1.57079632673412561417e+00;  // 33 bits: n × head is exact
  constexpr double pi_over_2_tail = 6.07710050650619224932e-11;
  const lanes4 shifted = v * two_over_pi + shifter;
  const lanes4 quadrants = shifted - shifter;
  const lanes4 r = (v - quadrants * pi_over_2_head) - quadrants * pi_over_2_tail;
  out = {r, r * r, shifted};
}

WAVE_EFFECT_ALWAYS_INLINE void sine_polynomial(const reduced4& x, lanes4& out) {
  const lanes4 z = x.z;
  out = x.r +
        x.r * z *
            (-1.66666666666666324348e-01 +
             z * (8.33333333332248946124e-03 +
                  z * (-1.98412698298579493134e-04 +
                       z * (2.75573137070700676789e-06 +
                            z * (-2.50507602534068634195e-08 + z * 1.58969099521155010221e-10)))));
}

WAVE_EFFECT_ALWAYS_INLINE void cosine_polynomial(const reduced4& x, lanes4& out) {
  const lanes4 z = x.z;
  out = 1.0 - 0.5 * z +
        z * z *
            (4.16666666666666019037e-02 +
             z * (-1.38888888888741095749e-03 +
                  z * (2.48015872894767294178e-05 +
                       z * (-2.75573143513906633035e-07 +
                            z * (2.08757232129817482790e-09 + z * -1.13596475577881948265e-11)))));
}

}  // namespace quick_sine_detail

// sin(x) for the four lanes of `x` (each 0 ≤ x < 2^19).
WAVE_EFFECT_ALWAYS_INLINE void quick_sine4(const double* x, double* sine) {
  using namespace quick_sine_detail;
  lanes4 v;
  std::memcpy(&v, x, sizeof v);
  reduced4 reduced;
  reduce4(v, reduced);
  mask4 bits;
  std::memcpy(&bits, &reduced.shifted, sizeof bits);  // the integer sits in the low bits
  const mask4 odd = (bits & std::int64_t{1}) != std::int64_t{0};
  const mask4 negative = (bits & std::int64_t{2}) != std::int64_t{0};
  lanes4 sine_r;
  lanes4 cosine_r;
  sine_polynomial(reduced, sine_r);
  cosine_polynomial(reduced, cosine_r);
  lanes4 result = SELECT_LANES(odd, cosine_r, sine_r);
  result = SELECT_LANES(negative, -result, result);
  std::memcpy(sine, &result, sizeof result);
}

// The multiple of π/2 that quick_sine4 reduces x by. It never falls as x
// grows, so every x between two with the same multiple has it too.
inline std::int64_t quick_sine_quadrant(double x) {
  using namespace quick_sine_detail;
  return static_cast<std::int64_t>((x * two_over_pi + shifter) - shifter);
}

// quick_sine4 for lanes that all reduce by one multiple of π/2, known
// beforehand (from quick_sine_quadrant): `odd` when it is odd, `negative`
// when it is 2 or 3 modulo 4. The same values, from one of the two
// polynomials instead of both.
template <bool odd>
WAVE_EFFECT_ALWAYS_INLINE void quick_sine4_in_quadrant(const double* x, double* sine,
                                                       bool negative) {
  using namespace quick_sine_detail;
  lanes4 v;
  std::memcpy(&v, x, sizeof v);
  reduced4 reduced;
  reduce4(v, reduced);
  lanes4 result;
  if constexpr (odd) {
    cosine_polynomial(reduced, result);
  } else {
    sine_polynomial(reduced, result);
  }
  if (negative) {
    result = -result;
  }
  std::memcpy(sine, &result, sizeof result);
}
