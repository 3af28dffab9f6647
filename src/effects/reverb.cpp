// Reverb: the direct sound plus 100 echoes 50 ms apart, each half as loud as
// the one before.
//
//   in ──┬──────────────────────────────────(+)── out
//        ├── delay 1·D ── × 0.5 ──────────────┤
//        ├── delay 2·D ── × 0.25 ─────────────┤
//        ⋮                                     ⋮
//        └── delay 100·D ── × 0.5^100 ────────┘
//
// D, the spacing in samples, is rounded to a 32-bit float, and so is the
// sample index n before the tap positions n − i·D are formed; both roundings
// are part of the result.
//
// The formula computes a position per sample and tap; the loops below work
// out where that position lands once per tap instead. For n below 2^24 the
// index is exact as a float and n − i·D is exact in double (i·D has at most
// 31 significant bits, no finer than D's last bit), so once the position is
// not negative, trunc(n − i·D) = n − ceil(i·D): a fixed offset per tap. The
// sum itself is left exactly as the formula has it: in[n] first, then the
// taps in increasing i, each partial sum a double.

#include "effects/reverb.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace {

using tap_table = std::array<double, reverb_tap_count + 1>;
using offset_table = std::array<std::int64_t, reverb_tap_count + 1>;

// 0.5^i for i = 0..100, as pow(0.5, i) gives them (exact powers of two).
const tap_table& echo_gains() {
  static const tap_table gains = [] {
    tap_table table{};
    for (int i = 0; i <= reverb_tap_count; ++i) {
      table[i] = std::pow(0.5, i);
    }
    return table;
  }();
  return gains;
}

// Where n stops being exact as a 32-bit float.
constexpr std::int64_t float_exact_limit = std::int64_t{1} << 24;

// The fast loops sum 32 outputs at a time in registers, four lanes to a
// vector: lane j of tap i reads in[position_j − offset[i]]. The outputs are
// taken in column order, each block one spacing (offset[1]) after the one
// before: its taps then read nearly the windows the previous block read one
// tap later, which are still in the first-level cache. In plain output
// order the taps of a block are spread over 100 spacings (1.7 MB at
// 44.1 kHz) and every one of them comes from further away.
constexpr int block_size = 32;
typedef double lanes4 __attribute__((vector_size(32)));
// The same lanes at any double's address: GCC's way to load and store them
// unaligned. (Macros, not functions: a vector passed by value would change
// the calling convention between the clones.)
typedef double unaligned_lanes4 __attribute__((vector_size(32), aligned(8), may_alias));
#define LOAD4(vector, pointer) ((vector) = *reinterpret_cast<const unaligned_lanes4*>(pointer))
#define STORE4(pointer, vector) (*reinterpret_cast<unaligned_lanes4*>(pointer) = (vector))

// 32 outputs from n0 on, below 2^24 and past the last offset: positions n.
__attribute__((always_inline)) inline void echo_block_steady(const double* __restrict in,
                                                             double* __restrict out,
                                                             std::int64_t n0,
                                                             const offset_table& offset,
                                                             const tap_table& gains) {
  lanes4 sum[block_size / 4];
  for (int v = 0; v < block_size / 4; ++v) {
    LOAD4(sum[v], in + n0 + 4 * v);
  }
  for (int i = 1; i <= reverb_tap_count; ++i) {
    const double* tap = in + n0 - offset[i];
    const double gain = gains[i];
    for (int v = 0; v < block_size / 4; ++v) {
      lanes4 read;
      LOAD4(read, tap + 4 * v);
      sum[v] += gain * read;
    }
  }
  for (int v = 0; v < block_size / 4; ++v) {
    STORE4(out + n0 + 4 * v, sum[v]);
  }
}

// 32 outputs from n0 on, past 2^24: positions float(n), given relative to n0.
__attribute__((always_inline)) inline void echo_block_rounded(const double* __restrict in,
                                                              double* __restrict out,
                                                              std::int64_t n0,
                                                              const std::int64_t* shift,
                                                              const offset_table& offset,
                                                              const tap_table& gains) {
  lanes4 sum[block_size / 4];
  for (int v = 0; v < block_size / 4; ++v) {
    LOAD4(sum[v], in + n0 + 4 * v);
  }
  for (int i = 1; i <= reverb_tap_count; ++i) {
    const double* tap = in + n0 - offset[i];
    const double gain = gains[i];
    for (int v = 0; v < block_size / 4; ++v) {
      const std::int64_t* s = shift + 4 * v;
      const lanes4 read = {tap[s[0]], tap[s[1]], tap[s[2]], tap[s[3]]};
      sum[v] += gain * read;
    }
  }
  for (int v = 0; v < block_size / 4; ++v) {
    STORE4(out + n0 + 4 * v, sum[v]);
  }
}

