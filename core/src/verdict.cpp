#include "verdict.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "candidate.hpp"
#include "format.hpp"
#include "table_checks.hpp"

namespace tarvix {

const char* measure_text(Measure m) {
  switch (m) {
    case Measure::Coherence: return "coherence";
    case Measure::Tracking: return "tracking";
    case Measure::None: break;
  }
  return "none";
}

namespace {

std::string plural(std::uint64_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string percent(double fraction) { return format_fixed(fraction * 100.0, 1) + "%"; }

std::string canonical_label(const Mat3& m) { return transform_label(canonical_transform(m)); }

// Distinct signed permutations are at least 90 degrees apart; a reading of
// the other frame lies well within 45 of the permutation it reads.
bool same_axis_class(const Mat3& a, const Mat3& b) { return angle_between_deg(a, b) < 45.0; }

// ---- a table in the other frame
//
// A reading of the other frame is a rotation, not a signed permutation: the
// tracking names it itself ("scanner->image -x+y+z") and its matrix is applied
// as it stands, never made canonical as a permutation's would be.

std::string tracking_label(const TrackingScore& s) { return s.frame ? s.label : canonical_label(s.matrix); }

void recommend_frame(Verdict& v, const TrackingScore& s) {
  v.recommended_transform = s.matrix;
  v.recommended_label = s.label;
  v.recommended_words = describe_frame_mistake(*s.frame, s.axes);
}

// ---- why a measure cannot be trusted

std::optional<std::uint64_t> shell_volumes(const Report& report, double b) {
  if (!report.shells) return std::nullopt;
  for (const Shell& s : report.shells->shells)
    if (!s.is_b0 && s.nominal_b == b) return s.count;
  return std::nullopt;
}

// The tensor fit both measures stand on.
std::vector<std::string> fit_evidence(const Report& report, const EvidenceLimits& limits) {
  if (!report.flip) return {};
  const double b = report.flip->working_b;
  const auto volumes = shell_volumes(report, b);
  if (volumes && *volumes < limits.min_shell_volumes)
    return {"the b=" + format_plain(b) + " shell used for the axes has only " + plural(*volumes, "volume") +
            ": too few for a tensor fit"};
  return {};
}

bool coherence_all_zero(const FlipResult& flip) {
  return std::all_of(flip.ranking.begin(), flip.ranking.end(),
                     [](const CandidateScore& c) { return c.coherence == 0; });
}

std::vector<std::string> coherence_evidence(const Report& report, const EvidenceLimits& limits) {
  if (!report.flip) return {};
  const FlipResult& flip = *report.flip;
  std::vector<std::string> notes;
  const bool all_zero = coherence_all_zero(flip);
  if (all_zero)
    notes.push_back(
        "every axis transform scored 0: no white-matter voxel had a neighbour to compare with (a --step larger "
        "than the white matter, or an image too small)");
  if (flip.n_wm_voxels < limits.min_wm_voxels)
    notes.push_back("only " + plural(flip.n_wm_voxels, "white-matter voxel") +
                    ": too few to judge the axes (at least " + std::to_string(limits.min_wm_voxels) +
                    " are needed)");
  const std::uint64_t samples = std::min(flip.best.n_samples, flip.runner_up.n_samples);
  if (samples < limits.min_samples && flip.n_wm_voxels >= limits.min_wm_voxels && !all_zero)
    notes.push_back("only " + std::to_string(samples) +
                    " neighbour comparisons behind the best transforms: too few to judge the axes (at least " +
                    std::to_string(limits.min_samples) + " are needed)");
  return notes;
}

// With no lead (every transform scoring the same, zero included) the tracking's
// best is only the first of a tie.
bool tracking_all_zero(const TrackingResult& t) { return !t.best_leads; }

std::string tracking_warn_note(const TrackingResult& t, const TrackingOptions& rules) {
  // The measure says itself why it could not judge; its words are the verdict's.
  if (t.thin_evidence) return "the tracking cannot judge the axes: " + *t.thin_evidence;
  return "the tracking's best, " + tracking_label(t.best) + ", leads " + tracking_label(t.runner_up) +
         " by only " + percent(t.relative_margin) + " (SD " + percent(t.margin_spread) +
         "): not clearly enough (at least " + format_plain(t.margin_threshold * 100) + "% and " +
         format_plain(rules.spread_factor) + " SD are needed)";
}

// The coherence's own decision, WARN where its evidence is thin.
std::optional<Status> coherence_decision(const Report& report, const EvidenceLimits& limits) {
  if (!report.flip) return std::nullopt;
  const bool thin = !coherence_evidence(report, limits).empty() || !fit_evidence(report, limits).empty();
  return thin ? Status::Warn : report.flip->decision;
}

// Whether the report warns for a reason other than the axes. The module raises
// a PASS to WARN for the scheme (amplitude-encoded vectors, severe findings
// under --strict) but leaves a FLAG or WARN of the axes as it is, so only the
// amplitude test can be repeated there.
bool scheme_warns(const Report& report, const EvidenceLimits& limits) {
  if (!report.flip || report.flip->decision == Status::Pass) return report.status == Status::Warn;
  return report.norm_stats && report.norm_stats->non_b0_count > 0 &&
         report.norm_stats->non_unit_fraction > limits.amplitude_fraction;
}

void recommend(Verdict& v, const Mat3& m) {
  const Mat3 c = canonical_transform(m);
  v.recommended_transform = c;
  v.recommended_label = transform_label(c);
  v.recommended_words = describe_transform(*v.recommended_label);
}

// ---- the two ways the axes are judged

void by_coherence(Verdict& v, const Report& report, const EvidenceLimits& limits) {
  v.status = report.status;
  if (!report.flip) return;
  const FlipResult& flip = *report.flip;
  v.decided_by = Measure::Coherence;
  v.thin_reasons = coherence_evidence(report, limits);
  for (auto& n : fit_evidence(report, limits)) v.thin_reasons.push_back(std::move(n));
  v.thin_evidence = !v.thin_reasons.empty();
  v.notes = v.thin_reasons;
  if (v.thin_evidence && v.status != Status::Warn) v.status = Status::Warn;
  v.axes = coherence_decision(report, limits);
  if (v.axes == Status::Flag && flip.recommended_transform) recommend(v, *flip.recommended_transform);
  if (!coherence_all_zero(flip)) {
    v.best_label = canonical_label(flip.best.matrix);
    v.best_words = transform_words(flip.best.matrix);
  }
  v.lead = flip.relative_margin;
}

// The other frame's reading of the best axes scored higher but not clearly:
// the declared frame is kept, and said so once.
void frame_kept(Verdict& v, const TrackingResult& t) {
  if (!t.frame_test || t.frame_test->distinct) return;
  const FrameTest& f = *t.frame_test;
  const double gain = f.declared_mm > 0 ? (f.other_mm - f.declared_mm) / f.declared_mm : 0.0;
  // Beating the declared reading but not the control turns means any turn
  // of that size lengthens streamlines here: no sign of the other frame.
  const std::string why = f.controls > 0 ? ", but so does the declared reading turned as far about other axes"
                                         : ", within the noise";
  v.notes.push_back("the table's frame is not told apart: read as " + f.other_label + " (" +
                    format_fixed(f.angle_deg, 1) + "\u00b0 away) it scores " + percent(gain) + " higher" + why +
                    "; the declared frame is kept");
}

void by_tracking(Verdict& v, const Report& report, const TrackingResult& t, const EvidenceLimits& limits,
                 double margin_threshold) {
  const TrackingOptions rules;
  v.decided_by = Measure::Tracking;
  Status axes = t.decision;
  v.thin_reasons = fit_evidence(report, limits);
  if (t.thin_evidence) v.thin_reasons.push_back(*t.thin_evidence);
  v.thin_evidence = !v.thin_reasons.empty();
  for (const auto& n : fit_evidence(report, limits)) v.notes.push_back(n);
  if (!v.notes.empty()) axes = Status::Warn;
  if (t.decision == Status::Warn) {
    v.notes.push_back(tracking_warn_note(t, rules));
    if (coherence_decision(report, limits) == Status::Flag && report.flip->recommended_transform)
      v.notes.push_back("the coherence alone would FLAG and recommend " +
                        canonical_label(*report.flip->recommended_transform) +
                        ", but the tracking does not confirm it");
  }
  // The coherence is weak inside a whole-brain mask: only a lead of its own
  // makes its disagreement worth saying.
  const bool coherence_leads = report.flip->relative_margin >= margin_threshold;
  if (coherence_leads && !same_axis_class(report.flip->best.matrix, t.best.matrix) && !tracking_all_zero(t))
    v.notes.push_back("the measures disagree: coherence ranks " + canonical_label(report.flip->best.matrix) +
                      " first, tracking " + tracking_label(t.best));
  frame_kept(v, t);
  v.axes = axes;
  if (axes == Status::Flag && t.recommended_transform) {
    if (t.best.frame)
      recommend_frame(v, t.best);
    else
      recommend(v, *t.recommended_transform);
  }
  if (!tracking_all_zero(t)) {
    v.best_label = tracking_label(t.best);
    v.best_words = t.best.frame ? describe_frame_mistake(*t.best.frame, t.best.axes) : transform_words(t.best.matrix);
  }
  v.lead = t.relative_margin;
  v.lead_spread = t.margin_spread;
  v.status = axes;
  if (v.status == Status::Pass && scheme_warns(report, limits)) v.status = Status::Warn;
}

// ---- what overrides both measures

void orientation_unknown(Verdict& v, const std::string& why) {
  v.orientation_unknown = true;
  v.notes.push_back("the image's orientation cannot be trusted: " + why +
                    "; the table's axes are not judged and no transform is recommended");
  v.axes = Status::Warn;
  v.recommended_transform.reset();
  v.recommended_label.reset();
  v.recommended_words.reset();
  if (v.status != Status::Warn) v.status = Status::Warn;
}

void implausible_table(Verdict& v, std::vector<std::string> notes) {
  if (notes.empty()) return;
  for (auto& n : notes) v.notes.push_back(std::move(n));
  if (v.status == Status::Pass) v.status = Status::Warn;
}

// ---- whether the table belongs to the image at all

// A table whose rows do not describe the image's volumes is wrong whatever
// the axis measures prefer: they are shown, not trusted, and no transform is
// offered. Weaker evidence only warns.
void table_consistency(Verdict& v, const ConsistencyResult& c) {
  v.consistency = c;
  if (c.status == Status::Pass) return;
  for (auto& n : c.notes()) v.notes.push_back(std::move(n));
  if (!c.mismatch()) {
    if (v.status == Status::Pass) v.status = Status::Warn;
    return;
  }
  v.table_mismatch = true;
  v.status = Status::Flag;
  v.notes.push_back("the table does not describe this image's volumes: the axis measures are reported but not "
                    "trusted, and no transform of the axes can mend it");
  v.recommended_transform.reset();
  v.recommended_label.reset();
  v.recommended_words.reset();
}

}  // namespace

Verdict decide_verdict(const VerdictInputs& in, const EvidenceLimits& limits) {
  Verdict v;
  v.margin_threshold = in.margin_threshold;
  const Report& report = *in.report;
  if (in.tracking && report.flip)
    by_tracking(v, report, *in.tracking, limits, in.margin_threshold);
  else
    by_coherence(v, report, limits);
  if (in.image && in.image->orientation_doubt && report.flip) orientation_unknown(v, *in.image->orientation_doubt);
  if (in.table) implausible_table(v, implausible_table_notes(*in.table, in.b0_threshold));
  if (in.consistency) table_consistency(v, *in.consistency);
  return v;
}

json::Value Verdict::to_json() const {
  json::Value o = json::Value::object();
  o.set("status", status_text(status));
  o.set("axes", axes ? json::Value(status_text(*axes)) : json::Value(nullptr));
  o.set("decided_by", decided_by == Measure::None ? json::Value(nullptr) : json::Value(measure_text(decided_by)));
  o.set("recommended_label", json::optional(recommended_label));
  o.set("recommended_transform", recommended_transform ? json::mat3(*recommended_transform) : json::Value(nullptr));
  o.set("recommended_words", json::optional(recommended_words));
  o.set("best_label", json::optional(best_label));
  o.set("best_words", json::optional(best_words));
  o.set("lead", json::optional(lead));
  o.set("lead_spread", json::optional(lead_spread));
  o.set("thin_evidence", thin_evidence);
  o.set("thin_reasons", json::strings(thin_reasons));
  o.set("orientation_unknown", orientation_unknown);
  o.set("notes", json::strings(notes));
  return o;
}

namespace {

json::Value* member(json::Value& object, std::string_view key) {
  for (auto& [name, value] : object.as_object())
    if (name == key) return &value;
  return nullptr;
}

// The coherence's ranking as the outputs show it: each entry named as the
// verdict names transforms, in plain words, and marked when it is the first
// of its pair.
json::Value named_ranking(const std::vector<CandidateScore>& ranking) {
  json::Value list = json::Value::array();
  std::vector<Mat3> seen;
  for (const auto& entry : ranking) {
    const Mat3 canonical = canonical_transform(entry.matrix);
    const bool first = std::find(seen.begin(), seen.end(), canonical) == seen.end();
    if (first) seen.push_back(canonical);
    json::Value o = entry.to_json();
    o.set("name", transform_label(canonical));
    o.set("words", transform_words(entry.matrix));
    o.set("first_of_pair", first);
    list.push(std::move(o));
  }
  return list;
}

void name_entry(json::Value* entry, const Mat3& matrix) {
  if (!entry || !entry->is_object()) return;
  entry->set("name", transform_label(canonical_transform(matrix)));
  entry->set("words", transform_words(matrix));
}

void name_flip(json::Value& out, const FlipResult& flip, double margin_threshold) {
  json::Value* section = member(out, "flip");
  if (!section || !section->is_object()) return;
  if (json::Value* ranking = member(*section, "ranking")) *ranking = named_ranking(flip.ranking);
  name_entry(member(*section, "best"), flip.best.matrix);
  name_entry(member(*section, "runner_up"), flip.runner_up.matrix);
  if (!member(*section, "margin_threshold")) section->set("margin_threshold", margin_threshold);
}

}  // namespace

json::Value engine_report_json(const Report& report, const TrackingResult* tracking, const Verdict& verdict) {
  json::Value out = report.to_json();
  for (auto& [key, value] : out.as_object())
    if (key == "status") value = json::Value(status_text(verdict.status));
  if (report.flip) name_flip(out, *report.flip, verdict.margin_threshold);
  if (tracking) out.set("tracking", tracking->to_json());
  if (verdict.consistency) out.set("consistency", verdict.consistency->to_json());
  out.set("verdict", verdict.to_json());
  return out;
}

}  // namespace tarvix
