#include "io/mrtrix.hpp"

#include "error.hpp"
#include "fileio.hpp"
#include "format.hpp"
#include "io/fsl.hpp"

namespace tarvix::io::mrtrix {

std::array<double, 4> parse_row(std::string_view line, const std::string& path) {
  std::array<std::string_view, 4> tokens;
  std::size_t found = 0;
  text::for_each_token(line, [&](std::string_view token) {
    tokens[found++] = token;
    return found < tokens.size();
  });
  // Tokens are converted before the count is checked, so "1 x" reports the
  // bad number rather than the short row.
  std::array<double, 4> values{};
  for (std::size_t i = 0; i < found; ++i) {
    const auto v = text::parse_number(tokens[i]);
    if (!v) text::throw_invalid_number(path, tokens[i]);
    values[i] = *v;
  }
  if (found < 4) throw Error::parse(path, "expected 4 values per row, found " + std::to_string(found));
  return values;
}

GradientTable read(std::string_view text, const std::string& path) {
  std::vector<Vec3> dirs;
  std::vector<double> bvals;
  text::for_each_line(text, [&](std::string_view line) {
    line = text::trim(line);
    if (line.empty() || line.front() == '#') return;
    const auto row = parse_row(line, path);
    dirs.push_back({row[0], row[1], row[2]});
    bvals.push_back(row[3]);
  });
  return GradientTable::make(std::move(dirs), std::move(bvals));
}

void write(const std::string& path, const GradientTable& table) {
  const std::size_t n = table.size();
  std::string text;
  text.reserve(n * 40);
  for (std::size_t i = 0; i < n; ++i) {
    const Vec3& d = table.directions[i];
    text += format_component(d[0]);
    text += ' ';
    text += format_component(d[1]);
    text += ' ';
    text += format_component(d[2]);
    text += ' ';
    text += format_plain(table.bvals[i]);
    text += '\n';
  }
  write_file_atomic(path, text);
}

}  // namespace tarvix::io::mrtrix
