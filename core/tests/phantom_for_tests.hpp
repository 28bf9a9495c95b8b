// Pieces several test files build the same way: a candidate by label, the
// display text of a thrown error, a scratch directory, a sphere scheme, signals
// of a tensor field and the bundle phantom whose every axis sign and swap
// changes the coherence.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "candidate.hpp"
#include "error.hpp"
#include "gradient.hpp"
#include "json.hpp"
#include "tensor.hpp"
#include "volume.hpp"

namespace tarvix::test_support {

inline Mat3 candidate_matrix(const std::string& label) {
  for (const auto& c : all_candidates())
    if (c.label == label) return c.matrix;
  ADD_FAILURE() << "no candidate " << label;
  return identity3();
}

// What a user would read: the display text of an Error, or the text of a Failure.
inline std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.display();
  } catch (const Failure& e) {
    return "Failure: " + e.text();
  }
  return "<no error>";
}

// Object keys in order, for checking a record's layout.
inline std::vector<std::string> keys_of(const json::Value& v) {
  std::vector<std::string> out;
  for (const auto& [k, _] : v.as_object()) out.push_back(k);
  return out;
}

inline std::string slurp(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

inline void put(const std::string& path, const std::string& text = "x") {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarvix-test-XXXXXX").string();
    root_ = ::mkdtemp(tmpl.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return root_; }
  std::string at(const std::string& rel) const { return root_ + "/" + rel; }
  std::string operator/(const std::string& rel) const { return at(rel); }
  std::string rel(const std::string& full) const { return full.substr(root_.size() + 1); }
  // Sorted names, so stray temporary files show up too.
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(root_)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string root_;
};

// An image whose affine has this 3x3 block and no offset.
inline VolumeInfo info_with(const Mat3& block) {
  VolumeInfo info;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) info.affine[i][j] = block[i][j];
  info.affine[3][3] = 1;
  return info;
}

// Turned about x, then y, then z (degrees).
inline Mat3 rotation(double x_deg, double y_deg, double z_deg) {
  const double a = x_deg * std::numbers::pi / 180, b = y_deg * std::numbers::pi / 180,
               c = z_deg * std::numbers::pi / 180;
  const Mat3 rx{{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}};
  const Mat3 ry{{{std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}}};
  const Mat3 rz{{{std::cos(c), -std::sin(c), 0}, {std::sin(c), std::cos(c), 0}, {0, 0, 1}}};
  return mul(rz, mul(ry, rx));
}

// n_b0 b=0 volumes, then n directions spread over the sphere at b=1000.
inline GradientTable sphere_scheme(int n, int n_b0 = 2) {
  GradientTable t;
  for (int i = 0; i < n_b0; ++i) t.directions.push_back({0, 0, 0}), t.bvals.push_back(0);
  for (int i = 0; i < n; ++i) {
    const double z = 1 - (i + 0.5) * 2 / n, r = std::sqrt(1 - z * z), phi = i * 2.399963229728653;
    t.directions.push_back({r * std::cos(phi), r * std::sin(phi), z});
    t.bvals.push_back(1000);
  }
  return t;
}

// Brain box of isotropic tissue crossed by thin bundles: straight along x and
// along y, an arc in the x-y plane and an arc in the y-z plane. Bundles are
// thinner than the sampling step of 2 voxels: a wrong direction steps out of them.
constexpr int kPhantomNx = 32, kPhantomNy = 30, kPhantomNz = 24;

inline std::optional<Vec3> bundle_direction(int x, int y, int z) {
  if (y >= 4 && y < 7 && z >= 4 && z < 7 && x >= 2 && x < 30) return Vec3{1, 0, 0};
  if (x >= 4 && x < 7 && z >= 17 && z < 20 && y >= 2 && y < 28) return Vec3{0, 1, 0};
  const double rc = std::hypot(x - 16.0, y - 15.0), rd = std::hypot(y - 15.0, z - 12.0);
  if (z >= 10 && z < 13 && rc >= 6.5 && rc < 9.5) return Vec3{-(y - 15.0), x - 16.0, 0};
  if (x >= 26 && x < 29 && rd >= 5.5 && rd < 8.5) return Vec3{0, -(z - 12.0), y - 15.0};
  return std::nullopt;
}

