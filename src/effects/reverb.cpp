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
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/compiler.hpp"

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

// What the fast loops need to know of the taps.
//
// settle[i] lets a block stop early: every tap from i on adds at most
// 0.5^i × max|in|, and a sum S can only be moved by an addend of at least a
// quarter of its last bit, which is more than |S| × 2^-55. Once every sum of a
// block lies beyond ±0.5^i × max|in| × 2^55, taps i to 100 change none of
// them, exactly as if they had been added. For real sound that is typically
// after 60 of the 100 taps. A NaN or infinity in the input disables it.
struct tap_plan {
  offset_table offset;                           // offset[i] = ceil(i × D)
  std::array<bool, reverb_tap_count + 1> whole;  // whether i × D is a whole number
  tap_table gain;                                // 0.5^i
  std::array<double, reverb_tap_count + 2> settle;
  int largest_exponent;  // ilogb(max|in|), clamped to ±2000 (for 0 and infinity)
  double after_exact;    // max|in| × 0.5^36: more than all the taps after the exact ones add
  bool exact_start;      // whether taps 1 to exact_taps may come from exact sums (below)
};

// The first taps without rounding. A held 16-bit sample is a multiple of
// 2^-15 no larger than 1 in magnitude, so 0.5^i × in is a multiple of
// 2^-(15+i), and the direct sound and taps 1 to 37 are multiples of 2^-52
// whose partial sums all lie below 2 in magnitude: a double holds each
// exactly, so none of those additions rounds and their order does not
// matter. With a whole spacing D their sum over the taps,
//
//   E[k] = Σ_{i=1..37} 0.5^i × in[k − i·D],
//
// follows from the one a spacing earlier,
//
//   E[k] = 0.5 × (in[k − D] + E[k − D]) − 0.5^38 × in[k − 38·D],
//
// every step again exact (multiples of 2^-53 below 2). An output's sum
// through tap 37 is then in[n] + E[float(n)]: a few operations where the
// taps took 37 reads, multiplies and adds, and only the taps from 38 on
// are added one at a time. A negative zero in the input could give a zero
// sum another sign than the formula's order gives it, so input holding one,
// or anything but 16-bit values, takes every tap one at a time.
constexpr int exact_taps = 37;

constexpr int first_settle_check = 48;  // no sum settles before this tap

WAVE_EFFECT_ALWAYS_INLINE bool sums_settled(const lanes4* sum, int vectors, double limit) {
  const lanes4 above = {limit, limit, limit, limit};
  mask4 all = (sum[0] > above) | (sum[0] < -above);
  for (int v = 1; v < vectors; ++v) {
    all &= (sum[v] > above) | (sum[v] < -above);
  }
  return (all[0] & all[1] & all[2] & all[3]) != 0;
}

// Whether the block may stop after tap i (checked every fourth tap).
#define SETTLED_AFTER(i, sum, plan, vectors)    \
  ((i) % 4 == 0 && (i) >= first_settle_check && \
   sums_settled((sum), (vectors), (plan).settle[(i) + 1]))

// The last tap that can still move one of the sums, known from the sums
// through the exact taps. The taps after those add less than
// 0.5^37 × max|in| in all, so every sum stays beyond b, its smallest
// magnitude now less 0.5^36 × max|in| (in double, the second half leaving
// room for the rounding of that difference), and so strictly beyond 2^e
// where 2^e ≤ b. With max|in| < 2^(l+1), tap j adds less than 2^(l+1−j);
// from j = l + 54 − e on that is below 2^(e−53), half the step between
// doubles on either side of any magnitude above 2^e, and leaves every sum
// as it is.
template <int vectors>
WAVE_EFFECT_ALWAYS_INLINE int last_tap_felt(const lanes4* sum, const tap_plan& plan) {
  const lanes4 zero = {0.0, 0.0, 0.0, 0.0};
  lanes4 smallest = SELECT_LANES(sum[0] < zero, -sum[0], sum[0]);
  for (int v = 1; v < vectors; ++v) {
    const lanes4 magnitude = SELECT_LANES(sum[v] < zero, -sum[v], sum[v]);
    smallest = SELECT_LANES(magnitude < smallest, magnitude, smallest);
  }
  const double least =
      std::min(std::min(smallest[0], smallest[1]), std::min(smallest[2], smallest[3]));
  const double bound = least - plan.after_exact;
  if (!(bound > 0.0)) {
    return reverb_tap_count;
  }
  // bound < 2: its biased exponent is a normal number's, or 0 (then e is
  // taken as −1023, and every tap is added).
  const int e = static_cast<int>(std::bit_cast<std::uint64_t>(bound) >> 52) - 1023;
  return std::clamp(plan.largest_exponent + 53 - e, exact_taps, reverb_tap_count);
}

