// The C library's cos, sin, log, log1p and expm1 for the values that reach
// reports.
//
// Zig's toolchain, which builds the wheel for old glibc versions, links its own
// implementations of these into every shared object; they differ from
// glibc's in the last bit for some arguments, and through the eigenvectors that
// moved the coherence scores of the wheel away from a source build's. With
// TARVIX_GLIBC_LIBM the calls are bound to glibc's own versioned symbols (the
// x86-64 versions every glibc since 2.2.5 exports), so both builds compute the
// same bits on the same machine.
#pragma once

#include <cmath>

#if defined(TARVIX_GLIBC_LIBM)
extern "C" double tarvix_glibc_cos(double) noexcept;
extern "C" double tarvix_glibc_sin(double) noexcept;
extern "C" double tarvix_glibc_log(double) noexcept;
extern "C" double tarvix_glibc_log1p(double) noexcept;
extern "C" double tarvix_glibc_expm1(double) noexcept;
__asm__(".symver tarvix_glibc_cos, cos@GLIBC_2.2.5");
__asm__(".symver tarvix_glibc_sin, sin@GLIBC_2.2.5");
__asm__(".symver tarvix_glibc_log, log@GLIBC_2.2.5");
__asm__(".symver tarvix_glibc_log1p, log1p@GLIBC_2.2.5");
__asm__(".symver tarvix_glibc_expm1, expm1@GLIBC_2.2.5");
#endif

namespace tarvix::libm {

#if defined(TARVIX_GLIBC_LIBM)
inline double cos(double x) { return tarvix_glibc_cos(x); }
inline double sin(double x) { return tarvix_glibc_sin(x); }
inline double log(double x) { return tarvix_glibc_log(x); }
inline double log1p(double x) { return tarvix_glibc_log1p(x); }
inline double expm1(double x) { return tarvix_glibc_expm1(x); }
#else
inline double cos(double x) { return std::cos(x); }
inline double sin(double x) { return std::sin(x); }
inline double log(double x) { return std::log(x); }
inline double log1p(double x) { return std::log1p(x); }
inline double expm1(double x) { return std::expm1(x); }
#endif

}  // namespace tarvix::libm
