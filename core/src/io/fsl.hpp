// FSL bvec/bval text files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gradient.hpp"
#include "io/text_tokens.hpp"
#include "matrix.hpp"

namespace tarvix::io::fsl {


// Every number of the text in reading order; the first bad token is a parse error.
std::vector<double> parse_floats(std::string_view text, const std::string& path);

// One row per non-blank line, holding that line's numbers.
std::vector<std::vector<double>> parse_rows(std::string_view text, const std::string& path);

// Shapes bvec rows into n directions: three rows of n (x, y, z rows) are tried
// first, then n rows of three; anything else is the bvec shape parse error.
std::vector<Vec3> to_directions(const std::vector<std::vector<double>>& rows, std::size_t n,
                                const std::string& path);

// Reads a bval/bvec pair (bval first, so its faults are reported first).
GradientTable read(const std::string& bvec_path, const std::string& bval_path);

// Writes the bvec file (x, y and z lines of six-decimal components), then the
// bval file (one line of shortest plain b-values). A failed bvec write leaves
// the bval file untouched.
void write(const std::string& bvec_path, const std::string& bval_path, const GradientTable& table);

}  // namespace tarvix::io::fsl