// Calls full(n0) for every whole block of [begin, end) and part(n0, length)
// for the rest, in column order.
template <class Full, class Part>
__attribute__((always_inline)) inline void for_each_block(std::int64_t begin, std::int64_t end,
                                                          std::int64_t column, Full full,
                                                          Part part) {
  for (std::int64_t first = 0; first < column; first += block_size) {
    const std::int64_t width = std::min<std::int64_t>(block_size, column - first);
    for (std::int64_t n0 = begin + first; n0 < end; n0 += column) {
      const std::int64_t length = std::min(width, end - n0);
      if (length == block_size) {
        full(n0);
      } else {
        part(n0, length);
      }
    }
  }
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define WAVE_EFFECT_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define WAVE_EFFECT_CLONES
#endif

// Samples [begin, end), all below 2^24 and at or past the last tap's offset:
// tap i reads in[n − offset[i]].
WAVE_EFFECT_CLONES
void add_echoes_steady(const double* __restrict in, double* __restrict out, std::int64_t begin,
                       std::int64_t end, const offset_table& offset, const tap_table& gains) {
  for_each_block(
      begin, end, offset[1], [&](std::int64_t n0) { echo_block_steady(in, out, n0, offset, gains); },
      [&](std::int64_t n0, std::int64_t length) {
        for (std::int64_t n = n0; n < n0 + length; ++n) {
          double sum = in[n];
          for (int i = 1; i <= reverb_tap_count; ++i) {
            sum += gains[i] * in[n - offset[i]];
          }
          out[n] = sum;
        }
      });
}

// Samples [begin, count) past 2^24: n rounds to r = float(n), which may lie
// on either side of n, and tap i reads in[r − offset[i]]. A block whose
// first tap could read past the end goes through the formula.
WAVE_EFFECT_CLONES
void add_echoes_rounded(const double* __restrict in, double* __restrict out, std::int64_t begin,
                        std::int64_t count, const offset_table& offset, const tap_table& gains,
                        float spacing) {
  auto formula = [&](std::int64_t n0, std::int64_t length) {
    for (std::int64_t n = n0; n < n0 + length; ++n) {
      out[n] = reverb_sample(in, static_cast<std::int32_t>(count), static_cast<std::int32_t>(n),
                             spacing);
    }
  };
  for_each_block(
      begin, count, offset[1],
      [&](std::int64_t n0) {
        std::int64_t shift[block_size];
        for (int j = 0; j < block_size; ++j) {
          shift[j] = static_cast<std::int64_t>(static_cast<float>(n0 + j)) - n0;
        }
        if (n0 + shift[block_size - 1] - offset[1] >= count) {
          formula(n0, block_size);
        } else {
          echo_block_rounded(in, out, n0, shift, offset, gains);
        }
      },
      formula);
}

// Whether r − i·D is exact in double for every r up to 2^31 and every tap:
// r + 100·D must fit in 53 bits counted from D's lowest set bit. It holds for
// every spacing of 5 samples or more (a rate of 100 Hz and up).
bool rounded_positions_exact(float spacing) {
  const double lowest_bit = std::ldexp(1.0, std::ilogb(spacing) - 23);
  return spacing >= 5.0f && std::ldexp(2147483648.0 + 100.0 * spacing, -53) < lowest_bit;
}

}  // namespace

float echo_spacing(std::int32_t sample_rate) {
  return static_cast<float>(sample_rate * 0.05);
}

double reverb_sample(const double* in, std::int32_t count, std::int32_t n, float spacing) {
  const tap_table& gains = echo_gains();
  const double nf = static_cast<float>(n);
  double sum = in[n];
  for (int i = 1; i <= reverb_tap_count; ++i) {
    const double p = nf - static_cast<double>(static_cast<float>(i)) * spacing;
    // trunc(p) ≥ 0 exactly when p > −1; testing first also keeps a far-off
    // position from ever being converted to an integer.
    if (!(p > -1.0)) {
      continue;
    }
    const auto m = static_cast<std::int64_t>(p);
    if (m >= count) {
      continue;  // only past 2^24, where float(n) rounds up beyond the input
    }
    sum += gains[i] * in[m];
  }
  return sum;
}

void apply_reverb_reference(const wave_data* in, wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  if (count <= 0) {
    return;
  }
  if (in->sample_rate <= 0) {
    std::copy_n(in->samples.get(), count, out->samples.get());
    return;
  }
  const float spacing = echo_spacing(in->sample_rate);
  for (std::int32_t n = 0; n < count; ++n) {
    out->samples[n] = reverb_sample(in->samples.get(), count, n, spacing);
  }
}

void apply_reverb(const wave_data* in, wave_data* out) {
  const std::int32_t count = std::min(in->sample_count, out->sample_count);
  if (count <= 0) {
    return;
  }
  const double* x = in->samples.get();
  double* y = out->samples.get();
  if (in->sample_rate <= 0) {
    // No echo has a place in time without a positive rate: the direct sound alone.
    std::copy_n(x, count, y);
    return;
  }
  const float spacing = echo_spacing(in->sample_rate);
  const tap_table& gains = echo_gains();
  offset_table offset{};
  for (int i = 1; i <= reverb_tap_count; ++i) {
    offset[i] = static_cast<std::int64_t>(std::ceil(i * static_cast<double>(spacing)));
  }

  // Before the last tap's offset some taps fall before the start: the formula.
  const std::int64_t exact_end = std::min<std::int64_t>(count, float_exact_limit);
  const std::int64_t steady_begin = std::min(offset[reverb_tap_count], exact_end);
  for (std::int64_t n = 0; n < steady_begin; ++n) {
    y[n] = reverb_sample(x, count, static_cast<std::int32_t>(n), spacing);
  }
  add_echoes_steady(x, y, steady_begin, exact_end, offset, gains);

  if (exact_end < count) {
    if (offset[reverb_tap_count] <= float_exact_limit && rounded_positions_exact(spacing)) {
      add_echoes_rounded(x, y, exact_end, count, offset, gains, spacing);
    } else {
      for (std::int64_t n = exact_end; n < count; ++n) {
        y[n] = reverb_sample(x, count, static_cast<std::int32_t>(n), spacing);
      }
    }
  }
}
