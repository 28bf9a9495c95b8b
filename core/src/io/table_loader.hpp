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
// Failure "provide bvec and bval, or grad". Errors carry the file they concern.
LoadedTable load_table(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                       const std::optional<std::string>& grad);

// The same table, read for the command line, which refuses what load_table
// would quietly take: a byte-order mark or CR-only line ends (explained, not
// guessed at), a bval of several multi-number lines, a '#' comment in an FSL
// file, grad rows of other than four numbers, NaN or infinite entries and
// negative b-values. Each refusal is a parse error naming the file and the
// line, number or volume; quoted input is cut to 80 characters. Volumes are
// numbered from 0, as in the reports; lines and numbers from 1. A bval of
// three lines beside a bvec of one is said to look swapped.
LoadedTable load_table_checked(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                               const std::optional<std::string>& grad);

}  // namespace tarvix
