// What an image's header alone says of its grid and where it lies, for the
// checks a batch makes before any image data is read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "matrix.hpp"

namespace tarvix {

struct HeaderGeometry {
  std::array<std::uint64_t, 3> grid{};  // spatial sizes; 1 past the header's dimensions
  Mat4 affine{};
};

// The header's grid and affine (the sform when set, else the qform); none when
// the header cannot be read or places its grid nowhere sound.
std::optional<HeaderGeometry> read_header_geometry(const std::string& path);

// Why a brain mask from another dataset cannot stand for the image's region:
// "cannot be read as a NIfTI image with an affine", "is on a 20x24x16 grid, the
// image on 24x24x16", "has another affine than the image (it was made for
// another space)"; none when it fits. An image whose header cannot be read
// leaves the mask to the audit.
std::optional<std::string> mask_misfit(const std::string& mask, const std::string& image);

}  // namespace tarvix
