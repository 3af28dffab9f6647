#pragma once

// A sine and cosine for the vibrato's fast path, four lanes at a time: the
// argument reduced by multiples of π/2 (Cody and Waite, π/2 in a 33-bit
// head and its tail) and fdlibm's polynomials for sine and cosine on
// [−π/4, π/4]. For 0 ≤ x < 2^19 each stays within 2^-45 of the true value:
// the bound the vibrato's margin starts from, and the one the tests check.
// It does not replace the library's sin: the vibrato turns these values
// on to the sines of the samples after, and uses those only where they
// provably round to the same 32-bit delay, calling sin everywhere else.

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

// sin(x) and cos(x) for the four lanes of `x` (each 0 ≤ x < 2^19), within
// the same bound: cos(x) is sin(x + π/2), its polynomials one quadrant on.
WAVE_EFFECT_ALWAYS_INLINE void quick_sine_cosine4(const lanes4& x, lanes4& sine, lanes4& cosine) {
  using namespace quick_sine_detail;
  reduced4 reduced;
  reduce4(x, reduced);
  mask4 bits;
  std::memcpy(&bits, &reduced.shifted, sizeof bits);  // the integer sits in the low bits
  const mask4 odd = (bits & std::int64_t{1}) != std::int64_t{0};
  const mask4 sine_negative = (bits & std::int64_t{2}) != std::int64_t{0};
  const mask4 cosine_negative = ((bits + std::int64_t{1}) & std::int64_t{2}) != std::int64_t{0};
  lanes4 sine_r;
  lanes4 cosine_r;
  sine_polynomial(reduced, sine_r);
  cosine_polynomial(reduced, cosine_r);
  sine = SELECT_LANES(odd, cosine_r, sine_r);
  sine = SELECT_LANES(sine_negative, -sine, sine);
  cosine = SELECT_LANES(odd, sine_r, cosine_r);
  cosine = SELECT_LANES(cosine_negative, -cosine, cosine);
}
