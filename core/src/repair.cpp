#include "repair.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <utility>

#include "candidate.hpp"
#include "error.hpp"
#include "fileio.hpp"
#include "format.hpp"
#include "paths.hpp"
#include "io/fsl.hpp"
#include "io/provenance.hpp"
#include "io/mrtrix.hpp"
#include "text.hpp"

namespace tarvix {
namespace {

bool exists(const std::string& path, struct stat* st) { return ::stat(path.c_str(), st) == 0; }

bool is_point_inversion(const Mat3& m) {
  // Value comparison, so a stored -0.0 off the diagonal still matches.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (m[i][j] != (i == j ? -1.0 : 0.0)) return false;
  return true;
}

std::string force_note(double relative_margin, double margin_threshold) {
  return "repair force-applied on a WARN decision (--force-repair); margin " +
         format_fixed(relative_margin * 100.0, 2) + "% is below the " + format_fixed(margin_threshold * 100.0, 0) +
         "% auto-repair threshold \u2014 verify the result.";
}

// Writes a table pair and the optional MRtrix file; returns the display forms
// in writing order.
std::vector<std::string> write_tables(const std::string& out_bvec, const std::string& out_bval,
                                      const GradientTable& fsl_table, const std::optional<std::string>& out_grad,
                                      const GradientTable* grad_table) {
  io::fsl::write(out_bvec, out_bval, fsl_table);
  std::vector<std::string> outputs{path_str(out_bvec), path_str(out_bval)};
  if (out_grad) {
    concerning(Role::OutGrad, *out_grad, [&] { io::mrtrix::write(*out_grad, *grad_table); });
    outputs.push_back(path_str(*out_grad));
  }
  return outputs;
}

// "volume 3" or "volumes 3, 5 and 2 more": the first few, for a message.
std::string volume_list(const std::vector<std::size_t>& volumes) {
  constexpr std::size_t kNamed = 8;
  std::string out = volumes.size() == 1 ? "volume " : "volumes ";
  for (std::size_t k = 0; k < volumes.size() && k < kNamed; ++k) out += (k ? ", " : "") + std::to_string(volumes[k]);
  if (volumes.size() > kNamed) out += " and " + std::to_string(volumes.size() - kNamed) + " more";
  return out;
}

std::vector<std::string> gradient_paths(const std::string& bvec, const std::string& bval,
                                        const std::optional<std::string>& grad) {
  std::vector<std::string> paths{bvec, bval};
  if (grad) paths.push_back(*grad);
  return paths;
}

// Where a path leads, for telling whether two paths are one file: device and
// inode when something is there, else the absolute path with its existing
// part resolved (symbolic links, "..") so that two spellings of one new file
// still match.
struct FileKey {
  bool found = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string path;

  static FileKey of(const std::string& p) {
    FileKey key;
    struct stat st {};
    if (exists(p, &st)) {
      key.found = true;
      key.dev = st.st_dev;
      key.ino = st.st_ino;
      return key;
    }
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(p, ec), ec);
    key.path = ec ? p : resolved.lexically_normal().string();
    return key;
  }
  bool operator==(const FileKey& o) const {
    if (found != o.found) return false;
    return found ? (dev == o.dev && ino == o.ino) : path == o.path;
  }
};

struct NamedPath {
  const char* name;
  std::string path;
};

std::vector<NamedPath> named_outputs(const OutputPaths& paths) {
  std::vector<NamedPath> out{{"out_bvec", paths.out_bvec}, {"out_bval", paths.out_bval}};
  if (paths.out_grad) out.push_back({"out_grad", *paths.out_grad});
  if (paths.provenance) out.push_back({"provenance", *paths.provenance});
  return out;
}

}  // namespace