// What a block that carries nothing on does once it has read its exact sums.
struct nothing_to_do {
  void operator()() const {}
};

// The sums of `vectors` vectors of four outputs, from the output at `out`
// on, whose direct sound is at `in`: each starts from the direct sound,
// then adds the taps in increasing i, each partial sum a double, until no
// later tap can move any of them. read_tap(tap, v, read) gives vector v's
// four readings of tap i, where tap = in − offset[i] (the window the
// outputs read at positions n). Where `exact` is not null it holds the
// exact sums E (read as a tap is), which stand for taps 1 to exact_taps,
// and exact_read() is called once they are read: from then on they may
// change.
template <int vectors, class ReadTap, class ExactRead = nothing_to_do>
WAVE_EFFECT_ALWAYS_INLINE void sum_echoes(const double* WAVE_EFFECT_RESTRICT in,
                                          double* WAVE_EFFECT_RESTRICT out, const double* exact,
                                          const tap_plan& plan, ReadTap read_tap,
                                          ExactRead exact_read = {}) {
  // Each vector is loaded on its own: copied as one run, the sums would go
  // through memory in pieces narrower than a vector, and every first add
  // would wait for them.
  lanes4 sum[vectors];
  WAVE_EFFECT_UNROLL
  for (int v = 0; v < vectors; ++v) {
    lanes4 direct;
    LOAD_LANES(direct, in + 4 * v);
    if (exact != nullptr) {
      lanes4 read;
      read_tap(exact, v, read);
      direct += read;
    }
    sum[v] = direct;
  }
  if (exact != nullptr) {
    exact_read();
  }
  const int first_tap = exact != nullptr ? exact_taps + 1 : 1;
  const int last_tap = exact != nullptr ? last_tap_felt<vectors>(sum, plan) : reverb_tap_count;
  for (int i = first_tap; i <= last_tap; ++i) {
    const double* tap = in - plan.offset[i];
    WAVE_EFFECT_HOLD(tap);
    const double gain = plan.gain[i];
    WAVE_EFFECT_UNROLL
    for (int v = 0; v < vectors; ++v) {
      lanes4 read;
      read_tap(tap, v, read);
      sum[v] += gain * read;
    }
    if (exact == nullptr && SETTLED_AFTER(i, sum, plan, vectors)) {
      break;
    }
  }
  WAVE_EFFECT_UNROLL
  for (int v = 0; v < vectors; ++v) {
    STORE_LANES(out + 4 * v, sum[v]);
  }
}

constexpr int block_vectors = block_size / 4;

// 32 outputs from n0 on (in and out at n0), below 2^24 and past the last
// offset: positions n.
template <class ExactRead>
WAVE_EFFECT_ALWAYS_INLINE void echo_block_steady(const double* WAVE_EFFECT_RESTRICT in,
                                                 double* WAVE_EFFECT_RESTRICT out,
                                                 const double* exact, const tap_plan& plan,
                                                 ExactRead exact_read) {
  sum_echoes<block_vectors>(
      in, out, exact, plan,
      [](const double* tap, int v, lanes4& read)
          WAVE_EFFECT_INLINE_LAMBDA { LOAD_LANES(read, tap + 4 * v); },
      exact_read);
}

// Where the loops read and write: input sample n at in[n − in_first] (a
// window of the input), output sample n at out[n − out_first], for the
// stretch's outputs [out_first, out_end).
struct echo_buffers {
  const double* in;
  std::int64_t in_first;
  double* out;
  std::int64_t out_first;
  std::int64_t out_end;

  const double* input(std::int64_t n) const { return in + (n - in_first); }
  double* output(std::int64_t n) const { return out + (n - out_first); }
  bool holds(std::int64_t n, std::int64_t count) const {
    return n >= out_first && n + count <= out_end;
  }
};

// Past 2^24 some blocks are summed 36 outputs wide, from `early` before the
// n0 they owe 32 outputs from on. sum(sums) writes the 36 straight into the
// output where all of them are this stretch's: those around the 32 belong
// to the blocks beside it, which give them the same values. Elsewhere they
// go to a spare row, and the 32 are copied out.
constexpr int wide_block_size = block_size + 4;

template <class Sum>
WAVE_EFFECT_ALWAYS_INLINE void sum_wide_block(const echo_buffers& io, std::int64_t n0,
                                              std::int64_t early, Sum sum) {
  double spare[wide_block_size];
  const bool in_place = io.holds(n0 - early, wide_block_size);
  sum(in_place ? io.output(n0 - early) : spare);
  if (!in_place) {
    std::copy(spare + early, spare + early + block_size, io.output(n0));
  }
}

