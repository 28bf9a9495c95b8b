#include "io/image_reader.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include <nifti1_io.h>

#include "error.hpp"
#include "format.hpp"
#include "io/byte_source.hpp"
#include "io/nifti_format.hpp"
#include "text.hpp"
#include "timing.hpp"

namespace tarvix {
namespace {

[[noreturn]] void fail(std::string text) { throw Error::nifti(std::move(text)); }

// Masks written by other tools round the DWI's affine to their own float
// precision; a tenth of a voxel anywhere on the grid is a different grid.
constexpr double kMaskPlacementTolerance = 0.1;

void quiet_library() {
  static std::once_flag once;
  std::call_once(once, [] { nifti_set_debug_level(0); });
}

std::string short_text(std::uint64_t expected, std::uint64_t got) {
  return "file too short: expected " + std::to_string(expected) + " bytes of image data, found " +
         std::to_string(got);
}

// Whether converting this image's stored values can give Inf or NaN: always
// for the floating types, for the integer types only when the scaling can
// carry their largest value past what a float holds.
bool may_be_non_finite(const Header& hd) {
  switch (hd.h.datatype) {
    case DT_FLOAT32: case DT_FLOAT64: case DT_FLOAT128: return true;
    default: break;
  }
  if (!hd.scaling.on) return false;
  const double largest = std::ldexp(1.0, 8 * hd.nbyper);
  return !(largest * std::abs(hd.scaling.slope) + std::abs(hd.scaling.inter) < 3.0e38);
}

// Floats by their exponent bits, which the compiler can do many at a time.
std::uint64_t count_non_finite_floats(const unsigned char* src, std::size_t n) {
  std::uint64_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, src + i * 4, 4);
    bad += (bits & 0x7f800000u) == 0x7f800000u;
  }
  return bad;
}

template <class T>
std::uint64_t count_non_finite_as(const unsigned char* src, std::size_t n) {
  std::uint64_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, src + i * sizeof(T), sizeof(T));
    bad += !std::isfinite(v);
  }
  return bad;
}

// Counts the non-finite values among n voxels (in the stored type, native byte
// order, or floats when `datatype` is DT_FLOAT32), adding each to the volume
// it belongs to; `first` is the image-wide index of the first voxel.
void count_non_finite(const unsigned char* src, std::size_t n, int datatype, std::uint64_t first,
                      std::uint64_t grid, std::vector<std::uint64_t>& per_volume) {
  std::size_t size = 4;
  if (datatype == DT_FLOAT64) size = 8;
  if (datatype == DT_FLOAT128) size = sizeof(long double);
  for (std::size_t at = 0; at < n;) {
    const std::uint64_t k = (first + at) / grid;
    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(n - at, grid - (first + at) % grid));
    const unsigned char* p = src + at * size;
    std::uint64_t bad;
    if (datatype == DT_FLOAT64)
      bad = count_non_finite_as<double>(p, m);
    else if (datatype == DT_FLOAT128)
      bad = count_non_finite_as<long double>(p, m);
    else
      bad = count_non_finite_floats(p, m);
    if (bad && k < per_volume.size()) per_volume[static_cast<std::size_t>(k)] += bad;
    at += m;
  }
}