inline Vec3 unit(const Vec3& v) {
  const double n = norm(v);
  return {v[0] / n, v[1] / n, v[2] / n};
}

using Tensor = std::array<double, 6>;  // Dxx, Dyy, Dzz, Dxy, Dxz, Dyz

// Axial eigenvalue l1 along e, l2 across it.
inline Tensor stick(const Vec3& axis, double l1 = 1.7e-3, double l2 = 0.3e-3) {
  const Vec3 e = unit(axis);
  auto d = [&](int i, int j) { return l2 * (i == j) + (l1 - l2) * e[i] * e[j]; };
  return {d(0, 0), d(1, 1), d(2, 2), d(0, 1), d(0, 2), d(1, 2)};
}

// Volume in stored order (x fastest) from a per-voxel (S0, tensor) function.
inline Volume synthesize(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz, const GradientTable& t,
                         const std::function<std::pair<double, Tensor>(int, int, int)>& voxel) {
  const std::uint64_t nv = t.size(), grid = nx * ny * nz;
  Volume v{{nx, ny, nz, nv}, VoxelData(grid * nv)};
  for (std::uint64_t z = 0; z < nz; ++z)
    for (std::uint64_t y = 0; y < ny; ++y)
      for (std::uint64_t x = 0; x < nx; ++x) {
        const auto [s0, d] = voxel(int(x), int(y), int(z));
        for (std::uint64_t k = 0; k < nv; ++k) {
          const Vec3& g = t.directions[k];
          const double q = d[0] * g[0] * g[0] + d[1] * g[1] * g[1] + d[2] * g[2] * g[2] +
                           2 * (d[3] * g[0] * g[1] + d[4] * g[0] * g[2] + d[5] * g[1] * g[2]);
          v.data[k * grid + x + nx * (y + ny * z)] = float(s0 * std::exp(-t.bvals[k] * q));
        }
      }
  return v;
}

// The phantom simulated with sphere_scheme(40): sticks of 1.7e-3 along and
// 0.3e-3 across the bundles, isotropic 0.7e-3 elsewhere in the brain box, S0
// 1000, nothing outside it.
inline const Volume& bundle_phantom() {
  static const Volume vol = synthesize(kPhantomNx, kPhantomNy, kPhantomNz, sphere_scheme(40), [](int x, int y, int z) {
    if (std::min({x, y, z}) < 1 || x >= kPhantomNx - 1 || y >= kPhantomNy - 1 || z >= kPhantomNz - 1)
      return std::pair{0.0, Tensor{}};
    const auto e = bundle_direction(x, y, z);
    return std::pair{1000.0, e ? stick(*e) : stick({1, 0, 0}, 0.7e-3, 0.7e-3)};
  });
  return vol;
}

// A fitted field of valid isotropic tissue (FA 0.05) where `fibre` returns no
// direction and of bundle voxels (FA 0.7) where it does, v1 stored as the fit
// would give it for a table corrupted by `table`: table * direction.
inline TensorField field_of(std::array<std::uint64_t, 3> shape,
                            const std::function<std::optional<Vec3>(int, int, int)>& fibre,
                            const Mat3& table = identity3()) {
  TensorField f;
  f.shape = shape;
  for (std::uint64_t x = 0; x < shape[0]; ++x)
    for (std::uint64_t y = 0; y < shape[1]; ++y)
      for (std::uint64_t z = 0; z < shape[2]; ++z) {
        const std::optional<Vec3> d = fibre(int(x), int(y), int(z));
        f.v1.push_back(mul(table, unit(d ? *d : Vec3{0.3, 0.5, 0.8})));
        f.fa.push_back(d ? 0.7 : 0.05);
        f.s0.push_back(1000);
        f.valid.push_back(1);
      }
  return f;
}

}  // namespace tarvix::test_support
