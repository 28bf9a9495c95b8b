#include "tensor.hpp"

#include <algorithm>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "error.hpp"
#include "fit_kernels.hpp"

namespace tarvix {

using namespace fit;

TensorField fit_dti(const Volume& volume, const GradientTable& table, const std::vector<std::uint64_t>& b0_indices,
                    const std::vector<std::uint64_t>& shell_indices, double min_s0) {
  if (volume.ndim() != 4) throw Error::dti_fit("expected 4-D DWI, got " + std::to_string(volume.ndim()) + "-D");
  if (shell_indices.empty()) throw Error::dti_fit("no DWI volumes in the working shell");

  const std::uint64_t nx = volume.shape[0], ny = volume.shape[1], nz = volume.shape[2];
  const std::uint64_t grid = nx * ny * nz;
  const std::uint64_t n_volumes = volume.shape[3];
  for (const auto* list : {&b0_indices, &shell_indices})
    for (std::uint64_t k : *list)
      if (k >= n_volumes || k >= table.size()) throw std::logic_error("fit_dti: volume index out of range");
  const FitDesign design = make_design(table, b0_indices, shell_indices, min_s0);
  std::vector<const float*> sources;
  sources.reserve(design.rows.size());
  for (const DesignRow& s : design.rows) sources.push_back(volume.volume_data(s.volume));

  TensorField field = empty_field(nx, ny, nz);
  const std::size_t n_blocks = static_cast<std::size_t>((grid + kBlock - 1) / kBlock);
  // Blocks are fixed by stored position, never by the split, so each voxel sees
  // the same arithmetic whatever the thread count.
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_blocks), [&](const tbb::blocked_range<std::size_t>& r) {
    std::vector<double> acc(kBlockDoubles);
    std::vector<RowInput> rows(design.rows.size());
    FinishScratch scratch;
    for (std::size_t blk = r.begin(); blk != r.end(); ++blk) {
      const std::uint64_t start = blk * kBlock;
      const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, grid - start));
      std::fill(acc.begin(), acc.end(), 0.0);
      for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = {sources[i] + start, design.rows[i].w.data(), design.rows[i].base};
      add_row_run(acc.data(), rows.data(), rows.size(), width, design.ln_floor);
      finish_block(design, acc.data(), start, width, field, scratch);
    }
  });
  return field;
}

}  // namespace tarvix