// Past 2^24 the index n rounds to r = float(n), a multiple of 2 up to 2^25,
// of 4 up to 2^26, and so on (odd multiples of half the step are ties and go
// to the multiple of twice the step). Tap i of output n reads in[r − offset[i]];
// how neighbouring outputs share their r decides how a block is summed.

// Any 32 outputs from n0 on (in and out at n0): each lane gathers its own
// position, r − n0 in shift[j].
WAVE_EFFECT_ALWAYS_INLINE void echo_block_rounded(const double* WAVE_EFFECT_RESTRICT in,
                                                  double* WAVE_EFFECT_RESTRICT out,
                                                  const double* exact, const std::int64_t* shift,
                                                  const tap_plan& plan) {
  sum_echoes<block_vectors>(in, out, exact, plan,
                            [shift](const double* tap, int v, lanes4& read)
                                WAVE_EFFECT_INLINE_LAMBDA {
                                  const std::int64_t* s = shift + 4 * v;
                                  read = lanes4{tap[s[0]], tap[s[1]], tap[s[2]], tap[s[3]]};
                                });
}

// From 2^25 on every r is shared by at least three neighbouring outputs, so
// the four lanes of a vector read at most two positions: lane 0's (`low`)
// and lane 3's (`high`). Both and each lane's choice stay in registers over
// all the taps, four vectors (the 16 outputs from n0 + first on) at a time.
// The periodic blocks below are cheaper; this serves from 2^28 on, and
// where their 36 outputs would cross an octave or the record's end.
constexpr int coarse_vectors = 4;

WAVE_EFFECT_ALWAYS_INLINE void echo_part_coarse(const double* WAVE_EFFECT_RESTRICT in,
                                                double* WAVE_EFFECT_RESTRICT out,
                                                const double* exact, int first,
                                                const std::int64_t* shift, const tap_plan& plan) {
  std::int64_t low[coarse_vectors];  // relative to output n0 + first
  std::int64_t high[coarse_vectors];
  mask4 takes_high[coarse_vectors];
  for (int v = 0; v < coarse_vectors; ++v) {
    const std::int64_t* s = shift + first + 4 * v;
    low[v] = s[0] - first;
    high[v] = s[3] - first;
    takes_high[v] = mask4{s[0], s[1], s[2], s[3]} == s[3];
  }
  sum_echoes<coarse_vectors>(in + first, out + first, exact == nullptr ? nullptr : exact + first,
                             plan,
                             [&](const double* tap, int v, lanes4& read) WAVE_EFFECT_INLINE_LAMBDA {
                               const double a = tap[low[v]];
                               const double c = tap[high[v]];
                               const lanes4 read_low = {a, a, a, a};
                               const lanes4 read_high = {c, c, c, c};
                               read = SELECT_LANES(takes_high[v], read_high, read_low);
                             });
}

// Between 2^24 and 2^25 the four outputs from one two past a multiple of 4
// round to that output and to the one two past it three times: (r, r + 2,
// r + 2, r + 2). A block is summed as 36 outputs from the first such output
// at or before it, each vector's readings one load and a fixed permutation,
// as in the steady loops. The window and the exact sums reach that far (3
// before, 4 after); all 36 lie where floats are 2 apart.
template <class ExactRead>
WAVE_EFFECT_ALWAYS_INLINE void echo_block_realigned(const echo_buffers& io, const double* exact,
                                                    std::int64_t n0, const tap_plan& plan,
                                                    ExactRead exact_read) {
  const std::int64_t early = (n0 - 2) & 3;  // from n0 − early
  sum_wide_block(io, n0, early, [&](double* sums) WAVE_EFFECT_INLINE_LAMBDA {
    sum_echoes<wide_block_size / 4>(
        io.input(n0 - early), sums, exact == nullptr ? nullptr : exact - early, plan,
        [](const double* tap, int v, lanes4& read) WAVE_EFFECT_INLINE_LAMBDA {
          lanes4 four;
          LOAD_LANES(four, tap + 4 * v);
          read = PERMUTE_LANES(four, 0, 2, 2, 2);
        },
        exact_read);
  });
}

// From 2^25 to 2^28 floats are q = 4, 8 or 16 apart, and the outputs from
// one at q/2 + 1 past a multiple of 2q (a period's start) round in a
// pattern that repeats every 2q outputs: the first q − 1 to that output
// plus q/2 − 1 (R), the next q + 1 to R + q (the tie between the two goes
// to R + q, a multiple of 2q), and so on from R + 2q. Four outputs from one
// at q/2 + 1 past a multiple of 4 therefore read one position, but for the
// one vector in each period whose last output starts R + q's run:
// (R, R, R, R + q). A block is summed as 36 outputs from the first such
// output at or before it (`early` before n0), each vector's readings one
// broadcast or two, as its place in the period (its rotation, from the
// block's first vector on) says. The exact sums reach that far
// (periodic_margin).

