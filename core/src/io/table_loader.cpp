#include "io/table_loader.hpp"

#include "error.hpp"
#include "fileio.hpp"
#include "io/fsl.hpp"
#include "io/mrtrix.hpp"

namespace tarvix {

LoadedTable load_table(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                       const std::optional<std::string>& grad) {
  LoadedTable loaded;
  if (grad) {
    const std::string text = read_text_file(*grad);
    loaded.table = io::mrtrix::read(text, *grad);
    loaded.inputs.push_back(InputFile::of_contents(*grad, text));
    loaded.world_frame = true;
    return loaded;
  }
  if (!bvec || !bval) throw Failure("provide bvec and bval, or grad");

  // bval first: with both files broken, the b-value file's fault is the one reported.
  const std::string bval_text = read_text_file(*bval);
  std::vector<double> bvals = io::fsl::parse_floats(bval_text, *bval);
  const std::string bvec_text = read_text_file(*bvec);
  std::vector<Vec3> dirs = io::fsl::to_directions(io::fsl::parse_rows(bvec_text, *bvec), bvals.size(), *bvec);
  loaded.table = GradientTable::make(std::move(dirs), std::move(bvals));
  loaded.inputs.push_back(InputFile::of_contents(*bvec, bvec_text));
  loaded.inputs.push_back(InputFile::of_contents(*bval, bval_text));
  return loaded;
}

}  // namespace tarvix
