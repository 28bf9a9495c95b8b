// Run-time choice of wider vector code for the two per-voxel hot loops (the
// signal logarithms of the fit and the coherence sampling). The library is built
// for the baseline instruction set; selected functions get an AVX2 twin.
// TARVIX_VECTOR_KERNELS=off in the environment keeps every loop on the plain
// code, which must give the same bits (contraction is off everywhere): it is
// how that promise is checked on a machine that has the wider instructions.
#pragma once

#include <cstdlib>
#include <cstring>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define TARVIX_X86_DISPATCH 1
#else
#define TARVIX_X86_DISPATCH 0
#endif

namespace tarvix {

inline bool vector_kernels_allowed() {
  static const bool yes = [] {
    const char* v = std::getenv("TARVIX_VECTOR_KERNELS");
    return !(v && std::strcmp(v, "off") == 0);
  }();
  return yes;
}

inline bool have_avx2() {
#if TARVIX_X86_DISPATCH
  static const bool yes = [] {
    __builtin_cpu_init();
    return vector_kernels_allowed() && __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
#else
  return false;
#endif
}

// AVX-512 foundation with the double-word, byte/word and 256-bit-lane parts.
inline bool have_avx512() {
#if TARVIX_X86_DISPATCH
  static const bool yes = [] {
    __builtin_cpu_init();
    return vector_kernels_allowed() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
  }();
  return yes;
#else
  return false;
#endif
}

}  // namespace tarvix