constexpr int periodic_margin(int q) {
  // Outputs from n0 − 3 to n0 + 35 read up to q/2 either side.
  return (q / 2 + 4 + 3) / 4 * 4;
}

template <int q, int rotation, class ExactRead>
WAVE_EFFECT_ALWAYS_INLINE void echo_block_periodic(const double* WAVE_EFFECT_RESTRICT in,
                                                   double* WAVE_EFFECT_RESTRICT sums,
                                                   const double* exact, const tap_plan& plan,
                                                   ExactRead exact_read) {
  sum_echoes<wide_block_size / 4>(
      in, sums, exact, plan,
      [](const double* tap, int v, lanes4& read) WAVE_EFFECT_INLINE_LAMBDA {
        const int t = 4 * (rotation + v);  // the vector's first output, from the period's start
        const int within = t % (2 * q);
        const int low = q / 2 - 1 + (t - within) + (within >= q ? q : 0) - 4 * rotation;
        const double x = tap[low];
        if (within == q - 4) {
          const double y = tap[low + q];
          read = lanes4{x, x, x, y};
        } else {
          read = lanes4{x, x, x, x};
        }
      },
      exact_read);
}

// echo_block_periodic<q, rotation> for the rotation given at run time.
template <int q, class ExactRead, int... rotations>
WAVE_EFFECT_ALWAYS_INLINE void echo_block_rotated(const double* in, double* sums,
                                                  const double* exact, int rotation,
                                                  const tap_plan& plan, ExactRead exact_read,
                                                  std::integer_sequence<int, rotations...>) {
  (void)((rotation == rotations &&
          (echo_block_periodic<q, rotations>(in, sums, exact, plan, exact_read), true)) ||
         ...);
}

// Calls full(n0, top) for every whole block of [begin, end) and
// part(n0, length) for the rest, in column order; top marks the first block
// of a column. A last column narrower than a block is taken a whole block
// wide, overlapping the one before it: the outputs the two share come out
// the same twice, and none is left to the slower part.
template <class Full, class Part>
WAVE_EFFECT_ALWAYS_INLINE void for_each_block(std::int64_t begin, std::int64_t end,
                                              std::int64_t column, Full full, Part part) {
  for (std::int64_t first = 0; first < column; first += block_size) {
    if (first + block_size > column && column >= block_size) {
      first = column - block_size;
    }
    const std::int64_t width = std::min<std::int64_t>(block_size, column - first);
    bool top = true;
    for (std::int64_t n0 = begin + first; n0 < end; n0 += column) {
      const std::int64_t length = std::min(width, end - n0);
      if (length == block_size) {
        full(n0, top);
        top = false;
      } else {
        part(n0, length);
      }
    }
  }
}

// The exact sums E[k] a block at n0 reads, for k in [n0 − margin,
// n0 + block_size + margin): past 2^24 its outputs read E at float(n),
// up to half a float step from n. Carried down a column a spacing at a time.
struct exact_sums {
  static constexpr int widest_margin = 64;  // half the float step just below 2^31
  double at[block_size + 2 * widest_margin];
  int margin = 0;      // a multiple of 4
  bool ahead = false;  // already carried on to the next block (see carry_exact_sums)
};

// E for the block at n0, tap by tap (exact in any order).
WAVE_EFFECT_ALWAYS_INLINE void start_exact_sums(const echo_buffers& io, std::int64_t n0,
                                                const tap_plan& plan, exact_sums& sums) {
  const double* in = io.input(n0 - sums.margin);
  const int width = block_size + 2 * sums.margin;
  for (int w = 0; w < width; w += 4) {
    lanes4 sum = {};
    for (int i = 1; i <= exact_taps; ++i) {
      lanes4 read;
      LOAD_LANES(read, in + w - plan.offset[i]);
      sum += plan.gain[i] * read;
    }
    STORE_LANES(sums.at + w, sum);
  }
}

// E for the block at n0 from E for the block a spacing before it.
WAVE_EFFECT_ALWAYS_INLINE void advance_exact_sums(const echo_buffers& io, std::int64_t n0,
                                                  const tap_plan& plan, exact_sums& sums) {
  const double* in = io.input(n0 - sums.margin);
  const int width = block_size + 2 * sums.margin;
  const std::int64_t nearest = plan.offset[1];
  const std::int64_t leaving = plan.offset[exact_taps + 1];
  const double leaving_gain = plan.gain[exact_taps + 1];
  for (int w = 0; w < width; w += 4) {
    lanes4 before;
    lanes4 near;
    lanes4 far;
    LOAD_LANES(before, sums.at + w);
    LOAD_LANES(near, in + w - nearest);
    LOAD_LANES(far, in + w - leaving);
    const lanes4 after = 0.5 * (near + before) - leaving_gain * far;
    STORE_LANES(sums.at + w, after);
  }
}

