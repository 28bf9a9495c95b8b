#include "image_header.hpp"

#include <cmath>
#include <exception>

#include "io/image_reader.hpp"

namespace tarvix {
namespace {

std::string grid_text(const std::array<std::uint64_t, 3>& grid) {
  return std::to_string(grid[0]) + "x" + std::to_string(grid[1]) + "x" + std::to_string(grid[2]);
}

}  // namespace

std::optional<HeaderGeometry> read_header_geometry(const std::string& path) {
  // Thrown from the reader's header check: it stops the read before any data.
  struct Seen {};
  std::optional<VolumeInfo> info;
  try {
    read_volume_with_info(path, nullptr, nullptr, [&](const VolumeInfo& v) {
      info = v;
      throw Seen{};
    });
  } catch (const Seen&) {
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!info || !info->affine_usable) return std::nullopt;
  HeaderGeometry g;
  for (std::size_t i = 0; i < 3; ++i) g.grid[i] = i < info->shape.size() ? info->shape[i] : 1;
  g.affine = info->affine;
  return g;
}

std::optional<std::string> mask_misfit(const std::string& mask, const std::string& image) {
  const auto m = read_header_geometry(mask);
  if (!m) return "cannot be read as a NIfTI image with an affine";
  const auto d = read_header_geometry(image);
  if (!d) return std::nullopt;
  if (m->grid != d->grid) return "is on a " + grid_text(m->grid) + " grid, the image on " + grid_text(d->grid);
  // Headers store the affine in single precision: a thousandth of a millimetre is agreement.
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      if (!(std::abs(m->affine[i][j] - d->affine[i][j]) <= 1e-3))
        return "has another affine than the image (it was made for another space)";
  return std::nullopt;
}

}  // namespace tarvix
