// The NIfTI-1 (and ANALYZE 7.5) header as the reader uses it, the datatype
// converters to 32-bit floats, and where a header's image data lives.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <string>

#include <nifti1.h>

#include "volume.hpp"

namespace tarvix {

inline constexpr std::size_t kHeaderBytes = 348;  // sizeof(nifti_1_header)

struct Scaling {
  bool on = false;
  double slope = 1.0;
  double inter = 0.0;
};

using ConvertFn = void (*)(const unsigned char*, std::size_t, float*, const Scaling&);


// x87 80-bit extended precision stored in 16 bytes is what "long double"
// means to the tools that write FLOAT128 on this architecture.
constexpr bool kLongDoubleIsFloat128 = sizeof(long double) == 16 && LDBL_MANT_DIG == 64;

struct Header {
  nifti_1_header h{};
  bool swapped = false;
  bool nifti = true;     // false: ANALYZE 7.5 (no magic)
  bool one_file = true;  // data follows the header in the same file
  int nbyper = 0;
  int swapsize = 0;
  std::uint64_t voxels = 0;
  std::uint64_t data_bytes = 0;
  std::uint64_t offset = 0;
  Scaling scaling;
  ConvertFn convert = nullptr;
};

// Validates the raw 348 bytes (either byte order) and picks the converter.
// Failures are Error::nifti.
Header parse_header(const unsigned char* bytes);
VolumeInfo info_from_header(const Header& hd);

// The image file that goes with a separate header.
std::string companion_image(const std::string& header_path);
// The header of a path that names a pair by its image file; other paths as given.
std::string header_path_for(const std::string& path);

}  // namespace tarvix