// E[n0] on for the block at n0, started afresh or carried from the block a
// spacing before it; null where the plan takes every tap one at a time.
WAVE_EFFECT_ALWAYS_INLINE const double* exact_sums_for(const echo_buffers& io, std::int64_t n0,
                                                       bool afresh, const tap_plan& plan,
                                                       exact_sums& sums) {
  if (!plan.exact_start) {
    return nullptr;
  }
  if (afresh) {
    start_exact_sums(io, n0, plan, sums);
  } else if (!sums.ahead) {
    advance_exact_sums(io, n0, plan, sums);
  }
  sums.ahead = false;
  return sums.at + sums.margin;
}

// Called by a block once it has read its exact sums: carries them on to the
// block a spacing after it in the column, at `next`, where that block will
// take them (`next_takes`: a whole block of the piece, reading inside the
// record). Made while this block adds its taps, they are ready when the next
// one starts; made at its start, its first sums waited on their reads.
WAVE_EFFECT_ALWAYS_INLINE void carry_exact_sums(const echo_buffers& io, std::int64_t next,
                                                bool next_takes, const tap_plan& plan,
                                                exact_sums& sums) {
  if (next_takes) {
    advance_exact_sums(io, next, plan, sums);
    sums.ahead = true;
  }
}

// Samples [begin, end), all below 2^24 and at or past the last tap's offset:
// tap i reads in[n − offset[i]].
WAVE_EFFECT_TWO_BUILDS(void, add_echoes_steady,
                       (const echo_buffers& io, std::int64_t begin, std::int64_t end,
                        const tap_plan& plan),
                       (io, begin, end, plan)) {
  exact_sums sums;
  for_each_block(
      begin, end, plan.offset[1],
      [&](std::int64_t n0, bool top) WAVE_EFFECT_INLINE_LAMBDA {
        const double* exact = exact_sums_for(io, n0, top, plan, sums);
        echo_block_steady(io.input(n0), io.output(n0), exact, plan,
                          [&]() WAVE_EFFECT_INLINE_LAMBDA {
                            const std::int64_t next = n0 + plan.offset[1];
                            carry_exact_sums(io, next, next + block_size <= end, plan, sums);
                          });
      },
      [&](std::int64_t n0, std::int64_t length) WAVE_EFFECT_INLINE_LAMBDA {
        for (std::int64_t n = n0; n < n0 + length; ++n) {
          const double* x = io.input(n);
          double sum = x[0];
          for (int i = 1; i <= reverb_tap_count; ++i) {
            sum += plan.gain[i] * x[-plan.offset[i]];
          }
          *io.output(n) = sum;
        }
      });
}

// Half the step between floats around n (n < 2^31): how far float(n) can
// lie from n. 0 below 2^24.
int half_float_step(std::int64_t n) {
  const int power = std::bit_width(static_cast<std::uint64_t>(n)) - 1;
  return power < 24 ? 0 : 1 << (power - 24);
}

// Sums the block at n0 (past 2^25) by its octave's pattern where the 36
// outputs lie inside that octave and the record; otherwise returns false.
template <int q, class ExactRead>
WAVE_EFFECT_ALWAYS_INLINE bool periodic_block_in(const echo_buffers& io, std::int64_t n0,
                                                 const double* exact, std::int64_t count,
                                                 const tap_plan& plan, ExactRead exact_read) {
  const std::int64_t octave = float_exact_limit * q / 2;  // where floats become q apart
  const std::int64_t early = (n0 - (q / 2 + 1)) & 3;
  const std::int64_t first = n0 - early;
  if (first < octave || first + wide_block_size > 2 * octave || first + wide_block_size > count) {
    return false;
  }
  const auto rotation = static_cast<int>(((first - (q / 2 + 1)) / 4) % (q / 2));
  sum_wide_block(io, n0, early, [&](double* sums) WAVE_EFFECT_INLINE_LAMBDA {
    echo_block_rotated<q>(io.input(first), sums, exact == nullptr ? nullptr : exact - early,
                          rotation, plan, exact_read, std::make_integer_sequence<int, q / 2>());
  });
  return true;
}