void check_distinct_outputs(const OutputPaths& paths, const std::vector<std::string>& input_paths) {
  const std::vector<NamedPath> outputs = named_outputs(paths);
  std::vector<FileKey> keys;
  for (const auto& o : outputs) keys.push_back(FileKey::of(o.path));
  // An empty path names no file (writing to it fails on its own).
  for (std::size_t i = 0; i < outputs.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (!outputs[i].path.empty() && !outputs[j].path.empty() && keys[i] == keys[j])
        throw Failure(std::string(outputs[j].name) + " and " + outputs[i].name +
                      " are the same file: " + display_path(outputs[i].path));
  if (!paths.provenance || paths.provenance->empty()) return;
  const FileKey record = FileKey::of(*paths.provenance);
  for (const auto& input : input_paths)
    if (FileKey::of(input) == record)
      throw Failure("provenance is the same file as the input " + display_path(input) +
                    "; the record would replace the table it describes");
}

GradientTable apply_transform(const GradientTable& table, const Mat3& m) {
  GradientTable out{table.directions, table.bvals};
  for (auto& d : out.directions) {
    d = mul(m, d);
    // -0.0 + 0.0 is +0.0: a b=0 row must never print with a minus sign.
    for (double& c : d) c += 0.0;
  }
  return out;
}

std::string with_suffix(const std::string& path, const std::string& suffix) { return path + "." + suffix; }

std::string next_backup_path(const std::string& path) {
  struct stat st {};
  std::string candidate = with_suffix(path, "bak");
  for (std::uint32_t n = 1; exists(candidate, &st); ++n) candidate = with_suffix(path, "bak." + std::to_string(n));
  return candidate;
}

std::optional<std::string> prepare_output(const std::string& path, bool in_place) {
  struct stat st {};
  if (!exists(path, &st)) return std::nullopt;
  // Renaming a directory away would "succeed" and hide it behind a backup name.
  if (S_ISDIR(st.st_mode)) throw Error::io(EISDIR);
  if (!in_place) throw Error::refuse_overwrite(path);
  std::string backup = next_backup_path(path);
  if (::rename(path.c_str(), backup.c_str()) != 0) throw Error::io(errno);
  return backup;
}

void check_output_path(const std::string& path, bool in_place, bool refuse_existing) {
  if (path.empty()) throw Error::io(ENOENT);
  struct stat st {};
  if (exists(path, &st)) {
    if (S_ISDIR(st.st_mode)) throw Error::io(EISDIR);
    if (!S_ISREG(st.st_mode)) throw Failure(not_regular_file_message(path));
    if (refuse_existing && !in_place) throw Error::refuse_overwrite(path);
  } else if (errno != ENOENT && errno != ELOOP) {
    // A dangling or looping symbolic link is simply replaced by the write; any
    // other failure (a file on the way, no search permission, a name too long)
    // would only make the write fail later, after other files had moved.
    throw Error::io(errno);
  }
  // The new file is created beside the target and renamed over it, so its
  // directory must exist and take new entries.
  const std::string parent = parent_directory(path);
  const std::string dir = parent.empty() ? std::string(".") : parent;
  struct stat dst {};
  if (!exists(dir, &dst)) throw Error::io(errno);
  if (!S_ISDIR(dst.st_mode)) throw Error::io(ENOTDIR);
  if (::access(dir.c_str(), W_OK | X_OK) != 0) throw Error::io(errno);
}

std::vector<std::string> clear_outputs(const std::vector<std::string>& paths,
                                       const std::optional<std::string>& provenance, bool in_place) {
  // In gradient_paths' order.
  const auto role = [](std::size_t i) { return i == 0 ? Role::OutBvec : i == 1 ? Role::OutBval : Role::OutGrad; };
  for (std::size_t i = 0; i < paths.size(); ++i)
    concerning(role(i), paths[i], [&] { check_output_path(paths[i], in_place, true); });
  if (provenance)
    concerning(Role::Provenance, *provenance, [&] { check_output_path(*provenance, in_place, false); });
  std::vector<std::string> backups;
  for (std::size_t i = 0; i < paths.size(); ++i)
    push_backup(backups, concerning(role(i), paths[i], [&] { return prepare_output(paths[i], in_place); }));
  return backups;
}

void push_backup(std::vector<std::string>& list, std::optional<std::string> path) {
  if (path) list.push_back(std::move(*path));
}

std::string path_str(const std::string& path) { return display_path(path); }

RepairVerdict RepairVerdict::of(const FlipResult& flip, double margin_threshold) {
  RepairVerdict v;
  v.decision = flip.decision;
  v.recommended_transform = flip.recommended_transform;
  v.recommended_label = flip.recommended_label;
  v.best_label = flip.best.label;
  v.best_matrix = flip.best.matrix;
  v.best_is_identity = flip.best.is_identity;
  v.relative_margin = flip.relative_margin;
  v.margin_threshold = margin_threshold;
  return v;
}

RepairVerdict RepairVerdict::of(const TrackingResult& tracking) {
  RepairVerdict v;
  v.decision = tracking.decision;
  v.recommended_transform = tracking.recommended_transform;
  v.recommended_label = tracking.recommended_label;
  v.best_label = tracking.best.label;
  v.best_matrix = tracking.best.matrix;
  v.best_is_identity = tracking.best.is_identity;
  v.relative_margin = tracking.relative_margin;
  v.margin_threshold = tracking.margin_threshold;
  v.measure = DecidingMeasure{"tracking", tracking.to_json(), tracking.recommended_transform,
                              tracking.recommended_label};
  return v;
}

RepairVerdict RepairVerdict::of(const Verdict& verdict, const FlipResult& flip, double margin_threshold,
                                const TrackingResult* tracking) {
  RepairVerdict v = tracking ? of(*tracking) : of(flip, margin_threshold);
  v.decision = verdict.axes.value_or(Status::Warn);
  v.recommended_transform = verdict.recommended_transform;
  v.recommended_label = verdict.recommended_label;
  v.recommended_words = verdict.recommended_words;
  // A forced repair applies the deciding measure's best, named as the verdict
  // names transforms; a reading of the other frame is named by the tracking
  // and applied as it stands.
  if (!(tracking && tracking->best.frame)) {
    v.best_matrix = canonical_transform(v.best_matrix);
    v.best_label = transform_label(v.best_matrix);
  }
  // A table that does not describe the image is not mended by any transform.
  v.may_force = !verdict.orientation_unknown && !verdict.table_mismatch && verdict.best_label.has_value();
  if (v.measure) {
    v.measure->recommended_transform = verdict.recommended_transform;
    v.measure->recommended_label = verdict.recommended_label;
  }
  return v;
}

namespace {
// A frame correction is a rotation no label fully states: the record names the
// mistake and gives the matrix that was applied.
bool is_frame_label(const std::string& label) { return label.find("->") != std::string::npos; }

std::string frame_repair_note(const Repair& repair, const std::optional<std::string>& words) {
  std::string m = "[";
  for (std::size_t i = 0; i < 3; ++i) {
    m += i ? ", [" : "[";
    for (std::size_t j = 0; j < 3; ++j) m += (j ? ", " : "") + format_fixed(repair.matrix[i][j], 6);
    m += "]";
  }
  m += "]";
  return "frame correction " + repair.label + (words ? " (" + *words + ")" : std::string()) +
         ": every direction multiplied, in the table's own frame, by " + m;
}
}  // namespace

std::optional<Repair> Repair::force_from_best(const GradientTable& table, const RepairVerdict& verdict) {
  if (verdict.best_is_identity || is_point_inversion(verdict.best_matrix)) return std::nullopt;
  return Repair{apply_transform(table, verdict.best_matrix), verdict.best_label, verdict.best_matrix};
}

RepairOutput repair_from_report(const GradientTable& table, Report report, const std::vector<InputFile>& inputs,
                                const RepairSpec& spec, double margin_threshold,
                                const std::optional<RepairVerdict>& verdict) {
  RepairOutput out;
  const FrameMaps* frames = spec.frames ? &*spec.frames : nullptr;
  if (frames && frames->frames_divergent) report.notes.emplace_back(kFramesDivergentNote);

  std::optional<RepairVerdict> chosen = verdict;
  if (!chosen && report.flip) chosen = RepairVerdict::of(*report.flip, margin_threshold);
  std::optional<Repair> repair;
  if (chosen) {
    if (chosen->recommended_transform && chosen->recommended_label) {
      repair = Repair{apply_transform(table, *chosen->recommended_transform), *chosen->recommended_label,
                      *chosen->recommended_transform};
    } else if (spec.force_repair && chosen->decision == Status::Warn && chosen->may_force) {
      repair = Repair::force_from_best(table, *chosen);
      if (repair) report.notes.push_back(force_note(chosen->relative_margin, chosen->margin_threshold));
    }
  }
  if (!repair) {
    out.report = std::move(report);
    return out;
  }
  if (is_frame_label(repair->label)) report.notes.push_back(frame_repair_note(*repair, chosen->recommended_words));

  if (spec.dry_run) {
    report.repair = RepairInfo{repair->matrix, repair->label, {}};
    out.report = std::move(report);
    out.table = std::move(repair->table);
    return out;
  }

  // The repair lives in the analysis frame; each format's frame change goes on top.
  const GradientTable fsl_table = frames ? apply_transform(repair->table, to_fsl(*frames)) : repair->table;
  std::optional<GradientTable> world_table;
  if (spec.out_grad) world_table = frames ? apply_transform(repair->table, to_world(*frames)) : repair->table;
  // Checked before any existing output is moved aside, so a refusal changes nothing.
  refuse_non_finite(fsl_table);
  if (world_table) refuse_non_finite(*world_table);

  out.backups = clear_outputs(gradient_paths(spec.out_bvec, spec.out_bval, spec.out_grad), spec.provenance,
                              spec.in_place);
  std::vector<std::string> outputs =
      write_tables(spec.out_bvec, spec.out_bval, fsl_table, spec.out_grad, world_table ? &*world_table : nullptr);

  report.repair = RepairInfo{repair->matrix, repair->label, outputs};
  if (spec.provenance)
    concerning(Role::Provenance, *spec.provenance, [&] {
      write_provenance(*spec.provenance, report, *report.flip, inputs, outputs, frames, spec.out_grad.has_value(),
                       chosen->measure ? &*chosen->measure : nullptr);
    });

  out.report = std::move(report);
  out.table = std::move(repair->table);
  return out;
}

std::string recompute_note(double b_nominal, double max_norm) {
  return "recompute-bval: recovered b-values from amplitude-encoded bvecs (b_nominal=" + format_fixed(b_nominal, 0) +
         ", max |g|=" + format_fixed(max_norm, 4) + "); directions unit-normalized.";
}

json::Value RecomputeOutput::to_json() const {
  auto counts = [](const std::vector<ShellCount>& shells) {
    json::Array a;
    a.reserve(shells.size());
    for (const auto& s : shells) a.push_back(s.to_json());
    return json::Value(std::move(a));
  };
  return json::Value(json::Object{
      {"b_nominal", b_nominal},
      {"max_norm", max_norm},
      {"b_min", b_min},
      {"b_max", b_max},
      {"before", counts(before)},
      {"after", counts(after)},
      {"outputs", json::strings(outputs)},
  });
}

void refuse_non_finite(const GradientTable& table) {
  std::vector<std::size_t> volumes;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const Vec3& d = table.directions[i];
    if (!(std::isfinite(d[0]) && std::isfinite(d[1]) && std::isfinite(d[2]) && std::isfinite(table.bvals[i])))
      volumes.push_back(i);
  }
  if (volumes.empty()) return;
  throw Failure("refusing to write a gradient table holding numbers that are not finite (NaN or infinite), in " +
                volume_list(volumes) + " (numbered from 0); nothing was written");
}

