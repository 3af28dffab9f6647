#pragma once

// Four doubles side by side, as GCC and Clang vector types: each operation
// on them is the same IEEE operation on every lane, so vector code computes
// exactly what the scalar code does, four samples at a time.

typedef double lanes4 __attribute__((vector_size(32)));
typedef double lanes2 __attribute__((vector_size(16)));  // what every x86-64 has

// The same lanes at any double's address: the compilers' way to load and
// store them unaligned. (Macros, not functions: a vector passed by value
// would change the calling convention between the clones of a function.)
typedef double unaligned_lanes4 __attribute__((vector_size(32), aligned(8), may_alias));
#define LOAD4(vector, pointer) ((vector) = *reinterpret_cast<const unaligned_lanes4*>(pointer))
#define STORE4(pointer, vector) (*reinterpret_cast<unaligned_lanes4*>(pointer) = (vector))
typedef double unaligned_lanes2 __attribute__((vector_size(16), aligned(8), may_alias));
#define LOAD2(vector, pointer) ((vector) = *reinterpret_cast<const unaligned_lanes2*>(pointer))
#define STORE2(pointer, vector) (*reinterpret_cast<unaligned_lanes2*>(pointer) = (vector))

// Functions worth a second, AVX2 build: GCC picks one when the program
// starts, from what the processor has. Elsewhere the portable build alone.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define WAVE_EFFECT_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define WAVE_EFFECT_CLONES
#endif
