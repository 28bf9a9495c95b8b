#include "io/image_reader.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include <nifti1_io.h>

#include "error.hpp"
#include "io/byte_source.hpp"
#include "io/nifti_format.hpp"
#include "text.hpp"
#include "timing.hpp"

namespace tarvix {
namespace {

[[noreturn]] void fail(std::string text) { throw Error::nifti(std::move(text)); }

void quiet_library() {
  static std::once_flag once;
  std::call_once(once, [] { nifti_set_debug_level(0); });
}

std::string short_text(std::uint64_t expected, std::uint64_t got) {
  return "file too short: expected " + std::to_string(expected) + " bytes of image data, found " +
         std::to_string(got);
}

VolumeRead read_image(const std::string& path, double& decompress_s, double& convert_s, VolumeSink* sink) {
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
    if (streamed && !direct && !(hd.swapped && hd.swapsize > 1)) {
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
          Lap lap(decompress_s);
          const std::size_t got = image->read(reinterpret_cast<unsigned char*>(dst), bytes);
          if (got < bytes) fail(short_text(hd.data_bytes, done * 4 + got));
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

VolumeRead read_volume_with_info(const std::string& path, ReadTimings* timings, VolumeSink* sink) {
  double decompress_s = 0, convert_s = 0;
  VolumeRead out = read_image(path, decompress_s, convert_s, sink);
  if (timings) {
    timings->decompress_s = decompress_s;
    timings->convert_s = convert_s;
  }
  return out;
}

Mask read_mask(const std::string& path) {
  VolumeRead r = read_volume_with_info(path);
  const std::size_t nd = r.volume.ndim();
  if (nd != 3 && nd != 4)
    fail("a mask image must be 3-D or 4-D, got " + std::to_string(nd) + "-D");
  return mask_from_volume(r.volume);
}

}  // namespace tarvix