std::string shell_split_message(const GradientTable& table, const GradientTable& recovered, double b0_threshold,
                                double tolerance) {
  constexpr double kSplitRatio = 1.5;
  for (const Shell& shell : detect_shells(table.bvals, b0_threshold, tolerance)) {
    if (shell.is_b0) continue;
    std::vector<std::pair<double, std::size_t>> lengths;  // longest first
    for (const std::uint64_t i : shell.indices) {
      const double len = norm(table.directions[i]);
      if (std::isfinite(len)) lengths.emplace_back(len, i);
    }
    std::sort(lengths.begin(), lengths.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    const std::size_t most = std::max<std::size_t>(1, lengths.size() / 10);
    for (std::size_t j = 1; j <= most && j + 2 <= lengths.size(); ++j) {
      const double next = lengths[j].first;
      if (!(next > 0 && lengths[j - 1].first >= kSplitRatio * next)) continue;
      std::vector<std::size_t> outliers;
      for (std::size_t k = 0; k < j; ++k) outliers.push_back(lengths[k].second);
      std::sort(outliers.begin(), outliers.end());
      double lo = INFINITY, hi = -INFINITY;
      for (std::size_t k = j; k < lengths.size(); ++k) {
        lo = std::fmin(lo, recovered.bvals[lengths[k].second]);
        hi = std::fmax(hi, recovered.bvals[lengths[k].second]);
      }
      const bool one = outliers.size() == 1;
      return "recovered b-values would split the b=" + format_plain(shell.nominal_b) + " shell: " +
             volume_list(outliers) + " (numbered from 0) " + (one ? "has a vector " : "have vectors at least ") +
             format_fixed(lengths[j - 1].first / next, 1) + " times as long as any other of that shell, so its " +
             std::to_string(lengths.size() - j) + " other volumes would get b=" + format_plain(lo) +
             (lo == hi ? "" : " to " + format_plain(hi)) + "; check " + (one ? "that vector" : "those vectors") +
             ", or pass --force to recompute anyway";
    }
  }
  return {};
}

RecomputeOutput recompute_bval(const GradientTable& table, const std::vector<InputFile>& inputs,
                               const OutputPaths& spec, double b0_threshold, double tolerance, bool refuse_split) {
  std::vector<std::string> input_paths;
  for (const auto& input : inputs) input_paths.push_back(input.path);
  check_distinct_outputs(spec, input_paths);
  RecoveredTable recovered = table.recover_bvals(b0_threshold);
  RecomputeOutput out;
  out.b_nominal = recovered.b_nominal;
  out.max_norm = recovered.max_norm;
  out.table = std::move(recovered.table);
  out.before = shell_counts(table.bvals, b0_threshold, tolerance);
  out.after = shell_counts(out.table.bvals, b0_threshold, tolerance);
  if (refuse_split) {
    const std::string split = shell_split_message(table, out.table, b0_threshold, tolerance);
    if (!split.empty()) throw Failure(split);
  }

  bool any = false;
  for (double b : out.table.bvals) {
    if (!(b > b0_threshold)) continue;  // also skips NaN
    out.b_min = any ? std::fmin(out.b_min, b) : b;
    out.b_max = any ? std::fmax(out.b_max, b) : b;
    any = true;
  }
  if (spec.dry_run) return out;

  refuse_non_finite(out.table);
  out.backups = clear_outputs(gradient_paths(spec.out_bvec, spec.out_bval, spec.out_grad), spec.provenance,
                              spec.in_place);
  // Recovery keeps the table's own frame for both formats.
  out.outputs = write_tables(spec.out_bvec, spec.out_bval, out.table, spec.out_grad, &out.table);

  if (spec.provenance) {
    Provenance record = Provenance::make(inputs);
    record.with_outputs(out.outputs);
    record.notes.push_back(recompute_note(out.b_nominal, out.max_norm));
    concerning(Role::Provenance, *spec.provenance, [&] { io::provenance::write(*spec.provenance, record); });
  }
  return out;
}

}  // namespace tarvix
