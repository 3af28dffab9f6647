#pragma once

// Every compiler extension the program uses, each with a plain C++20
// fallback. GCC and Clang get the extensions; any other compiler (MSVC), or
// a build with WAVE_EFFECT_PORTABLE defined, gets the fallbacks. Both give
// the same results to the bit: the extensions only change how fast the same
// IEEE operations run.
//
//   WAVE_EFFECT_ALWAYS_INLINE  a function the hot loops need inlined
//   WAVE_EFFECT_INLINE_LAMBDA  the same for a lambda (after its parameters)
//   WAVE_EFFECT_RESTRICT       a pointer that no other pointer in scope aliases
//   WAVE_EFFECT_TWO_BUILDS(result, name, (parameters), (arguments))
//                              before the body of a function worth a second,
//                              AVX2 build, taken where the processor has AVX2
//   WAVE_EFFECT_UNROLL         before a loop over a block's few vectors:
//                              unrolled whole, so that they stay in registers
//   WAVE_EFFECT_HOLD(p)        after it, the compiler takes p as it finds it
//                              in a register: reads at p + k then take one
//                              address each, where GCC would work out
//                              k − offset anew for every k
//   lanes4, lanes2             four and two doubles side by side
//   mask4, mask2               their comparisons: all ones where one holds
//   float_lanes4, int_lanes4   four 32-bit floats, four 32-bit ints
//   uint32_lanes8              eight 32-bit unsigned ints, which wrap
//   uint16_lanes16             sixteen 16-bit unsigned ints, which wrap
//   v << n, v >> n             integer lanes shifted by one count
//   INTERLEAVE_LANES(a, b)     two int_lanes4 as uint32_lanes8, a lane of a
//                              then the same lane of b
//   ALL_LANES(mask)            whether a mask4 holds in every lane
//   CONVERT_LANES(v, type)     lane by lane static_cast: doubles to floats
//                              round to nearest, to ints truncate toward zero
//                              (every lane must fit), ints and floats widen
//   WIDEN_LANES(v)             float_lanes4 or int_lanes4 as lanes4, exactly:
//                              CONVERT_LANES(v, lanes4) in one instruction
//                              where GCC would split it in halves (v is named
//                              four times)
//   LOAD_LANES, STORE_LANES    lanes from and to any double's address
//   SELECT_LANES(m, a, b)      lane by lane, a where m holds and b elsewhere
//   PERMUTE_LANES(v, i, j, k, l)  lanes4 of v's lanes i, j, k and l (constants)

#include <cstdint>
#include <cstring>

#if !defined(WAVE_EFFECT_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
#define WAVE_EFFECT_VECTOR_EXTENSIONS 1
#endif

#if defined(WAVE_EFFECT_VECTOR_EXTENSIONS)
#define WAVE_EFFECT_ALWAYS_INLINE __attribute__((always_inline)) inline
#define WAVE_EFFECT_INLINE_LAMBDA __attribute__((always_inline))
#define WAVE_EFFECT_RESTRICT __restrict
#define WAVE_EFFECT_UNROLL _Pragma("GCC unroll 16")
#define WAVE_EFFECT_HOLD(pointer) __asm__("" : "+r"(pointer))
#else
#define WAVE_EFFECT_ALWAYS_INLINE inline
#define WAVE_EFFECT_INLINE_LAMBDA
#define WAVE_EFFECT_RESTRICT
#define WAVE_EFFECT_UNROLL
#define WAVE_EFFECT_HOLD(pointer) static_cast<void>(pointer)
#endif

// The body is built twice, for any x86-64 and with AVX2, and a call goes to
// the one the processor can run; vectors of four doubles are then single
// instructions, where without AVX2 each is two. This is done by hand rather
// than with GCC's target_clones, which needs the ELF loader's ifunc and so
// leaves Windows, the program's home, without the second build.
#if defined(WAVE_EFFECT_VECTOR_EXTENSIONS) && defined(__x86_64__)
inline bool wave_effect_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}
#define WAVE_EFFECT_TWO_BUILDS(result, name, parameters, arguments)                 \
  WAVE_EFFECT_ALWAYS_INLINE static result name##_built parameters;                  \
  __attribute__((target("avx2"))) static result name##_avx2 parameters {            \
    return name##_built arguments;                                                  \
  }                                                                                 \
  static result name##_plain parameters { return name##_built arguments; }          \
  result name parameters {                                                          \
    return wave_effect_has_avx2() ? name##_avx2 arguments : name##_plain arguments; \
  }                                                                                 \
  WAVE_EFFECT_ALWAYS_INLINE static result name##_built parameters
#else
#define WAVE_EFFECT_TWO_BUILDS(result, name, parameters, arguments) result name parameters
#endif

