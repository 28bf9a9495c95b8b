// Loading a gradient table from the caller's paths: an MRtrix grad file, or an
// FSL bval/bvec pair (bval read first).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gradient.hpp"
#include "io/input_file.hpp"

namespace tarvix {

struct LoadedTable {
  GradientTable table;
  std::vector<InputFile> inputs;  // bvec then bval, or the grad file
  bool world_frame = false;       // read from an MRtrix grad file
};

// grad takes precedence; without it both FSL paths are required, else
// Failure "provide bvec and bval, or grad".
LoadedTable load_table(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                       const std::optional<std::string>& grad);

}  // namespace tarvix
