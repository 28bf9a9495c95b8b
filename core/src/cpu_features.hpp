// Run-time choice of wider vector code for the two per-voxel hot loops (the
// signal logarithms of the fit and the coherence sampling). The library is built
// for the baseline instruction set; selected functions get an AVX2 twin.
// TARVIX_VECTOR_KERNELS=off in the environment keeps every loop on the plain
// code, which must give the same bits (contraction is off everywhere): it is
// how that promise is checked on a machine that has the wider instructions.
//
// The processor is asked directly (cpuid, and xgetbv for the registers the
// operating system saves) rather than through __builtin_cpu_supports: the
// toolchain that builds the wheel links a runtime whose answer is always no.
#pragma once

#include <cstdlib>
#include <cstring>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define TARVIX_X86_DISPATCH 1
#include <cpuid.h>
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

#if TARVIX_X86_DISPATCH
namespace cpu {

struct Features {
  bool avx = false, avx2 = false, avx512 = false;
};

inline Features detect() {
  Features f;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  const bool osxsave = c & (1u << 27), avx = c & (1u << 28), fma = c & (1u << 12);
  if (!osxsave || !avx) return f;
  unsigned lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  const bool ymm_saved = (lo & 0x6u) == 0x6u;           // SSE and AVX state
  const bool zmm_saved = ymm_saved && (lo & 0xe0u) == 0xe0u;  // opmask and the upper ZMM state
  f.avx = ymm_saved;
  if (!ymm_saved || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
  f.avx2 = (b & (1u << 5)) && fma;
  const unsigned avx512 = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);  // F, DQ, BW, VL
  f.avx512 = zmm_saved && (b & avx512) == avx512;
  return f;
}

inline const Features& features() {
  static const Features f = detect();
  return f;
}

}  // namespace cpu
#endif

// AVX registers usable (the processor has them and the system saves them).
inline bool have_avx() {
#if TARVIX_X86_DISPATCH
  return cpu::features().avx;
#else
  return false;
#endif
}

// AVX2 with FMA, as the AVX2 twins are compiled for.
inline bool have_avx2() {
#if TARVIX_X86_DISPATCH
  return vector_kernels_allowed() && cpu::features().avx2;
#else
  return false;
#endif
}

// AVX-512 foundation with the double-word, byte/word and 256-bit-lane parts.
inline bool have_avx512() {
#if TARVIX_X86_DISPATCH
  return vector_kernels_allowed() && cpu::features().avx512;
#else
  return false;
#endif
}

}  // namespace tarvix
