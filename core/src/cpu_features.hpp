// Run-time choice of wider vector code for the two per-voxel hot loops (the
// signal logarithms of the fit and the coherence sampling). The library is built
// for the baseline instruction set; selected functions get an AVX2 twin.
#pragma once

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define TARVIX_X86_DISPATCH 1
#else
#define TARVIX_X86_DISPATCH 0
#endif

namespace tarvix {

inline bool have_avx2() {
#if TARVIX_X86_DISPATCH
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
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
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
  }();
  return yes;
#else
  return false;
#endif
}

}  // namespace tarvix