template <class ExactRead>
WAVE_EFFECT_ALWAYS_INLINE bool periodic_block(const echo_buffers& io, std::int64_t n0,
                                              const double* exact, std::int64_t count,
                                              const tap_plan& plan, ExactRead exact_read) {
  switch (half_float_step(n0)) {
    case 2:
      return periodic_block_in<4>(io, n0, exact, count, plan, exact_read);
    case 4:
      return periodic_block_in<8>(io, n0, exact, count, plan, exact_read);
    case 8:
      return periodic_block_in<16>(io, n0, exact, count, plan, exact_read);
    default:
      return false;
  }
}

// Samples [begin, end) past 2^24: n rounds to r = float(n), which may lie
// on either side of n, and tap i reads in[r − offset[i]]. A block whose
// first tap, or whose exact sums, could read past the end of the record
// goes through the formula.
WAVE_EFFECT_TWO_BUILDS(void, add_echoes_rounded,
                       (const echo_buffers& io, const sample_window& window, std::int64_t begin,
                        std::int64_t end, const tap_plan& plan, float spacing),
                       (io, window, begin, end, plan, spacing)) {
  auto formula = [&](std::int64_t n0, std::int64_t length) WAVE_EFFECT_INLINE_LAMBDA {
    for (std::int64_t n = n0; n < n0 + length; ++n) {
      *io.output(n) = reverb_sample(window, static_cast<std::int32_t>(n), spacing);
    }
  };
  exact_sums sums;
  const int step = 2 * half_float_step(end - 1);  // the widest float step here
  sums.margin = std::max({4, step / 2, step >= 4 ? periodic_margin(std::min(step, 16)) : 0});
  // The windows a block reads must lie inside the record; near its end a
  // tap can round past it.
  auto inside_record = [&](std::int64_t n0) WAVE_EFFECT_INLINE_LAMBDA {
    const std::int64_t last = n0 + block_size - 1;
    const std::int64_t reads_to = std::max(static_cast<std::int64_t>(static_cast<float>(last)),
                                           plan.exact_start ? last + 1 + sums.margin : 0);
    return reads_to - plan.offset[1] < window.count;
  };
  bool carried = false;  // whether sums holds E for the block a spacing back
  for_each_block(
      begin, end, plan.offset[1],
      [&](std::int64_t n0, bool top) WAVE_EFFECT_INLINE_LAMBDA {
        if (!inside_record(n0)) {
          formula(n0, block_size);
          carried = false;
          return;
        }
        const double* exact = exact_sums_for(io, n0, top || !carried, plan, sums);
        carried = true;
        auto exact_read = [&]() WAVE_EFFECT_INLINE_LAMBDA {
          const std::int64_t next = n0 + plan.offset[1];
          carry_exact_sums(io, next, next + block_size <= end && inside_record(next), plan, sums);
        };
        if (n0 - 3 >= float_exact_limit && n0 + wide_block_size <= 2 * float_exact_limit &&
            n0 + wide_block_size <= window.count) {
          echo_block_realigned(io, exact, n0, plan, exact_read);
          return;
        }
        if (periodic_block(io, n0, exact, window.count, plan, exact_read)) {
          return;
        }
        // shift[j] = r − n0 for output n0 + j.
        std::int64_t shift[block_size];
        for (int j = 0; j < block_size; ++j) {
          shift[j] = static_cast<std::int64_t>(static_cast<float>(n0 + j)) - n0;
        }
        bool coarse = true;  // each vector reads two positions at most
        for (int j = 0; j < block_size; ++j) {
          const std::int64_t* s = shift + j / 4 * 4;
          coarse &= shift[j] == s[0] || shift[j] == s[3];
        }
        if (coarse) {
          for (int first = 0; first < block_size; first += 4 * coarse_vectors) {
            echo_part_coarse(io.input(n0), io.output(n0), exact, first, shift, plan);
          }
        } else {
          echo_block_rounded(io.input(n0), io.output(n0), exact, shift, plan);
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

// What the plan needs to know of the samples a stretch reads.
struct window_survey {
  double largest;    // the largest magnitude, infinity if any is not finite
  bool held_16_bit;  // every sample k/32768 for a 16-bit k, none a negative zero
};

// One scan at memory speed, two lanes, two vectors. x − x is NaN exactly
// for an infinity or a NaN, and a NaN stays in a sum; a held 16-bit value
// times 32768 is a whole number that rounding to one (adding and taking
// away 1.5 × 2^52) leaves as it is.
window_survey survey_window(const double* in, std::int64_t count) {
  const lanes2 zero = {0.0, 0.0};
  const lanes2 rounder = {0x1.8p52, 0x1.8p52};
  const mask2 none = {0, 0};
  const mask2 negative_zero = {std::numeric_limits<std::int64_t>::min(),
                               std::numeric_limits<std::int64_t>::min()};
  lanes2 largest[2] = {zero, zero};
  lanes2 checks[2] = {zero, zero};
  mask2 outside[2] = {none, none};
  std::int64_t n = 0;
  for (; n + 4 <= count; n += 4) {
    for (int k = 0; k < 2; ++k) {
      lanes2 v;
      LOAD_LANES(v, in + n + 2 * k);
      mask2 bits;
      LOAD_LANES(bits, in + n + 2 * k);
      const lanes2 magnitude = SELECT_LANES(v < zero, -v, v);
      largest[k] = SELECT_LANES(magnitude > largest[k], magnitude, largest[k]);
      checks[k] += v - v;
      const lanes2 scaled = v * 32768.0;
      outside[k] |=
          ((scaled + rounder) - rounder != scaled) | (magnitude > 1.0) | (bits == negative_zero);
    }
  }
  window_survey survey{0.0, true};
  double check = 0.0;
  for (int k = 0; k < 2; ++k) {
    for (int lane = 0; lane < 2; ++lane) {
      survey.largest = std::max(survey.largest, largest[k][lane]);
      check += checks[k][lane];
      survey.held_16_bit &= outside[k][lane] == 0;
    }
  }
  for (; n < count; ++n) {
    survey.largest = std::max(survey.largest, std::fabs(in[n]));
    check += in[n] - in[n];
    const double scaled = in[n] * 32768.0;
    survey.held_16_bit &= (scaled + 0x1.8p52) - 0x1.8p52 == scaled && std::fabs(in[n]) <= 1.0 &&
                          !(in[n] == 0.0 && std::signbit(in[n]));
  }
  if (check != 0.0) {
    survey = {std::numeric_limits<double>::infinity(), false};
  }
  return survey;
}

// The plan for outputs that read samples [0, count) from `in`; held_16_bit
// and a bound on the magnitudes (held_peak) as the window tells, else found
// by looking.
tap_plan plan_taps(const double* in, std::int64_t count, bool held_16_bit, double held_peak,
                   float spacing) {
  tap_plan plan{};
  plan.gain = echo_gains();
  for (int i = 1; i <= reverb_tap_count; ++i) {
    const double distance = i * static_cast<double>(spacing);  // exact
    plan.offset[i] = static_cast<std::int64_t>(std::ceil(distance));
    plan.whole[i] = plan.offset[i] == distance;
  }
  const window_survey survey =
      held_16_bit ? window_survey{held_peak, true} : survey_window(in, count);
  for (int i = 0; i < static_cast<int>(plan.settle.size()); ++i) {
    plan.settle[i] = std::ldexp(survey.largest, 55 - i);  // infinity stays infinity
  }
  plan.after_exact = std::ldexp(survey.largest, -(exact_taps - 1));
  plan.largest_exponent = !(survey.largest > 0.0)         ? -2000
                          : std::isfinite(survey.largest) ? std::ilogb(survey.largest)
                                                          : 2000;
  plan.exact_start = plan.whole[1] && survey.held_16_bit;
  return plan;
}

// Samples [begin, end), all below 2^24 and before the last tap's offset,
// where the earliest taps reach back past the start. With the distance
// x = i·D exact and n exact, the position n − x truncates to n − offset[i]
// when x ≤ n; when n < x < n + 1 it lies between −1 and 0 and truncates to
// 0; further back the tap is skipped. The same sum as the formula, without
// a float conversion per tap.
void add_echoes_at_start_one_by_one(const echo_buffers& io, std::int64_t begin, std::int64_t end,
                                    const tap_plan& plan) {
  for (std::int64_t n = begin; n < end; ++n) {
    double sum = *io.input(n);
    for (int i = 1; i <= reverb_tap_count; ++i) {
      const std::int64_t offset = plan.offset[i];
      if (offset <= n) {
        sum += plan.gain[i] * *io.input(n - offset);
      } else if (offset == n + 1 && !plan.whole[i]) {
        sum += plan.gain[i] * *io.input(0);
      }
    }
    *io.output(n) = sum;
  }
}

// The same, 32 outputs from n0 on at a time as echo_block_steady sums them.
// A skipped tap adds −0.0 times its gain, which leaves every sum as it was
// (−0.0 included); once every lane skips a tap, every later tap, further
// back, is skipped too.
WAVE_EFFECT_ALWAYS_INLINE void echo_block_at_start(const echo_buffers& io, std::int64_t n0,
                                                   const tap_plan& plan) {
  const double* in = io.input(0);
  lanes4 sum[block_vectors];
  for (int v = 0; v < block_vectors; ++v) {
    LOAD_LANES(sum[v], in + n0 + 4 * v);
  }
  for (int i = 1; i <= reverb_tap_count; ++i) {
    const std::int64_t first = n0 - plan.offset[i];  // lane 0's position
    if (first + block_size < (plan.whole[i] ? 1 : 0)) {
      break;  // no lane reads this tap or any later one
    }
    const double gain = plan.gain[i];
    if (first >= 0) {
      for (int v = 0; v < block_vectors; ++v) {
        lanes4 read;
        LOAD_LANES(read, in + first + 4 * v);
        sum[v] += gain * read;
      }
    } else {
      const double just_before = plan.whole[i] ? -0.0 : in[0];
      for (int v = 0; v < block_vectors; ++v) {
        lanes4 read;
        for (int lane = 0; lane < 4; ++lane) {
          const std::int64_t p = first + 4 * v + lane;
          read[lane] = p >= 0 ? in[p] : p == -1 ? just_before : -0.0;
        }
        sum[v] += gain * read;
      }
    }
    if (SETTLED_AFTER(i, sum, plan, block_vectors)) {
      break;
    }
  }
  for (int v = 0; v < block_vectors; ++v) {
    STORE_LANES(io.output(n0) + 4 * v, sum[v]);
  }
}

WAVE_EFFECT_TWO_BUILDS(void, add_echoes_at_start,
                       (const echo_buffers& io, std::int64_t begin, std::int64_t end,
                        const tap_plan& plan),
                       (io, begin, end, plan)) {
  std::int64_t n0 = begin;
  for (; n0 + block_size <= end; n0 += block_size) {
    echo_block_at_start(io, n0, plan);
  }
  add_echoes_at_start_one_by_one(io, n0, end, plan);
}

}  // namespace

float echo_spacing(std::int32_t sample_rate) { return static_cast<float>(sample_rate * 0.05); }

input_reach reverb_reach(std::int32_t sample_rate) {
  if (sample_rate <= 0) {
    return {};  // the direct sound alone
  }
  // Past 2^24 the index rounds to a float up to 64 samples away from n, and
  // a tap's position truncates one sample further back at most.
  const auto history = static_cast<std::int64_t>(
      std::ceil(reverb_tap_count * static_cast<double>(echo_spacing(sample_rate))));
  return {history + 256, 256};
}

double reverb_sample(const sample_window& in, std::int32_t n, float spacing) {
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
    if (m >= in.count) {
      continue;  // only past 2^24, where float(n) rounds up beyond the input
    }
    sum += gains[i] * in[m];
  }
  return sum;
}

void apply_reverb_stretch(const sample_window& in, double* out, std::int64_t begin,
                          std::int64_t end, const effect_settings&) {
  if (begin >= end) {
    return;
  }
  if (in.sample_rate <= 0) {
    // No echo has a place in time without a positive rate: the direct sound alone.
    std::copy(in.at(begin), in.at(end), out);
    return;
  }
  const float spacing = echo_spacing(in.sample_rate);
  // Any bound on the magnitudes the taps read serves the early stop (it
  // never changes a result): the window's for held 16-bit samples, else the
  // largest in the part of it these outputs read.
  const input_reach reach = reverb_reach(in.sample_rate);
  const std::int64_t read_first = std::max(in.first, reach.window_first(begin));
  const std::int64_t read_end = std::min(in.first + in.size, reach.window_end(end, in.count));
  const tap_plan plan =
      plan_taps(in.at(read_first), read_end - read_first, in.held_16_bit, in.held_peak, spacing);
  const echo_buffers io{in.samples, in.first, out, begin, end};

  // Three stretches: before the last tap's offset some taps fall before the
  // start; then every tap has its fixed offset up to 2^24; past it the
  // positions round as floats.
  const std::int64_t last_offset = plan.offset[reverb_tap_count];
  const std::int64_t exact_end = std::min<std::int64_t>(in.count, float_exact_limit);
  const std::int64_t steady_begin = std::min(last_offset, exact_end);
  add_echoes_at_start(io, begin, std::min(end, steady_begin), plan);
  add_echoes_steady(io, std::max(begin, steady_begin), std::min(end, exact_end), plan);
  const std::int64_t rounded_begin = std::max(begin, exact_end);
  if (last_offset <= float_exact_limit && rounded_positions_exact(spacing)) {
    add_echoes_rounded(io, in, rounded_begin, end, plan, spacing);
  } else {
    for (std::int64_t n = rounded_begin; n < end; ++n) {
      *io.output(n) = reverb_sample(in, static_cast<std::int32_t>(n), spacing);
    }
  }
}

const effect_description reverb_effect = {{}, reverb_reach, apply_reverb_stretch};

void apply_reverb(const wave_data* in, wave_data* out) {
  apply_to_whole_record(reverb_effect, {}, in, out);
}
