#include "cross_run.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <nlohmann/json.hpp>

#include "candidate.hpp"
#include "fileio.hpp"
#include "frame.hpp"
#include "image_header.hpp"
#include "io/table_loader.hpp"
#include "shell.hpp"
#include "text.hpp"

namespace tarvix::cross_run {
namespace {

// Two directions are one when their axes are within about 2 degrees (either
// sign: a diffusion direction and its opposite are the same measurement).
const double kSameAxis = std::cos(2.0 * std::numbers::pi / 180.0);

enum Frame { kImage = 0, kScanner = 1 };
using Directions = std::vector<Vec3>;

struct Loaded {
  std::size_t index = 0;
  std::vector<int> shell_of;   // per volume: 0 for b=0, else 1 + the shell's rank
  std::vector<double> nominal;  // the weighted shells' nominal b-values
  std::optional<char> phase;
  std::optional<Directions> frames[2];
  std::optional<Mat4> affine;
};

// Without a header the table is taken on the image axes as written.
Mat3 fsl_map(const std::optional<Mat4>& affine) {
  if (!affine) return identity3();
  VolumeInfo info;
  info.affine = *affine;
  return fsl_voxel_map(info);
}

// The unit direction of each voxel axis in the scanner, as columns.
Mat3 axes_of(const Mat4& affine) {
  VolumeInfo info;
  info.affine = affine;
  return transpose(world_voxel_map(info));
}

Loaded load(std::size_t index, const Run& run, double b0_threshold, double tolerance) {
  Loaded l;
  l.index = index;
  l.phase = run.phase_axis;
  l.affine = run.affine;
  const std::vector<double>& b = run.table.bvals;
  l.shell_of.assign(b.size(), 0);
  int rank = 0;
  for (const Shell& s : detect_shells(b, b0_threshold, tolerance)) {
    if (s.is_b0) continue;
    l.nominal.push_back(s.nominal_b);
    ++rank;
    for (std::uint64_t i : s.indices) l.shell_of[i] = rank;
  }
  // Unit directions (zero ones kept at zero) in the image frame and, with an
  // affine, in scanner coordinates.
  const Mat3 fsl = fsl_map(run.affine);
  Directions image;
  for (const Vec3& g : run.table.directions) {
    const double n = norm(g);
    image.push_back(n > 0 ? mul(fsl, Vec3{g[0] / n, g[1] / n, g[2] / n}) : Vec3{});
  }
  if (run.affine) {
    const Mat3 axes = axes_of(*run.affine);
    Directions scanner;
    for (const Vec3& v : image) scanner.push_back(mul(axes, v));
    l.frames[kScanner] = std::move(scanner);
  }
  l.frames[kImage] = std::move(image);
  return l;
}

// Tables compared row by row must agree on the shell of each volume, and so
// share their volume count and shells too.
bool same_shells(const Loaded& a, const Loaded& b, double tolerance) {
  if (a.phase != b.phase || a.shell_of != b.shell_of || a.nominal.size() != b.nominal.size()) return false;
  for (std::size_t s = 0; s < a.nominal.size(); ++s)
    if (std::abs(a.nominal[s] - b.nominal[s]) > tolerance * std::max(a.nominal[s], b.nominal[s])) return false;
  return true;
}

// Every weighted direction of `b` on the same axis as `a`'s (after `m`).
bool same(const Directions& a, const Directions& b, const std::vector<int>& shell_of, const Mat3& m = identity3()) {
  for (std::size_t k = 0; k < shell_of.size(); ++k) {
    if (!shell_of[k]) continue;
    const Vec3 t = mul(m, a[k]);
    if (!(std::abs(t[0] * b[k][0] + t[1] * b[k][1] + t[2] * b[k][2]) >= kSameAxis)) return false;
  }
  return true;
}

// One signed permutation per class of P and -P other than the identity.
const std::vector<Mat3>& classes() {
  static const std::vector<Mat3> found = [] {
    std::vector<Mat3> out;
    for (const Candidate& c : all_candidates()) {
      const Mat3 m = canonical_transform(c.matrix);
      if (m != identity3() && std::find(out.begin(), out.end(), m) == out.end()) out.push_back(m);
    }
    return out;
  }();
  return found;
}

// "x negated", "x and y swapped", else "its axes read as +y+z-x".
std::string words(const Mat3& m) {
  static constexpr char kAxis[3] = {'x', 'y', 'z'};
  std::vector<char> negated, moved;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      if (m[r][c] == 0) continue;
      if (m[r][c] < 0) negated.push_back(kAxis[r]);
      if (c != r) moved.push_back(kAxis[r]);
    }
  const auto joined = [](const std::vector<char>& axes) {
    std::string out;
    for (std::size_t i = 0; i < axes.size(); ++i) out += (i ? " and " : "") + std::string(1, axes[i]);
    return out;
  };
  if (moved.empty()) return joined(negated) + " negated";
  if (moved.size() == 2 && negated.empty()) return joined(moved) + " swapped";
  return "its axes read as " + transform_label(m);
}

// The runs sharing the most common table in this frame, when one table is
// shared by more runs than any other and by at least two.
std::vector<const Loaded*> mode(const std::vector<const Loaded*>& members, Frame f, const std::vector<int>& shell_of) {
  std::vector<std::vector<const Loaded*>> clusters;
  for (const Loaded* l : members) {
    if (!l->frames[f]) continue;
    auto home = std::find_if(clusters.begin(), clusters.end(),
                             [&](const auto& c) { return same(*c[0]->frames[f], *l->frames[f], shell_of); });
    if (home == clusters.end())
      clusters.push_back({l});
    else
      home->push_back(l);
  }
  std::stable_sort(clusters.begin(), clusters.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  if (clusters.empty() || clusters[0].size() < 2 || (clusters.size() > 1 && clusters[1].size() == clusters[0].size()))
    return {};
  return clusters[0];
}

// The signed permutation nearest m, row by row; none when two rows pick one axis.
std::optional<Mat3> nearest_permutation(const Mat3& m) {
  Mat3 out{};
  int used[3] = {0, 0, 0};
  for (int r = 0; r < 3; ++r) {
    int c = 0;
    for (int j = 1; j < 3; ++j)
      if (std::abs(m[r][j]) > std::abs(m[r][c])) c = j;
    out[r][c] = m[r][c] > 0 ? 1.0 : m[r][c] < 0 ? -1.0 : 0.0;
    ++used[c];
  }
  if (used[0] != 1 || used[1] != 1 || used[2] != 1) return std::nullopt;
  return out;
}

// Whether the run's image axes relate to the reference run's as its table
// relates to theirs (up to the sign of the whole table).
bool follows_image(const Mat3& found, const std::optional<Mat4>& affine, const std::optional<Mat4>& reference) {
  if (!affine || !reference) return false;
  const auto turn = nearest_permutation(mul(transpose(axes_of(*affine)), axes_of(*reference)));
  return turn && canonical_transform(*turn) == found;  // `found` is its class's canonical member
}

std::optional<std::string> correction(const Mat3& found, Frame f, const std::optional<Mat4>& affine) {
  const Mat3 fsl = fsl_map(affine);
  Mat3 undo;
  if (f == kImage) {
    undo = mul(mul(fsl, transpose(found)), fsl);
  } else {
    if (!affine) return std::nullopt;
    const Mat3 axes = axes_of(*affine);
    undo = mul(mul(mul(mul(fsl, transpose(axes)), transpose(found)), axes), fsl);
  }
  Mat3 rounded{};
  double column[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      rounded[i][j] = std::round(undo[i][j]) + 0.0;
      if (!(std::abs(undo[i][j] - rounded[i][j]) <= 1e-3)) return std::nullopt;
      column[j] += std::abs(rounded[i][j]);
    }
  for (double c : column)
    if (c != 1) return std::nullopt;
  return transform_label(rounded);
}

std::optional<char> phase_axis(const std::optional<std::string>& sidecar) {
  if (!sidecar) return std::nullopt;
  try {
    const nlohmann::json fields = nlohmann::json::parse(read_file(*sidecar, kTableFileLimit));
    if (!fields.is_object()) return std::nullopt;
    for (const char* key : {"PhaseEncodingDirection", "PhaseEncodingAxis"}) {
      const auto it = fields.find(key);
      if (it == fields.end() || !it->is_string()) continue;
      const std::string value = it->get<std::string>();
      if (!value.empty() && (value[0] == 'i' || value[0] == 'j' || value[0] == 'k')) return value[0];
    }
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

}  // namespace

json::Value Note::to_json() const {
  json::Value o = json::Value::object();
  o.set("note", note);
  o.set("transform", transform);
  o.set("frame", frame);
  o.set("reference", json::strings(reference));
  if (correction) o.set("correction", *correction);
  return o;
}

std::map<std::size_t, Note> compare(const std::vector<Run>& runs, double b0_threshold, double tolerance) {
  std::vector<Loaded> loaded;
  for (std::size_t i = 0; i < runs.size(); ++i) loaded.push_back(load(i, runs[i], b0_threshold, tolerance));
  std::vector<std::vector<const Loaded*>> groups;
  for (const Loaded& l : loaded) {
    auto home = std::find_if(groups.begin(), groups.end(),
                             [&](const auto& g) { return same_shells(*g[0], l, tolerance); });
    if (home == groups.end())
      groups.push_back({&l});
    else
      home->push_back(&l);
  }
  std::map<std::size_t, Note> notes;
  for (const auto& members : groups) {
    if (members.size() < 3) continue;  // two tables that differ give no "most common" one
    const std::vector<int>& shell_of = members[0]->shell_of;
    const std::vector<const Loaded*> modes[2] = {mode(members, kImage, shell_of), mode(members, kScanner, shell_of)};
    const auto usable = [&](const Loaded& l, Frame f) { return !modes[f].empty() && l.frames[f]; };
    for (const Loaded* l : members) {
      if ((usable(*l, kImage) && same(*modes[kImage][0]->frames[kImage], *l->frames[kImage], shell_of)) ||
          (usable(*l, kScanner) && same(*modes[kScanner][0]->frames[kScanner], *l->frames[kScanner], shell_of)))
        continue;  // the common table itself in one frame: consistent
      for (Frame f : {kImage, kScanner}) {
        if (!usable(*l, f)) continue;
        const Loaded& common = *modes[f][0];
        const auto found = std::find_if(classes().begin(), classes().end(), [&](const Mat3& m) {
          return same(*common.frames[f], *l->frames[f], shell_of, m);
        });
        if (found == classes().end()) continue;
        // The table turned with the image's axes (another slice orientation): the
        // same directions in the scanner, up to the angulation.
        if (f == kImage && follows_image(*found, l->affine, common.affine)) continue;
        const std::string& name = runs[l->index].name;
        const std::string entities =
            name.ends_with("_dwi") ? name.substr(0, name.size() - 4) : name;
        Note n;
        n.note = entities + "'s table is the others' with " + words(*found) + " (in the " +
                 (f == kImage ? "image frame" : "scanner coordinates") + ", against " +
                 std::to_string(modes[f].size()) + " runs sharing one table)";
        n.transform = transform_label(*found);
        n.frame = f == kImage ? "image" : "scanner";
        for (const Loaded* r : modes[f]) n.reference.push_back(runs[r->index].name);
        n.correction = correction(*found, f, l->affine);
        notes.emplace(l->index, std::move(n));
        break;
      }
    }
  }
  return notes;
}

std::optional<Run> read_run(const DwiEntry& entry, const std::string& name) {
  Run run;
  run.name = name;
  try {
    run.table = load_table_checked(entry.bvec, entry.bval, std::nullopt).table;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (const auto geometry = read_header_geometry(entry.dwi)) run.affine = geometry->affine;
  run.phase_axis = phase_axis(entry.sidecar);
  return run;
}

void add_notes(json::Value& plan, const std::vector<DwiEntry>& entries, const std::vector<std::string>& names,
               double b0_threshold, double tolerance) {
  std::vector<Run> runs;
  std::vector<std::size_t> at;  // the plan's index of each run read
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (auto run = read_run(entries[i], display_path(names[i]))) {
      runs.push_back(std::move(*run));
      at.push_back(i);
    }
  const auto notes = compare(runs, b0_threshold, tolerance);
  if (notes.empty()) return;
  for (auto& [key, value] : plan.as_object())
    if (key == "runs")
      for (const auto& [i, note] : notes) value.as_array()[at[i]].set("cross_run", note.to_json());
}

std::string with_verdict(const std::string& note, const std::optional<std::string>& correction, Status status,
                         const std::optional<std::string>& recommended) {
  // Two transforms are one fix when they are equal or opposite.
  const auto same_class = [](const std::string& a, const std::string& b) {
    std::optional<Mat3> ma, mb;
    for (const Candidate& c : all_candidates()) {
      if (c.label == a) ma = canonical_transform(c.matrix);
      if (c.label == b) mb = canonical_transform(c.matrix);
    }
    return ma && mb && *ma == *mb;
  };
  if (status == Status::Flag && correction && recommended && same_class(*recommended, *correction))
    return note + "; the run's own verdict (FLAG, " + *recommended + ") agrees";
  if (status == Status::Flag)
    return note + "; the run's own verdict recommends " + recommended.value_or("another transform") + ", which decides";
  if (status == Status::Warn) return note + "; this may explain the WARN: the image alone could not decide";
  return note + "; the run's own verdict is PASS, which decides";
}

}  // namespace tarvix::cross_run