VolumeRead read_image(const std::string& path, double& decompress_s, double& convert_s, VolumeSink* sink,
                      const HeaderCheck& check) {
  quiet_library();
  Header hd;
  std::unique_ptr<ByteSource> image;
  {
    Lap lap(decompress_s);
    const std::string header_file = header_path_for(path);
    std::unique_ptr<ByteSource> src = open_source(header_file);
    unsigned char raw[kHeaderBytes];
    if (src->read(raw, kHeaderBytes) < kHeaderBytes) fail("file too short for a NIfTI-1 header");
    hd = parse_header(raw);
    if (check) check(info_from_header(hd));
    if (hd.one_file) {
      if (header_file != path) fail("the header " + display_path(header_file) + " holds its own image data");
      image = std::move(src);
    } else {
      image = open_source(companion_image(header_file));
    }
    // Everything the file could possibly hold bounds what is allocated next.
    const std::uint64_t capacity = image->capacity();
    const std::uint64_t header_part = hd.one_file ? kHeaderBytes : 0;
    if (hd.offset > capacity) {
      if (image->compressed())
        fail("vox_offset " + std::to_string(hd.offset) + " is past what a gzip file of " +
             std::to_string(image->file_size()) + " bytes can hold");
      fail("vox_offset " + std::to_string(hd.offset) + " is past the end of the file (" +
           std::to_string(capacity) + " bytes)");
    }
    const std::uint64_t room = capacity > hd.offset ? capacity - hd.offset : 0;
    if (hd.data_bytes > room) {
      if (image->compressed())
        fail("the header promises " + std::to_string(hd.data_bytes) +
             " bytes of image data, more than a gzip file of " +
             std::to_string(image->file_size()) + " bytes can hold");
      fail(short_text(hd.data_bytes, room));
    }
    image->skip(hd.offset - header_part);
  }

  // Decompression and conversion are interleaved chunk by chunk (the raw
  // bytes are still in cache when they become floats), so each stage's laps
  // are added up separately: reading, inflating and the header on one side,
  // setting up and filling the float array on the other.
  VolumeRead out;
  {
    Lap lap(decompress_s);
    out.info = info_from_header(hd);
  }
  out.volume.shape = out.info.shape;
  auto& data = out.volume.data;
  const std::uint64_t n = hd.voxels;
  // Counted as the voxels pass, while they are still in cache: a volume of
  // Inf or NaN spoils every voxel's fit, and must be named as the cause.
  const bool count_bad = may_be_non_finite(hd);
  const std::uint64_t grid = std::max<std::uint64_t>(1, n / std::max<std::uint64_t>(1, out.info.n_volumes));
  if (count_bad) out.non_finite.assign(static_cast<std::size_t>(out.info.n_volumes), 0);
  const auto count_floats = [&](const float* at, std::size_t m, std::uint64_t first) {
    if (count_bad) count_non_finite(reinterpret_cast<const unsigned char*>(at), m, DT_FLOAT32, first, grid, out.non_finite);
  };

  // A sink takes a 4-D image volume by volume: kept volumes go into `data`,
  // wanted ones to the sink, the rest is inflated and dropped. Otherwise the
  // whole image is one run into `data`.
  std::vector<std::uint8_t> keep, want;
  bool streamed = false;
  if (sink && out.info.shape.size() == 4) {
    keep.assign(static_cast<std::size_t>(out.info.n_volumes), 0);
    want.assign(static_cast<std::size_t>(out.info.n_volumes), 0);
    streamed = sink->begin(out.info, keep, want);
  }
  try {
    const std::uint64_t runs = streamed ? out.info.n_volumes : 1;
    const std::uint64_t run_voxels = n / runs;
    std::uint64_t kept = n;
    if (streamed) {
      out.volume.partial = true;
      for (std::uint64_t k = 0; k < runs; ++k)
        if (keep[k]) out.volume.held.push_back(k);
      kept = out.volume.held.size() * run_voxels;
    }
    {
      Lap lap(convert_s);
      try {
        data.reserve(static_cast<std::size_t>(kept));
      } catch (const std::bad_alloc&) {
        fail("not enough memory for " + std::to_string(n) + " voxels");
      } catch (const std::length_error&) {
        fail("not enough memory for " + std::to_string(n) + " voxels");
      }
    }

    const bool direct = hd.h.datatype == DT_FLOAT32 && !hd.swapped && !hd.scaling.on;
    // Volumes that only the sink reads go to it unconverted when it wants
    // them so: then this thread only inflates them.
    RawVoxels raw;
    bool raw_to_sink = false;
    const bool ints_may_overflow = count_bad && hd.h.datatype != DT_FLOAT32 && hd.h.datatype != DT_FLOAT64 &&
                                   hd.h.datatype != DT_FLOAT128;
    if (streamed && !direct && !(hd.swapped && hd.swapsize > 1) && !ints_may_overflow) {
      raw.bytes_per_voxel = static_cast<std::size_t>(hd.nbyper);
      raw.to_float = [convert = hd.convert, scaling = hd.scaling](const unsigned char* src, std::size_t m,
                                                                  float* dst) { convert(src, m, dst, scaling); };
      raw_to_sink = sink->take_raw(raw);
    }
    std::unique_ptr<unsigned char[]> buffer;
    if (!direct || streamed) buffer.reset(new unsigned char[kChunkBytes]);
    const std::size_t per_chunk = kChunkBytes / static_cast<std::size_t>(hd.nbyper);
    std::uint64_t done = 0;  // voxels read so far
    for (std::uint64_t k = 0; k < runs; ++k) {
      const bool to_data = !streamed || keep[k];
      const bool to_sink = streamed && want[k];
      const std::size_t data_start = data.size();
      // A kept volume the sink takes as stored is converted into the Volume
      // from the sink's copy, chunk by chunk while the bytes are still in cache.
      const bool raw_run = to_sink && raw_to_sink;
      unsigned char* const raw_out = raw_run ? sink->raw_buffer_for(k) : nullptr;
      float* const out_run = !to_data && to_sink && !raw_run ? sink->buffer_for(k) : nullptr;
      for (std::uint64_t pos = 0; pos < run_voxels;) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, run_voxels - pos));
        const std::size_t bytes = m * static_cast<std::size_t>(hd.nbyper);
        if (raw_out) {
          unsigned char* const at = raw_out + pos * static_cast<std::size_t>(hd.nbyper);
          {
            Lap lap(decompress_s);
            const std::size_t got = image->read(at, bytes);
            if (got < bytes) fail(short_text(hd.data_bytes, done * static_cast<std::uint64_t>(hd.nbyper) + got));
          }
          if (to_data) {
            Lap lap(convert_s);
            data.resize(data_start + static_cast<std::size_t>(pos) + m);
            hd.convert(at, m, data.data() + data_start + pos, hd.scaling);
            count_floats(data.data() + data_start + pos, m, done);
          } else if (count_bad) {
            // Only stored floats reach here: integers that could overflow are
            // never handed over unconverted.
            Lap lap(convert_s);
            count_non_finite(at, m, hd.h.datatype, done, grid, out.non_finite);
          }
        } else if (!to_data && !out_run) {
          Lap lap(decompress_s);
          const std::size_t got = image->read(buffer.get(), bytes);
          if (got < bytes) fail(short_text(hd.data_bytes, done * static_cast<std::uint64_t>(hd.nbyper) + got));
        } else if (direct) {
          float* dst;
          if (to_data) {
            Lap lap(convert_s);
            data.resize(data_start + static_cast<std::size_t>(pos) + m);
            dst = data.data() + data_start + pos;
          } else {
            dst = out_run + pos;
          }
          {
            Lap lap(decompress_s);
            const std::size_t got = image->read(reinterpret_cast<unsigned char*>(dst), bytes);
            if (got < bytes) fail(short_text(hd.data_bytes, done * 4 + got));
          }
          Lap lap(convert_s);
          count_floats(dst, m, done);
        } else {
          {
            Lap lap(decompress_s);
            const std::size_t got = image->read(buffer.get(), bytes);
            if (got < bytes) fail(short_text(hd.data_bytes, done * static_cast<std::uint64_t>(hd.nbyper) + got));
          }
          Lap lap(convert_s);
          if (hd.swapped && hd.swapsize > 1) nifti_swap_Nbytes(m, hd.swapsize, buffer.get());
          float* dst;
          if (to_data) {
            data.resize(data_start + static_cast<std::size_t>(pos) + m);
            dst = data.data() + data_start + pos;
          } else {
            dst = out_run + pos;
          }
          hd.convert(buffer.get(), m, dst, hd.scaling);
          count_floats(dst, m, done);
        }
        pos += m;
        done += m;
      }
      if (raw_out)
        sink->raw_volume_ready(k, raw_out, to_data ? data.data() + data_start : nullptr);
      else if (to_sink)
        sink->volume_ready(k, to_data ? data.data() + data_start : out_run);
    }
    {
      Lap lap(decompress_s);
      image->finish();
    }
    if (streamed) sink->end();
  } catch (...) {
    // The sink may still be reading volumes in `data`, which unwinding frees.
    if (streamed) sink->abandon();
    throw;
  }
  return out;
}

}  // namespace

