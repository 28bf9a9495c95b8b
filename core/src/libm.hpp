// The C library's cos, sin and log for the values that reach reports.
//
// Zig's toolchain, which builds the wheel for old glibc versions, links its own
// implementations of these three into every shared object; they differ from
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
__asm__(".symver tarvix_glibc_cos, cos@GLIBC_2.2.5");
__asm__(".symver tarvix_glibc_sin, sin@GLIBC_2.2.5");
__asm__(".symver tarvix_glibc_log, log@GLIBC_2.2.5");
#endif

namespace tarvix::libm {

#if defined(TARVIX_GLIBC_LIBM)
inline double cos(double x) { return tarvix_glibc_cos(x); }
inline double sin(double x) { return tarvix_glibc_sin(x); }
inline double log(double x) { return tarvix_glibc_log(x); }
#else
inline double cos(double x) { return std::cos(x); }
inline double sin(double x) { return std::sin(x); }
inline double log(double x) { return std::log(x); }
#endif

}  // namespace tarvix::libm
