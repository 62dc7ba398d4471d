#pragma once
// KORVANE_WIDE_LOOP marks a function whose loops are worth compiling twice,
// for AVX2 and for the baseline instruction set, with the copy chosen once at
// load time. Wider vectors change no bit: each element sees the same
// operations, and -ffp-contract=off keeps multiply and add separate (no FMA
// is formed in either copy). Loops whose order matters (sums) are not
// reordered by the compiler under strict floating point, so those stay
// sequential in both copies.

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KORVANE_WIDE_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define KORVANE_WIDE_LOOP
#endif
