// The symmetric 3x3 eigen step of the tensor fit, in closed form: the same
// bits as Eigen's SelfAdjointEigenSolver::computeDirect gives. Its parts are
// inline so that the fit can run the trigonometry of a whole block at once.
#pragma once

#include <array>
#include <cmath>
#include <limits>

#include "matrix.hpp"

namespace tarvix {

// Eigenvalues (ascending) and the eigenvector of the largest, of the symmetric
// [[d00, d01, d02], [d01, d11, d12], [d02, d12, d22]], in closed form: the same
// bits as Eigen's SelfAdjointEigenSolver::computeDirect gives for them.
struct SymmetricEigen {
  std::array<double, 3> values{};
  Vec3 largest{};
};
SymmetricEigen symmetric_eigen(double d00, double d11, double d22, double d01, double d02, double d12);

namespace eigen3x3 {

struct V3 {
  double x, y, z;
};

inline V3 cross(const V3& a, const V3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

inline double squared_norm(const V3& a) { return a.x * a.x + a.y * a.y + a.z * a.z; }

// A unit vector in the kernel of the rank-2 symmetric matrix with columns
// c0, c1, c2, and the column it was made from: the one with the largest
// diagonal entry, crossed with whichever of the next two (in cyclic order)
// gives the longer product. The columns are picked by value, not by index
// into an array, so that they stay in registers.
inline V3 kernel_of(const V3& c0, const V3& c1, const V3& c2, V3& representative) {
  const double a0 = std::abs(c0.x), a1 = std::abs(c1.y), a2 = std::abs(c2.z);
  const bool one = a1 > a0;
  const bool two = a2 > (one ? a1 : a0);
  const V3& r = two ? c2 : one ? c1 : c0;
  const V3& s = two ? c0 : one ? c2 : c1;  // (i0 + 1) % 3
  const V3& t = two ? c1 : one ? c0 : c2;  // (i0 + 2) % 3
  representative = r;
  const V3 a = cross(r, s);
  const V3 b = cross(r, t);
  const double na = squared_norm(a), nb = squared_norm(b);
  if (na > nb) {
    const double n = std::sqrt(na);
    return {a.x / n, a.y / n, a.z / n};
  }
  const double n = std::sqrt(nb);
  return {b.x / n, b.y / n, b.z / n};
}

// The closed-form solver in three stages, so that a block of voxels can take
// each stage over all its voxels in turn: every stage is a long chain of
// dependent operations, two of them around library calls, and taken one voxel
// after another they leave the processor waiting on each chain.
struct EigenSetup {
  double m00, m11, m22, m10, m20, m21;  // shifted to the mean eigenvalue, scaled into [-1, 1]
  double shift, scale, c2_over_3, rho, root_q, half_b;
};

// Eigen's SelfAdjointEigenSolver::computeDirect, step for step so that the
// bits agree, as far as the characteristic polynomial. (The library sums a
// 3-term diagonal as a + (b + c).)
inline EigenSetup eigen_setup(double d00, double d11, double d22, double d01, double d02, double d12) {
  EigenSetup e;
  e.shift = (d00 + (d11 + d22)) / 3.0;
  double m00 = d00 - e.shift, m11 = d11 - e.shift, m22 = d22 - e.shift, m10 = d01, m20 = d02, m21 = d12;
  double scale = std::abs(m00);
  for (double v : {m11, m22, m10, m20, m21}) scale = std::max(scale, std::abs(v));
  if (scale > 0) {
    m00 /= scale, m11 /= scale, m22 /= scale, m10 /= scale, m20 /= scale, m21 /= scale;
  }
  const double inv3 = 1.0 / 3.0;
  const double c0 = m00 * m11 * m22 + 2.0 * m10 * m20 * m21 - m00 * m21 * m21 - m11 * m20 * m20 - m22 * m10 * m10;
  const double c1 = m00 * m11 - m10 * m10 + m00 * m22 - m20 * m20 + m11 * m22 - m21 * m21;
  const double c2 = m00 + m11 + m22;
  e.c2_over_3 = c2 * inv3;
  const double a_over_3 = std::max((c2 * e.c2_over_3 - c1) * inv3, 0.0);
  e.half_b = 0.5 * (c0 + e.c2_over_3 * (2.0 * e.c2_over_3 * e.c2_over_3 - c1));
  const double q = std::max(a_over_3 * a_over_3 * a_over_3 - e.half_b * e.half_b, 0.0);
  e.rho = std::sqrt(a_over_3);
  e.root_q = std::sqrt(q);
  e.m00 = m00, e.m11 = m11, e.m22 = m22, e.m10 = m10, e.m20 = m20, e.m21 = m21;
  e.scale = scale;
  return e;
}

// The third of the angle whose cosine the roots are spaced by.
inline double eigen_angle(const EigenSetup& e) { return std::atan2(e.root_q, e.half_b) * (1.0 / 3.0); }

// The roots (ascending) and the eigenvector of the largest. The library also
// builds the other two eigenvectors and picks its pivot column by index from a
// matrix it has just stored, and the reload stalls on the store.
inline SymmetricEigen eigen_finish(const EigenSetup& e, double cos_theta, double sin_theta) {
  constexpr double kEps = std::numeric_limits<double>::epsilon();
  const double sqrt3 = std::sqrt(3.0);
  const double e0 = e.c2_over_3 - e.rho * (cos_theta + sqrt3 * sin_theta);
  const double e1 = e.c2_over_3 - e.rho * (cos_theta - sqrt3 * sin_theta);
  const double e2 = e.c2_over_3 + 2.0 * e.rho * cos_theta;

  V3 v{0, 0, 1};  // all three equal: the identity's last column
  if (e2 - e0 > kEps) {
    // The kernel of the scaled matrix less l times the identity.
    auto kernel = [&](double l, V3& representative) {
      return kernel_of({e.m00 - l, e.m10, e.m20}, {e.m10, e.m11 - l, e.m21}, {e.m20, e.m21, e.m22 - l},
                       representative);
    };
    const double d0 = e2 - e1, d1 = e1 - e0;
    V3 representative;
    if (d0 > d1) {
      // The largest is the most distinct eigenvalue.
      v = kernel(e2, representative);
    } else if (d0 <= 2 * kEps * d1) {
      // The two largest are numerically equal, so any direction across the
      // smallest one's eigenvector will do: the library takes the pivot
      // column of that kernel through `l -= (k . l) l` and a normalisation,
      // and so does this, for the same bits.
      const V3 k = kernel(e0, representative);
      V3 l = representative;
      const double dot = k.x * l.x + k.y * l.y + k.z * l.z;
      l = {l.x - dot * l.x, l.y - dot * l.y, l.z - dot * l.z};
      const double n = squared_norm(l);
      if (n > 0) {
        const double r = std::sqrt(n);
        l = {l.x / r, l.y / r, l.z / r};
      }
      v = l;
    } else {
      v = kernel(e2, representative);
    }
  }
  SymmetricEigen out;
  out.values = {e0 * e.scale + e.shift, e1 * e.scale + e.shift, e2 * e.scale + e.shift};
  out.largest = {v.x, v.y, v.z};
  return out;
}

}  // namespace eigen3x3
}  // namespace tarvix
