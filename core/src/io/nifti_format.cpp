#include "io/nifti_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include <nifti1_io.h>

#include "error.hpp"
#include "paths.hpp"
#include "text.hpp"

namespace tarvix {
namespace {

[[noreturn]] void fail(std::string text) { throw Error::nifti(std::move(text)); }

template <class T>
void convert_run(const unsigned char* src, std::size_t n, float* dst, const Scaling& s) {
  if (!s.on) {
    for (std::size_t i = 0; i < n; ++i) {
      T v;
      std::memcpy(&v, src + i * sizeof(T), sizeof(T));
      dst[i] = static_cast<float>(v);
    }
  } else {
    const double slope = s.slope, inter = s.inter;
    for (std::size_t i = 0; i < n; ++i) {
      T v;
      std::memcpy(&v, src + i * sizeof(T), sizeof(T));
      dst[i] = static_cast<float>(static_cast<double>(v) * slope + inter);
    }
  }
}

std::string dim_error(int index, int value) {
  return "inconsistent dimension: dim[" + std::to_string(index) + "] = " + std::to_string(value);
}

std::string format_real(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace

// The image file that goes with a separate header (".hdr" -> ".img", either
// compressed or not, preferring the same compression as the header).
std::string companion_image(const std::string& header_path) {
  std::string base = header_path;
  const bool gz = ends_with(base, ".gz");
  if (gz) base.resize(base.size() - 3);
  for (const char* ext : {".hdr", ".img", ".nii"}) {
    if (ends_with(base, ext)) {
      base.resize(base.size() - 4);
      break;
    }
  }
  const std::string first = base + (gz ? ".img.gz" : ".img");
  const std::string second = base + (gz ? ".img" : ".img.gz");
  if (file_exists(first)) return first;
  if (file_exists(second)) return second;
  fail("cannot find the image file for header " + display_path(header_path) + " (looked for " +
       display_path(first) + ")");
}

// A ".img" path names the pair by its image file: the header sits beside it.
std::string header_path_for(const std::string& path) {
  std::string base = path;
  const bool gz = ends_with(base, ".gz");
  if (gz) base.resize(base.size() - 3);
  if (!ends_with(base, ".img")) return path;
  base.resize(base.size() - 4);
  const std::string first = base + (gz ? ".hdr.gz" : ".hdr");
  const std::string second = base + (gz ? ".hdr" : ".hdr.gz");
  if (file_exists(first)) return first;
  if (file_exists(second)) return second;
  return first;  // opening it reports the missing file
}

Header parse_header(const unsigned char* bytes) {
  Header hd;
  std::memcpy(&hd.h, bytes, kHeaderBytes);
  nifti_1_header& h = hd.h;

  // Byte order: dim[0] is 1..7 in the writer's order. When dim[0] is out of
  // range either way, the header size decides, so that the dimension error
  // below names the value as written.
  const auto sane_dim0 = [](short d) { return d >= 1 && d <= 7; };
  short swapped_dim0 = h.dim[0];
  nifti_swap_2bytes(1, &swapped_dim0);
  int swapped_size = h.sizeof_hdr;
  nifti_swap_4bytes(1, &swapped_size);
  if (!sane_dim0(h.dim[0]))
    hd.swapped = sane_dim0(swapped_dim0) || (h.sizeof_hdr != 348 && swapped_size == 348);
  const int version = NIFTI_VERSION(h);
  hd.nifti = version != 0;
  if (hd.swapped) swap_nifti_header(&h, hd.nifti ? 1 : 0);

  if (h.sizeof_hdr != static_cast<int>(kHeaderBytes))
    fail("not a NIfTI-1 file: header size " + std::to_string(h.sizeof_hdr) + " instead of 348");
  if (hd.nifti && version != 1) fail("not a NIfTI-1 file: magic names version " + std::to_string(version));
  hd.one_file = hd.nifti && NIFTI_ONEFILE(h);

  if (h.dim[0] < 1 || h.dim[0] > 7) fail(dim_error(0, h.dim[0]));
  for (int i = 1; i <= h.dim[0]; ++i)
    if (h.dim[i] <= 0) fail(dim_error(i, h.dim[i]));

  const int dt = h.datatype;
  switch (dt) {
    case DT_UINT8: case DT_INT8: case DT_INT16: case DT_UINT16: case DT_INT32: case DT_UINT32:
    case DT_INT64: case DT_UINT64: case DT_FLOAT32: case DT_FLOAT64:
      break;
    case DT_FLOAT128:
      if (kLongDoubleIsFloat128) break;
      [[fallthrough]];
    case DT_BINARY: case DT_COMPLEX64: case DT_COMPLEX128: case DT_COMPLEX256: case DT_RGB24:
    case DT_RGBA32:
      fail(std::string("unsupported data type ") + nifti_datatype_string(dt) + " (" +
           std::to_string(dt) + ")");
    default:
      fail("unknown data type code " + std::to_string(dt));
  }
  nifti_datatype_sizes(dt, &hd.nbyper, &hd.swapsize);
  if (hd.nbyper <= 0) fail("unknown data type code " + std::to_string(dt));
  if (!nifti_hdr_looks_good(&h)) fail("invalid NIfTI-1 header");

  std::uint64_t voxels = 1;
  for (int i = 1; i <= h.dim[0]; ++i)
    if (__builtin_mul_overflow(voxels, static_cast<std::uint64_t>(h.dim[i]), &voxels))
      fail("image too large: the dimensions overflow");
  std::uint64_t data_bytes = 0;
  if (__builtin_mul_overflow(voxels, static_cast<std::uint64_t>(hd.nbyper), &data_bytes) ||
      voxels > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float))
    fail("image too large: the dimensions overflow");
  hd.voxels = voxels;
  hd.data_bytes = data_bytes;

  const double vox_offset = h.vox_offset;
  if (!std::isfinite(vox_offset) || vox_offset < 0 || vox_offset > 9.0e18)
    fail("invalid vox_offset " + format_real(vox_offset));
  hd.offset = static_cast<std::uint64_t>(vox_offset);
  if (hd.one_file && hd.offset < kHeaderBytes) hd.offset = kHeaderBytes;

  const double slope = h.scl_slope, inter = h.scl_inter;
  if (slope != 0.0 && std::isfinite(slope)) {
    hd.scaling.on = true;
    hd.scaling.slope = slope;
    hd.scaling.inter = std::isfinite(inter) ? inter : 0.0;
  }

  switch (dt) {
    case DT_UINT8: hd.convert = convert_run<std::uint8_t>; break;
    case DT_INT8: hd.convert = convert_run<std::int8_t>; break;
    case DT_INT16: hd.convert = convert_run<std::int16_t>; break;
    case DT_UINT16: hd.convert = convert_run<std::uint16_t>; break;
    case DT_INT32: hd.convert = convert_run<std::int32_t>; break;
    case DT_UINT32: hd.convert = convert_run<std::uint32_t>; break;
    case DT_INT64: hd.convert = convert_run<std::int64_t>; break;
    case DT_UINT64: hd.convert = convert_run<std::uint64_t>; break;
    case DT_FLOAT32: hd.convert = convert_run<float>; break;
    case DT_FLOAT64: hd.convert = convert_run<double>; break;
    case DT_FLOAT128: hd.convert = convert_run<long double>; break;
    default: break;
  }
  return hd;
}

namespace {

// Above this relative difference between pixdim and the affine's column
// lengths the header describes two different grids.
constexpr double kVoxelSizeTolerance = 0.01;
// An affine whose 3×3 determinant is this small beside the product of its
// column lengths squashes the grid into (nearly) a plane or a line.
constexpr double kSingularRatio = 1e-6;
// b² + c² + d² of a stored unit quaternion stays within float rounding of 1.
constexpr double kQuaternionSlack = 1e-4;

enum class AffineSource { Sform, Qform, Pixdim };

const char* source_name(AffineSource s) { return s == AffineSource::Sform ? "sform" : "qform"; }

std::string number_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
  return format_real(v);
}

std::string triple_text(const Vec3& v) {
  return "(" + number_text(v[0]) + ", " + number_text(v[1]) + ", " + number_text(v[2]) + ")";
}

// The first header field of the chosen affine that is not a finite number.
std::optional<std::string> non_finite_field(const nifti_1_header& h, AffineSource source) {
  const auto check = [](const char* name, double v) -> std::optional<std::string> {
    if (std::isfinite(v)) return std::nullopt;
    return std::string(name) + " = " + number_text(v);
  };
  if (source == AffineSource::Sform) {
    const float* rows[3] = {h.srow_x, h.srow_y, h.srow_z};
    const char* names[3] = {"srow_x", "srow_y", "srow_z"};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j)
        if (!std::isfinite(rows[i][j]))
          return std::string(names[i]) + "[" + std::to_string(j) + "] = " + number_text(rows[i][j]);
    return std::nullopt;
  }
  const std::pair<const char*, double> fields[] = {
      {"quatern_b", h.quatern_b}, {"quatern_c", h.quatern_c}, {"quatern_d", h.quatern_d},
      {"qoffset_x", h.qoffset_x}, {"qoffset_y", h.qoffset_y}, {"qoffset_z", h.qoffset_z},
      {"pixdim[0]", h.pixdim[0]}, {"pixdim[1]", h.pixdim[1]}, {"pixdim[2]", h.pixdim[2]},
      {"pixdim[3]", h.pixdim[3]}};
  for (const auto& [name, v] : fields)
    if (auto bad = check(name, v)) return bad;
  return std::nullopt;
}

Vec3 column_lengths(const Mat4& m) {
  Vec3 n{};
  for (int j = 0; j < 3; ++j) n[j] = std::sqrt(m[0][j] * m[0][j] + m[1][j] * m[1][j] + m[2][j] * m[2][j]);
  return n;
}

double block_determinant(const Mat4& a) {
  return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
         a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

struct Doubt {
  std::string text;
  bool affine_usable = false;  // only pixdim disagrees: the affine itself is sound
};

// Why the orientation of an image with this header and affine cannot be
// trusted, or nothing when it can. The axes verdict rests on which way the
// voxel axes point in the world, so anything short of a finite, invertible
// affine stated by the header itself, and agreeing with pixdim, is a doubt.
std::optional<Doubt> orientation_doubt(const Header& hd, const Mat4& m, AffineSource source) {
  const nifti_1_header& h = hd.h;
  if (!hd.nifti) return Doubt{"the image is in the ANALYZE 7.5 format, which records no orientation"};
  if (source == AffineSource::Pixdim)
    return Doubt{"the header has neither a qform nor an sform (qform_code and sform_code are 0), so which way "
                 "its axes point is unknown"};
  const std::string name = source_name(source);
  if (const auto bad = non_finite_field(h, source))
    return Doubt{"the " + name + " holds a non-finite number (" + *bad + ")"};
  if (source == AffineSource::Qform) {
    const double q = double(h.quatern_b) * h.quatern_b + double(h.quatern_c) * h.quatern_c +
                     double(h.quatern_d) * h.quatern_d;
    if (q > 1.0 + kQuaternionSlack)
      return Doubt{"the qform's quaternion is not a rotation (b\u00b2 + c\u00b2 + d\u00b2 = " + number_text(q) +
                   ", above 1)"};
  }
  const Vec3 n = column_lengths(m);
  if (n[0] == 0 && n[1] == 0 && n[2] == 0)
    return Doubt{"the " + name + " is all zero: it maps every voxel to one point"};
  for (int j = 0; j < 3; ++j)
    if (!(n[j] > 0))
      return Doubt{"the " + name + " is singular: voxel axis " + std::to_string(j) + " has zero length"};
  const double det = block_determinant(m);
  if (!(std::abs(det) > kSingularRatio * n[0] * n[1] * n[2]))
    return Doubt{"the " + name + " is singular (determinant " + number_text(det) + "): its voxel axes do not span "
                 "space"};
  const Vec3 pix{h.pixdim[1], h.pixdim[2], h.pixdim[3]};
  for (int j = 0; j < 3; ++j)
    if (!(std::abs(pix[j] - n[j]) <= kVoxelSizeTolerance * n[j]))
      return Doubt{"the voxel sizes in pixdim " + triple_text(pix) + " disagree with the " + name + "'s " +
                       triple_text(n) + " by more than 1 %",
                   true};
  return std::nullopt;
}

// The voxel sizes of the geometry the frame is taken from (see VolumeInfo).
Vec3 geometry_spacing(const Mat4& m, const Vec3& pixdim, bool affine_usable) {
  if (!affine_usable) return pixdim;
  const Vec3 n = column_lengths(m);
  for (int j = 0; j < 3; ++j)
    if (!(std::abs(pixdim[j] - n[j]) <= kVoxelSizeTolerance * n[j])) return n;
  return pixdim;
}

}  // namespace

VolumeInfo info_from_header(const Header& hd) {
  const nifti_1_header& h = hd.h;
  VolumeInfo info;
  for (int i = 1; i <= h.dim[0]; ++i) info.shape.push_back(static_cast<std::uint64_t>(h.dim[i]));
  info.n_volumes = h.dim[0] >= 4 ? static_cast<std::uint64_t>(h.dim[4]) : 1;
  const double dx = h.pixdim[1], dy = h.pixdim[2], dz = h.pixdim[3];
  info.voxel_sizes = {dx, dy, dz};

  Mat4 m{};
  const int sform = hd.nifti ? h.sform_code : 0;
  const int qform = hd.nifti ? h.qform_code : 0;
  const AffineSource source = sform > 0 ? AffineSource::Sform : qform > 0 ? AffineSource::Qform : AffineSource::Pixdim;
  if (sform > 0) {
    for (int j = 0; j < 4; ++j) {
      m[0][j] = h.srow_x[j];
      m[1][j] = h.srow_y[j];
      m[2][j] = h.srow_z[j];
    }
  } else if (qform > 0) {
    const double b = h.quatern_b, c = h.quatern_c, d = h.quatern_d;
    const double a = std::sqrt(std::max(0.0, 1.0 - (b * b + c * c + d * d)));
    const double qfac = h.pixdim[0] < 0 ? -1.0 : 1.0;
    const double r[3][3] = {
        {a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
        {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
        {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - b * b - c * c}};
    const double scale[3] = {dx, dy, dz * qfac};
    const double offset[3] = {h.qoffset_x, h.qoffset_y, h.qoffset_z};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m[i][j] = r[i][j] * scale[j];
      m[i][3] = offset[i];
    }
  } else {
    m[0][0] = dx;
    m[1][1] = dy;
    m[2][2] = dz;
  }
  m[3] = {0, 0, 0, 1};
  info.affine = m;
  const std::optional<Doubt> doubt = orientation_doubt(hd, m, source);
  // A pixdim that contradicts a sound affine leaves the affine usable: its sizes win.
  info.spacing = geometry_spacing(m, info.voxel_sizes, !doubt || doubt->affine_usable);
  if (doubt) info.orientation_doubt = doubt->text;
  info.affine_usable = !doubt || doubt->affine_usable;
  return info;
}

}  // namespace tarvix