VolumeRead read_volume_with_info(const std::string& path, ReadTimings* timings, VolumeSink* sink,
                                 const HeaderCheck& check) {
  double decompress_s = 0, convert_s = 0;
  VolumeRead out = read_image(path, decompress_s, convert_s, sink, check);
  if (timings) {
    timings->decompress_s = decompress_s;
    timings->convert_s = convert_s;
  }
  return out;
}

Mask read_mask(const std::string& path, const HeaderCheck& check) {
  VolumeRead r = read_volume_with_info(path, nullptr, nullptr, [&](const VolumeInfo& info) {
    const std::size_t nd = info.shape.size();
    if (nd != 3 && nd != 4) fail("a mask image must be 3-D or 4-D, got " + std::to_string(nd) + "-D");
    if (check) check(info);
  });
  return mask_from_volume(r.volume);
}

namespace {

std::uint64_t grid_of(const std::vector<std::uint64_t>& shape) {
  std::uint64_t n = 1;
  for (std::size_t i = 0; i < shape.size() && i < 3; ++i) n *= shape[i];
  return n;
}

std::string grid_text(const std::vector<std::uint64_t>& shape) {
  std::string out;
  for (std::size_t i = 0; i < 3; ++i) {
    if (i) out += "\u00d7";
    out += std::to_string(i < shape.size() ? shape[i] : 1);
  }
  return out;
}

// How far apart the two affines put the same voxel, in millimetres, at the
// corners of the grid (which bound it everywhere in between, the map being
// affine).
double placement_gap(const Mat4& a, const Mat4& b, const std::vector<std::uint64_t>& shape) {
  double worst = 0;
  for (int corner = 0; corner < 8; ++corner) {
    double p[3];
    for (int j = 0; j < 3; ++j)
      p[j] = (corner >> j & 1) ? static_cast<double>((j < static_cast<int>(shape.size()) ? shape[j] : 1) - 1) : 0.0;
    double d2 = 0;
    for (int i = 0; i < 3; ++i) {
      double d = a[i][3] - b[i][3];
      for (int j = 0; j < 3; ++j) d += (a[i][j] - b[i][j]) * p[j];
      d2 += d * d;
    }
    worst = std::max(worst, std::sqrt(d2));
  }
  return worst;
}

}  // namespace