// Lanes are loaded and stored by memcpy, which compilers turn into one
// unaligned load or store, and which never changes how a vector is passed
// between the clones of a function (macros, not functions, for that reason).
#define LOAD_LANES(vector, pointer) std::memcpy(&(vector), (pointer), sizeof(vector))
#define STORE_LANES(pointer, vector) std::memcpy((pointer), &(vector), sizeof(vector))

#if defined(WAVE_EFFECT_VECTOR_EXTENSIONS)

// GCC's and Clang's vector types: each operation is the same IEEE operation
// on every lane, so vector code computes exactly what scalar code does.
typedef double lanes4 __attribute__((vector_size(32)));
typedef double lanes2 __attribute__((vector_size(16)));  // what every x86-64 has
typedef std::int64_t mask4 __attribute__((vector_size(32)));
typedef std::int64_t mask2 __attribute__((vector_size(16)));
typedef float float_lanes4 __attribute__((vector_size(16)));
typedef std::int32_t int_lanes4 __attribute__((vector_size(16)));
typedef std::uint32_t uint32_lanes8 __attribute__((vector_size(32)));
typedef std::uint16_t uint16_lanes16 __attribute__((vector_size(32)));
#define SELECT_LANES(mask, a, b) ((mask) ? (a) : (b))
#define PERMUTE_LANES(vector, i, j, k, l) __builtin_shufflevector((vector), (vector), i, j, k, l)
// The halves folded together first, then two lanes taken out rather than
// four; an expression rather than a function, as LOAD_LANES.
#define WAVE_EFFECT_FOLDED_HALVES(mask) ((mask)&__builtin_shufflevector((mask), (mask), 2, 3, 0, 1))
#define ALL_LANES(mask) \
  ((WAVE_EFFECT_FOLDED_HALVES(mask)[0] & WAVE_EFFECT_FOLDED_HALVES(mask)[1]) != 0)
#define INTERLEAVE_LANES(a, b) \
  reinterpret_cast<uint32_lanes8>(__builtin_shufflevector((a), (b), 0, 4, 1, 5, 2, 6, 3, 7))
#define CONVERT_LANES(vector, type) __builtin_convertvector((vector), type)
#define WIDEN_LANES(v)                                                                           \
  (lanes4{static_cast<double>((v)[0]), static_cast<double>((v)[1]), static_cast<double>((v)[2]), \
          static_cast<double>((v)[3])})

#else

// The same lanes as a plain array, with the operators the effects use.
template <class T, int N>
struct lanes_of {
  T lane[N];
  T& operator[](int k) { return lane[k]; }
  const T& operator[](int k) const { return lane[k]; }
};
using lanes4 = lanes_of<double, 4>;
using lanes2 = lanes_of<double, 2>;
using mask4 = lanes_of<std::int64_t, 4>;
using mask2 = lanes_of<std::int64_t, 2>;
using float_lanes4 = lanes_of<float, 4>;
using int_lanes4 = lanes_of<std::int32_t, 4>;
using uint32_lanes8 = lanes_of<std::uint32_t, 8>;
using uint16_lanes16 = lanes_of<std::uint16_t, 16>;

// Arithmetic on a lane narrower than int in unsigned, so that it wraps as
// the vector lanes do rather than overflowing int.
template <class T>
auto widened(T value) {
  if constexpr (sizeof(T) < sizeof(unsigned) && static_cast<T>(-1) > T{0}) {
    return static_cast<unsigned>(value);
  } else {
    return value;
  }
}

template <class T, int N, class Op>
lanes_of<T, N> each_lane(const lanes_of<T, N>& a, const lanes_of<T, N>& b, Op op) {
  lanes_of<T, N> result;
  for (int k = 0; k < N; ++k) {
    result.lane[k] = op(a.lane[k], b.lane[k]);
  }
  return result;
}

template <class T, int N>
lanes_of<T, N> broadcast(T value) {
  lanes_of<T, N> result;
  for (int k = 0; k < N; ++k) {
    result.lane[k] = value;
  }
  return result;
}

template <class T, int N, class Compare>
lanes_of<std::int64_t, N> compare_lanes(const lanes_of<T, N>& a, const lanes_of<T, N>& b,
                                        Compare compare) {
  lanes_of<std::int64_t, N> result;
  for (int k = 0; k < N; ++k) {
    result.lane[k] = compare(a.lane[k], b.lane[k]) ? -1 : 0;
  }
  return result;
}

#define WAVE_EFFECT_LANE_OPERATOR(op)                                                          \
  template <class T, int N>                                                                    \
  lanes_of<T, N> operator op(const lanes_of<T, N>& a, const lanes_of<T, N>& b) {               \
    return each_lane(a, b, [](T x, T y) { return static_cast<T>(widened(x) op widened(y)); }); \
  }                                                                                            \
  template <class T, int N>                                                                    \
  lanes_of<T, N> operator op(const lanes_of<T, N>& a, T b) {                                   \
    return a op broadcast<T, N>(b);                                                            \
  }                                                                                            \
  template <class T, int N>                                                                    \
  lanes_of<T, N> operator op(T a, const lanes_of<T, N>& b) {                                   \
    return broadcast<T, N>(a) op b;                                                            \
  }                                                                                            \
  template <class T, int N>                                                                    \
  lanes_of<T, N>& operator op##=(lanes_of<T, N>& a, const lanes_of<T, N>& b) {                 \
    return a = a op b;                                                                         \
  }
