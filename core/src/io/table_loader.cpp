#include "io/table_loader.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "error.hpp"
#include "fileio.hpp"
#include "io/fsl.hpp"
#include "io/mrtrix.hpp"
#include "io/text_tokens.hpp"
#include "text.hpp"

namespace tarvix {

LoadedTable load_table(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                       const std::optional<std::string>& grad) {
  LoadedTable loaded;
  if (grad) {
    std::string text;
    concerning(Role::Grad, *grad, [&] {
      text = read_text_file(*grad);
      loaded.table = io::mrtrix::read(text, *grad);
    });
    loaded.inputs.push_back(InputFile::of_contents(*grad, text));
    loaded.world_frame = true;
    return loaded;
  }
  if (!bvec || !bval) throw Failure("provide bvec and bval, or grad");

  // bval first: with both files broken, the b-value file's fault is the one reported.
  std::string bval_text, bvec_text;
  std::vector<double> bvals;
  std::vector<Vec3> dirs;
  concerning(Role::Bval, *bval, [&] {
    bval_text = read_text_file(*bval);
    bvals = io::fsl::parse_floats(bval_text, *bval);
  });
  concerning(Role::Bvec, *bvec, [&] {
    bvec_text = read_text_file(*bvec);
    dirs = io::fsl::to_directions(io::fsl::parse_rows(bvec_text, *bvec), bvals.size(), *bvec);
  });
  loaded.table = GradientTable::make(std::move(dirs), std::move(bvals));
  loaded.inputs.push_back(InputFile::of_contents(*bvec, bvec_text));
  loaded.inputs.push_back(InputFile::of_contents(*bval, bval_text));
  return loaded;
}

namespace {

// One non-blank line of numbers, with the tokens kept for quoting.
struct Row {
  std::size_t line = 0;  // from 1
  std::vector<double> values;
  std::vector<std::string_view> tokens;
};

std::string at(std::size_t line, std::size_t number) {
  return "line " + std::to_string(line) + ", number " + std::to_string(number);
}

std::string count_of(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What load_table would misread rather than reject. A BOM is not whitespace,
// so it turns the first number into an invalid one; a CR alone does not end a
// line, so the rows of a bvec or grad file run together into one.
void refuse_layout(std::string_view text, const std::string& path, bool rows_matter) {
  if (text.starts_with("\xEF\xBB\xBF"))
    throw Error::parse(path, "the file begins with a byte-order mark (U+FEFF); save it as UTF-8 without one");
  if (!rows_matter) return;
  for (std::size_t i = text.find('\r'); i != std::string_view::npos; i = text.find('\r', i + 1)) {
    if (i + 1 < text.size() && text[i + 1] == '\n') continue;
    // Only whitespace after it: a stray line end, and no other CR can matter.
    if (io::text::trim(text.substr(i + 1)).empty()) return;
    throw Error::parse(path, "lines end in a carriage return alone (CR, old Mac OS line ends), so its rows would "
                             "run together; convert the line ends to LF");
  }
}

[[noreturn]] void invalid_number(const std::string& path, std::size_t line, std::size_t number,
                                 std::string_view token) {
  std::string message = "invalid number: " + io::text::quote_excerpt(token) + " (" + at(line, number) + ")";
  if (token.find_first_of(",;") != std::string_view::npos)
    message += "; numbers are separated by spaces or tabs, not commas or semicolons";
  throw Error::parse(path, message);
}

// Every non-blank line as a row. `comments` skips lines starting with '#';
// otherwise such a line is the sign of an MRtrix file given in FSL's place.
std::vector<Row> read_rows(std::string_view text, const std::string& path, bool comments) {
  std::vector<Row> rows;
  std::size_t line_number = 0;
  io::text::for_each_line(text, [&](std::string_view line) {
    ++line_number;
    const std::string_view trimmed = io::text::trim(line);
    if (trimmed.empty()) return;
    if (trimmed.front() == '#') {
      if (comments) return;
      throw Error::parse(path, "line " + std::to_string(line_number) + " is a '#' comment, which bvec and bval "
                               "files do not have: an MRtrix gradient file ('x y z b' per line) is given with "
                               "--grad instead");
    }
    Row row;
    row.line = line_number;
    io::text::for_each_token(trimmed, [&](std::string_view token) {
      row.tokens.push_back(token);
      return true;
    });
    rows.push_back(std::move(row));
  });
  return rows;
}

void convert(Row& row, const std::string& path) {
  row.values.reserve(row.tokens.size());
  for (std::size_t k = 0; k < row.tokens.size(); ++k) {
    const auto v = io::text::parse_number(row.tokens[k]);
    if (!v) invalid_number(path, row.line, k + 1, row.tokens[k]);
    row.values.push_back(*v);
  }
}

std::string entry_fault(double v, bool is_b) {
  if (!std::isfinite(v)) return "is not a finite number";
  if (is_b && v < 0) return "is negative";
  return {};
}

[[noreturn]] void bad_entry(const std::string& path, const std::string& what, const std::string& fault,
                            std::string_view token, std::size_t line, std::size_t number) {
  throw Error::parse(path, what + " " + fault + ": " + io::text::quote_excerpt(token) + " (" + at(line, number) + ")");
}

std::vector<double> checked_bvals(std::string_view text, const std::string& path) {
  refuse_layout(text, path, false);
  std::vector<Row> rows = read_rows(text, path, false);
  for (Row& row : rows) convert(row, path);
  // One line of b-values, or one per line; two lines of several look like a
  // bvec or two tables run together, and read flat they would shift every
  // volume, to be blamed on the bvec.
  const bool one_per_line = std::all_of(rows.begin(), rows.end(), [](const Row& r) { return r.values.size() == 1; });
  if (rows.size() > 1 && !one_per_line) {
    std::string shape;
    for (std::size_t k = 0; k < rows.size() && k < 3; ++k)
      shape += (k ? ", " : "") + count_of(rows[k].values.size(), "number", "numbers") + " on line " +
               std::to_string(rows[k].line);
    if (rows.size() > 3) shape += ", \u2026";
    throw Error::parse(path, "b-values go on one line, or one per line, but this file has " +
                                 std::to_string(rows.size()) + " lines (" + shape + ")");
  }
  std::vector<double> bvals;
  for (const Row& row : rows)
    for (std::size_t k = 0; k < row.values.size(); ++k) {
      const std::string fault = entry_fault(row.values[k], true);
      if (!fault.empty())
        bad_entry(path, "the b-value of volume " + std::to_string(bvals.size()), fault, row.tokens[k], row.line,
                  k + 1);
      bvals.push_back(row.values[k]);
    }
  return bvals;
}

std::vector<Vec3> checked_directions(std::string_view text, const std::string& path, std::size_t n) {
  refuse_layout(text, path, true);
  std::vector<Row> rows = read_rows(text, path, false);
  for (Row& row : rows) convert(row, path);
  std::vector<std::vector<double>> values;
  values.reserve(rows.size());
  for (const Row& row : rows) values.push_back(row.values);
  const bool by_axis = rows.size() == 3 && std::all_of(rows.begin(), rows.end(), [&](const Row& r) {
    return r.values.size() == n;
  });
  const bool by_volume = !by_axis && rows.size() == n && std::all_of(rows.begin(), rows.end(), [](const Row& r) {
    return r.values.size() == 3;
  });
  if (!by_axis && !by_volume) {
    const bool mrtrix_like = !rows.empty() && std::all_of(rows.begin(), rows.end(), [](const Row& r) {
      return r.values.size() == 4;
    });
    std::string found = count_of(rows.size(), "line", "lines");
    if (!rows.empty()) {
      const auto [lo, hi] = std::minmax_element(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return a.values.size() < b.values.size();
      });
      found += lo->values.size() == hi->values.size()
                   ? " of " + count_of(lo->values.size(), "number", "numbers")
                   : " of " + std::to_string(lo->values.size()) + " to " + std::to_string(hi->values.size()) +
                         " numbers";
    }
    std::string message = "bvec shape does not match the b-value count: " + found + " for " +
                          count_of(n, "b-value", "b-values") + " (expected 3 lines of " + std::to_string(n) +
                          (n == 3 ? ")" : ", or " + std::to_string(n) + " lines of 3)");
    if (mrtrix_like)
      message += "; the file looks like an MRtrix gradient file ('x y z b' per line): give it with --grad instead";
    throw Error::parse(path, message);
  }
  static constexpr const char* kAxis[] = {"x", "y", "z"};
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (std::size_t k = 0; k < rows[r].values.size(); ++k) {
      if (std::isfinite(rows[r].values[k])) continue;
      const std::size_t volume = by_axis ? k : r;
      const std::size_t axis = by_axis ? r : k;
      bad_entry(path, "the " + std::string(kAxis[axis]) + " component of volume " + std::to_string(volume),
                "is not a finite number", rows[r].tokens[k], rows[r].line, k + 1);
    }
  return io::fsl::to_directions(values, n, path);
}

GradientTable checked_grad(std::string_view text, const std::string& path) {
  refuse_layout(text, path, true);
  std::vector<Row> rows = read_rows(text, path, true);
  std::vector<Vec3> dirs;
  std::vector<double> bvals;
  dirs.reserve(rows.size());
  bvals.reserve(rows.size());
  for (Row& row : rows) {
    // Any other count is another format: an FSL bvec has a line per axis, and
    // reading its first four numbers would make three gradients of it.
    if (row.tokens.size() != 4)
      throw Error::parse(path, "line " + std::to_string(row.line) + " holds " +
                                   count_of(row.tokens.size(), "value", "values") +
                                   ", but a gradient file has exactly four per line (x y z b); an FSL pair is "
                                   "given with --bvec and --bval");
    convert(row, path);
    const std::size_t volume = dirs.size();
    for (std::size_t k = 0; k < 4; ++k) {
      const std::string fault = entry_fault(row.values[k], k == 3);
      if (fault.empty()) continue;
      const std::string what = k == 3 ? "the b-value of volume " + std::to_string(volume)
                                      : "the " + std::string(k == 0 ? "x" : k == 1 ? "y" : "z") +
                                            " component of volume " + std::to_string(volume);
      bad_entry(path, what, fault, row.tokens[k], row.line, k + 1);
    }
    dirs.push_back({row.values[0], row.values[1], row.values[2]});
    bvals.push_back(row.values[3]);
  }
  return GradientTable::make(std::move(dirs), std::move(bvals));
}

std::size_t line_count(std::string_view text) {
  std::size_t n = 0;
  io::text::for_each_line(text, [&](std::string_view line) { n += !io::text::trim(line).empty(); });
  return n;
}

// A bval of three lines beside a "bvec" of one: the two files were given the
// other way round. The bvec has not been read yet; a file that cannot be read
// only means no hint.
bool looks_swapped(std::string_view bval_text, const std::string& bvec) {
  if (line_count(bval_text) != 3) return false;
  try {
    return line_count(read_text_file(bvec)) == 1;
  } catch (const Error&) {
    return false;
  }
}

}  // namespace

LoadedTable load_table_checked(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                               const std::optional<std::string>& grad) {
  LoadedTable loaded;
  if (grad) {
    std::string text;
    concerning(Role::Grad, *grad, [&] {
      text = read_text_file(*grad);
      loaded.table = checked_grad(text, *grad);
    });
    loaded.inputs.push_back(InputFile::of_contents(*grad, text));
    loaded.world_frame = true;
    return loaded;
  }
  if (!bvec || !bval) throw Failure("provide bvec and bval, or grad");
  std::string bval_text, bvec_text;
  std::vector<double> bvals;
  std::vector<Vec3> dirs;
  concerning(Role::Bval, *bval, [&] {
    bval_text = read_text_file(*bval);
    try {
      bvals = checked_bvals(bval_text, *bval);
    } catch (Error& e) {
      if (looks_swapped(bval_text, *bvec))
        e.add_hint("; it has three rows and the b-vector file " + display_path(*bvec) +
                   " one: the two look swapped");
      throw;
    }
  });
  concerning(Role::Bvec, *bvec, [&] {
    bvec_text = read_text_file(*bvec);
    dirs = checked_directions(bvec_text, *bvec, bvals.size());
  });
  loaded.table = GradientTable::make(std::move(dirs), std::move(bvals));
  loaded.inputs.push_back(InputFile::of_contents(*bvec, bvec_text));
  loaded.inputs.push_back(InputFile::of_contents(*bval, bval_text));
  return loaded;
}

}  // namespace tarvix