void check_mask_geometry(const VolumeInfo& mask, const VolumeInfo& dwi, ImageRules rule) {
  const std::uint64_t mask_grid = grid_of(mask.shape), dwi_grid = grid_of(dwi.shape);
  if (mask_grid != dwi_grid) throw Error::mask_mismatch(mask_grid, dwi_grid);
  if (rule == ImageRules::Stated) return;
  for (std::size_t i = 0; i < 3; ++i) {
    const auto size = [i](const VolumeInfo& v) { return i < v.shape.size() ? v.shape[i] : std::uint64_t{1}; };
    if (size(mask) != size(dwi))
      throw Error::mask_grid(
          "the mask is " + grid_text(mask.shape) + " voxels but the DWI grid is " + grid_text(dwi.shape));
  }
  // A header that does not say where its grid lies (no qform or sform, a
  // broken affine) cannot be compared; the DWI's own doubt is reported on
  // its own, and a mask written without orientation is taken on its grid.
  if (mask.orientation_doubt || dwi.orientation_doubt) return;
  const double voxel = std::min({dwi.spacing[0], dwi.spacing[1], dwi.spacing[2]});
  const double gap = placement_gap(mask.affine, dwi.affine, dwi.shape);
  if (gap > kMaskPlacementTolerance * voxel)
    throw Error::mask_grid("the mask's affine places its grid up to " + format_fixed(gap, 2) +
                           " mm away from the DWI's");
}

}  // namespace tarvix
