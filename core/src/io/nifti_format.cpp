#include "io/nifti_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

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
  return info;
}

}  // namespace tarvix
