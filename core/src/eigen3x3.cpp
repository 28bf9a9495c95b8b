#include "eigen3x3.hpp"
#include "libm.hpp"

namespace tarvix {

SymmetricEigen symmetric_eigen(double d00, double d11, double d22, double d01, double d02, double d12) {
  const eigen3x3::EigenSetup e = eigen3x3::eigen_setup(d00, d11, d22, d01, d02, d12);
  const double theta = eigen3x3::eigen_angle(e);
  return eigen3x3::eigen_finish(e, libm::cos(theta), libm::sin(theta));
}

}  // namespace tarvix
