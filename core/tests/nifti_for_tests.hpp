// Writing small NIfTI-1 test images (optionally gzipped) into a private temp folder.
#pragma once

#include <gtest/gtest.h>
#include <nifti1_io.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "gzip_for_tests.hpp"

// A folder of its own under the test temp dir, made once per test program.
inline std::string temp_path(const std::string& name) {
  static const std::string dir = [] {
    std::string tmpl = ::testing::TempDir() + "tarvix_test_XXXXXX";
    if (!::mkdtemp(tmpl.data())) std::abort();
    return tmpl;
  }();
  return name.empty() ? dir : dir + "/" + name;
}

// Returns the path, for reading straight back.
inline std::string write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

// Unit voxels, no scaling, data straight after the header and extension flag.
inline nifti_1_header make_header(std::vector<short> dims, short datatype, short bitpix) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = static_cast<short>(dims.size());
  std::fill(h.dim + 1, h.dim + 8, short{1});
  std::copy(dims.begin(), dims.end(), h.dim + 1);
  h.datatype = datatype;
  h.bitpix = bitpix;
  std::fill(h.pixdim, h.pixdim + 8, 1.0f);
  h.vox_offset = 352;
  std::memcpy(h.magic, "n+1", 4);
  return h;
}

// The values' bytes, each value byte-swapped when big_endian.
template <class T>
std::string raw(const std::vector<T>& values, bool big_endian = false) {
  std::string out(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
  if (big_endian)
    for (std::size_t i = 0; i < values.size(); ++i)
      std::reverse(out.begin() + static_cast<long>(i * sizeof(T)),
                   out.begin() + static_cast<long>((i + 1) * sizeof(T)));
  return out;
}

// Header, the four-byte extension flag, then the data.
inline std::string nii_bytes(const nifti_1_header& h, const std::string& data) {
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  out.append(4, '\0');
  return out + data;
}

// Gzipped when the name ends in .gz; returns the path.
inline std::string write_nii(const std::string& name, const std::string& bytes) {
  return write_bytes(temp_path(name), name.ends_with(".gz") ? gzip(bytes) : bytes);
}
