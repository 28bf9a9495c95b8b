#include "io/fsl.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "error.hpp"
#include "fileio.hpp"
#include "format.hpp"

namespace tarvix::io::fsl {
namespace {

std::string join_line(std::size_t count, std::size_t width_hint, auto&& piece) {
  std::string line;
  line.reserve(count * width_hint + 1);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) line += ' ';
    line += piece(i);
  }
  line += '\n';
  return line;
}

}  // namespace

std::vector<double> parse_floats(std::string_view text, const std::string& path) {
  std::vector<double> out;
  text::for_each_token(text, [&](std::string_view token) {
    const auto v = text::parse_number(token);
    if (!v) text::throw_invalid_number(path, token);
    out.push_back(*v);
    return true;
  });
  return out;
}

std::vector<std::vector<double>> parse_rows(std::string_view text, const std::string& path) {
  std::vector<std::vector<double>> rows;
  std::vector<double> scratch;  // reused, so each row is allocated once at its final size
  text::for_each_line(text, [&](std::string_view line) {
    scratch.clear();
    text::for_each_token(line, [&](std::string_view token) {
      const auto v = text::parse_number(token);
      if (!v) text::throw_invalid_number(path, token);
      scratch.push_back(*v);
      return true;
    });
    if (!scratch.empty()) rows.emplace_back(scratch.begin(), scratch.end());
  });
  return rows;
}

std::vector<Vec3> to_directions(const std::vector<std::vector<double>>& rows, std::size_t n,
                                const std::string& path) {
  std::vector<Vec3> dirs;
  if (rows.size() == 3 && rows[0].size() == n && rows[1].size() == n && rows[2].size() == n) {
    dirs.resize(n);
    for (std::size_t i = 0; i < n; ++i) dirs[i] = {rows[0][i], rows[1][i], rows[2][i]};
    return dirs;
  }
  if (rows.size() == n &&
      std::all_of(rows.begin(), rows.end(), [](const std::vector<double>& r) { return r.size() == 3; })) {
    dirs.resize(n);
    for (std::size_t i = 0; i < n; ++i) dirs[i] = {rows[i][0], rows[i][1], rows[i][2]};
    return dirs;
  }
  throw Error::parse(path, "bvec shape does not match the b-value count");
}

GradientTable read(const std::string& bvec_path, const std::string& bval_path) {
  std::vector<double> bvals = parse_floats(read_text_file(bval_path), bval_path);
  const auto rows = parse_rows(read_text_file(bvec_path), bvec_path);
  std::vector<Vec3> dirs = to_directions(rows, bvals.size(), bvec_path);
  return GradientTable::make(std::move(dirs), std::move(bvals));
}

void write(const std::string& bvec_path, const std::string& bval_path, const GradientTable& table) {
  const auto& dirs = table.directions;
  std::string bvec;
  for (int axis = 0; axis < 3; ++axis)
    bvec += join_line(dirs.size(), 10, [&](std::size_t i) { return format_component(dirs[i][axis]); });
  concerning(Role::OutBvec, bvec_path, [&] { write_file_atomic(bvec_path, bvec); });
  const auto& bvals = table.bvals;
  const std::string bval = join_line(bvals.size(), 5, [&](std::size_t i) { return format_plain(bvals[i]); });
  concerning(Role::OutBval, bval_path, [&] { write_file_atomic(bval_path, bval); });
}

}  // namespace tarvix::io::fsl