WAVE_EFFECT_LANE_OPERATOR(+)
WAVE_EFFECT_LANE_OPERATOR(-)
WAVE_EFFECT_LANE_OPERATOR(*)
WAVE_EFFECT_LANE_OPERATOR(/)
WAVE_EFFECT_LANE_OPERATOR(&)
WAVE_EFFECT_LANE_OPERATOR(|)
WAVE_EFFECT_LANE_OPERATOR(^)
#undef WAVE_EFFECT_LANE_OPERATOR

#define WAVE_EFFECT_LANE_COMPARISON(op)                                                     \
  template <class T, int N>                                                                 \
  lanes_of<std::int64_t, N> operator op(const lanes_of<T, N>& a, const lanes_of<T, N>& b) { \
    return compare_lanes(a, b, [](T x, T y) { return x op y; });                            \
  }                                                                                         \
  template <class T, int N>                                                                 \
  lanes_of<std::int64_t, N> operator op(const lanes_of<T, N>& a, T b) {                     \
    return a op broadcast<T, N>(b);                                                         \
  }
WAVE_EFFECT_LANE_COMPARISON(<)
WAVE_EFFECT_LANE_COMPARISON(>)
WAVE_EFFECT_LANE_COMPARISON(==)
WAVE_EFFECT_LANE_COMPARISON(!=)
#undef WAVE_EFFECT_LANE_COMPARISON

#define WAVE_EFFECT_LANE_SHIFT(op)                                  \
  template <class T, int N>                                         \
  lanes_of<T, N> operator op(const lanes_of<T, N>& a, int count) {  \
    lanes_of<T, N> result;                                          \
    for (int k = 0; k < N; ++k) {                                   \
      result.lane[k] = static_cast<T>(widened(a.lane[k]) op count); \
    }                                                               \
    return result;                                                  \
  }
WAVE_EFFECT_LANE_SHIFT(<<)
WAVE_EFFECT_LANE_SHIFT(>>)
#undef WAVE_EFFECT_LANE_SHIFT

inline uint32_lanes8 interleave_lanes(const int_lanes4& a, const int_lanes4& b) {
  uint32_lanes8 result;
  for (int k = 0; k < 4; ++k) {
    result.lane[2 * k] = static_cast<std::uint32_t>(a.lane[k]);
    result.lane[2 * k + 1] = static_cast<std::uint32_t>(b.lane[k]);
  }
  return result;
}
#define INTERLEAVE_LANES(a, b) interleave_lanes((a), (b))

inline bool all_lanes(const mask4& mask) {
  return (mask.lane[0] & mask.lane[1] & mask.lane[2] & mask.lane[3]) != 0;
}
#define ALL_LANES(mask) all_lanes(mask)

template <class T, int N>
lanes_of<T, N> operator-(const lanes_of<T, N>& a) {
  lanes_of<T, N> result;
  for (int k = 0; k < N; ++k) {
    result.lane[k] = -a.lane[k];
  }
  return result;
}

template <class T, int N>
lanes_of<T, N> select_lanes(const lanes_of<std::int64_t, N>& mask, const lanes_of<T, N>& a,
                            const lanes_of<T, N>& b) {
  lanes_of<T, N> result;
  for (int k = 0; k < N; ++k) {
    result.lane[k] = mask.lane[k] != 0 ? a.lane[k] : b.lane[k];
  }
  return result;
}
template <class T>
T select_lanes(bool condition, T a, T b) {
  return condition ? a : b;
}
#define SELECT_LANES(mask, a, b) select_lanes((mask), (a), (b))

inline lanes4 permute_lanes(const lanes4& vector, int i, int j, int k, int l) {
  lanes4 result;
  result.lane[0] = vector.lane[i];
  result.lane[1] = vector.lane[j];
  result.lane[2] = vector.lane[k];
  result.lane[3] = vector.lane[l];
  return result;
}
#define PERMUTE_LANES(vector, i, j, k, l) permute_lanes((vector), i, j, k, l)

template <class To, class T, int N>
To convert_lanes(const lanes_of<T, N>& from) {
  To result;
  for (int k = 0; k < N; ++k) {
    result.lane[k] = static_cast<decltype(+result.lane[0])>(from.lane[k]);
  }
  return result;
}
#define CONVERT_LANES(vector, type) convert_lanes<type>(vector)
#define WIDEN_LANES(v) convert_lanes<lanes4>(v)

#endif
