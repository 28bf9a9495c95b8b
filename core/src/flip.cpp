#include "flip.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "coherence.hpp"
#include "error.hpp"
#include "format.hpp"
#include "timing.hpp"

namespace tarvix {
namespace {

constexpr double kPreferredB = 1000.0;

// IEEE total order as an integer key: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
inline std::int64_t total_order_key(double d) {
  auto bits = std::bit_cast<std::int64_t>(d);
  return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
}

}  // namespace

json::Value CandidateScore::to_json() const {
  json::Value o = json::Value::object();
  o.set("label", label);
  o.set("matrix", json::mat3(matrix));
  o.set("is_identity", is_identity);
  o.set("coherence", coherence);
  o.set("n_samples", n_samples);
  return o;
}

json::Value FlipResult::to_json() const {
  json::Value o = json::Value::object();
  o.set("working_b", working_b);
  o.set("n_wm_voxels", n_wm_voxels);
  o.set("mask_mean_fa", mask_mean_fa);
  json::Value list = json::Value::array();
  for (const auto& s : ranking) list.push(s.to_json());
  o.set("ranking", std::move(list));
  o.set("best", best.to_json());
  o.set("runner_up", runner_up.to_json());
  o.set("identity_coherence", identity_coherence);
  o.set("margin", margin);
  o.set("relative_margin", relative_margin);
  if (margin_threshold) o.set("margin_threshold", *margin_threshold);
  o.set("decision", status_text(decision));
  o.set("recommended_transform", recommended_transform ? json::mat3(*recommended_transform) : json::Value(nullptr));
  o.set("recommended_label", json::optional(recommended_label));
  return o;
}

bool antipodal_or_equal(const Mat3& a, const Mat3& b) {
  bool equal = true, opposite = true;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      equal = equal && a[i][j] == b[i][j];
      opposite = opposite && a[i][j] == -b[i][j];
    }
  return equal || opposite;
}

std::optional<Shell> select_working_shell(const GradientTable& table, double b0_threshold, double tolerance) {
  std::vector<Shell> shells = detect_shells(table.bvals, b0_threshold, tolerance);
  const Shell* pick = nullptr;
  for (const Shell& s : shells) {
    if (s.is_b0) continue;
    if (!pick) {
      pick = &s;
      continue;
    }
    const double d = std::abs(s.nominal_b - kPreferredB), best = std::abs(pick->nominal_b - kPreferredB);
    // Closer to b = 1000 wins, then the lower b; identical b keeps the earlier shell.
    if (d < best || (d == best && s.nominal_b < pick->nominal_b)) pick = &s;
  }
  if (!pick) return std::nullopt;
  return *pick;
}

Shell pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance, double requested) {
  std::vector<Shell> shells = detect_shells(bvals, b0_threshold, tolerance);
  Shell* best = nullptr;
  double best_diff = 0;
  for (auto& s : shells) {
    if (s.is_b0) continue;
    const double diff = std::fabs(s.nominal_b - requested);
    if (!best || diff < best_diff) {
      best = &s;
      best_diff = diff;
    }
  }
  if (!best) throw Error::no_flip_shell();
  return std::move(*best);
}

void require_requested_shell(const GradientTable& table, const AnalysisOptions& options) {
  if (!options.shell) return;
  std::string listed;
  for (const Shell& s : detect_shells(table.bvals, options.b0_threshold, options.tolerance)) {
    if (s.is_b0) continue;
    if (std::fabs(s.nominal_b - *options.shell) <= options.tolerance * s.nominal_b) return;
    listed += (listed.empty() ? "b=" : ", b=") + format_plain(s.nominal_b);
  }
  throw Failure("--shell " + format_plain(*options.shell) +
                " matches no shell of the table; its diffusion-weighted shells are: " +
                (listed.empty() ? std::string("none") : listed));
}

DetectionPlan plan_detection(const GradientTable& table, const AnalysisOptions& options) {
  DetectionPlan plan;
  // The shell comes first: a table without one fails for that whatever the margin.
  if (options.shell) {
    try {
      plan.shell = pick_shell(table.bvals, options.b0_threshold, options.tolerance, *options.shell);
    } catch (const Error& e) {
      plan.failure = e;
      return plan;
    }
  } else {
    plan.shell = select_working_shell(table, options.b0_threshold, options.tolerance);
    if (!plan.shell) {
      plan.failure = Error::no_flip_shell();
      return plan;
    }
  }
  try {
    check_margin_threshold(options.margin_threshold);
  } catch (const Error& e) {
    plan.failure = e;
    return plan;
  }
  plan.b0 = table.b0_indices(options.b0_threshold);
  return plan;
}

FitAndMask mask_field(TensorField field, const Mask* mask) {
  FitAndMask out;
  out.field = std::move(field);
  const TensorField& f = out.field;
  const double fa_threshold = defaults::kFaThreshold;

  if (mask) {
    // The user's mask is taken as the scoring region as it stands.
    out.mask = *mask;
  } else {
    out.mask = f.wm_proxy(fa_threshold);
    if (std::none_of(out.mask.begin(), out.mask.end(), [](std::uint8_t b) { return b != 0; })) {
      const std::size_t len = std::min(f.valid.size(), f.fa.size());
      out.mask.assign(len, 0);
      for (std::size_t i = 0; i < len; ++i) out.mask[i] = (f.valid[i] && f.fa[i] >= fa_threshold) ? 1 : 0;
    }
  }

  out.n_wm_voxels = static_cast<std::uint64_t>(
      std::count_if(out.mask.begin(), out.mask.end(), [](std::uint8_t b) { return b != 0; }));
  if (out.n_wm_voxels == 0) throw Error::dti_fit("no WM voxels above the FA threshold");

  const std::size_t len = std::min({out.mask.size(), f.valid.size(), f.fa.size()});
  double sum = 0;
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < len; ++i)
    if (out.mask[i] && f.valid[i]) {
      sum += f.fa[i];
      ++count;
    }
  out.mask_mean_fa = count ? sum / static_cast<double>(count) : 0.0;
  return out;
}

std::vector<CandidateScore> rank_candidates(const TensorField& field, const Mask& mask, const Mat3& frame_map,
                                            double step) {
  const std::size_t grid = field.v1.size();
  // Sampling looks up the mask by grid index; a mask of another length would
  // read past its end, so score against one cut or padded to the grid.
  Mask grid_mask;
  const Mask* m = &mask;
  if (mask.size() != grid) {
    grid_mask.assign(grid, 0);
    std::copy_n(mask.begin(), std::min(grid, mask.size()), grid_mask.begin());
    m = &grid_mask;
  }

  std::vector<std::uint64_t> wm;
  for (std::size_t t = 0; t < grid; ++t)
    if ((*m)[t]) wm.push_back(t);

  std::vector<Candidate> candidates = all_candidates();
  // M and -M transform every direction to the same axis up to sign, so each
  // pair is scored once: by the first of the two.
  std::vector<std::size_t> first_of(candidates.size()), scored;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    first_of[i] = i;
    for (std::size_t j = 0; j < i; ++j)
      if (antipodal_or_equal(candidates[j].matrix, candidates[i].matrix)) {
        first_of[i] = first_of[j];  // j's score is its own first's
        break;
      }
    if (first_of[i] == i) scored.push_back(i);
  }
  // The candidates side by side, each tallied in its fixed order: the same
  // scores on any number of threads.
  CoherenceWorkspace workspace;
  prepare_workspace(workspace, grid, wm);
  std::vector<CoherenceScore> own(candidates.size());
  // The cells of the candidates in flight, one set per thread, made here: made
  // on a worker thread they would each start a heap of that thread's own.
  const std::size_t lanes =
      std::min(scored.size(), static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency())));
  std::deque<std::vector<CoherenceCell>> cells(lanes);  // grows without moving a set in use
  for (auto& c : cells) c.reserve(wm.size() + 1);
  std::vector<std::size_t> free_cells(lanes);
  for (std::size_t i = 0; i < lanes; ++i) free_cells[i] = i;
  std::mutex cells_m;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, scored.size(), 1), [&](const tbb::blocked_range<std::size_t>& r) {
    std::size_t lane;
    std::vector<CoherenceCell>* mine;
    {
      std::lock_guard<std::mutex> l(cells_m);
      if (free_cells.empty()) {
        free_cells.push_back(cells.size());
        cells.emplace_back();
      }
      lane = free_cells.back();
      free_cells.pop_back();
      mine = &cells[lane];
    }
    for (std::size_t k = r.begin(); k != r.end(); ++k) {
      const std::size_t i = scored[k];
      // Isolated, so that a thread waiting inside one candidate's tally does
      // not start another candidate on top of it.
      tbb::this_task_arena::isolate([&] {
        own[i] = candidate_coherence(field, *m, wm, candidates[i].matrix, frame_map, step, std::as_const(workspace),
                                     *mine);
      });
    }
    std::lock_guard<std::mutex> l(cells_m);
    free_cells.push_back(lane);
  });
  std::vector<CandidateScore> scores;
  scores.reserve(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    CandidateScore s;
    const CoherenceScore& cs = own[first_of[i]];
    s.coherence = cs.coherence;
    s.n_samples = cs.n_samples;
    s.label = std::move(candidates[i].label);
    s.matrix = candidates[i].matrix;
    s.is_identity = candidates[i].is_identity;
    scores.push_back(std::move(s));
  }
  std::stable_sort(scores.begin(), scores.end(), [](const CandidateScore& a, const CandidateScore& b) {
    return total_order_key(a.coherence) > total_order_key(b.coherence);
  });
  return scores;
}

FlipResult assemble_result(std::uint64_t n_wm_voxels, std::vector<CandidateScore> ranking, double working_b,
                           double mask_mean_fa, double margin_threshold) {
  if (ranking.empty()) throw std::invalid_argument("assemble_result: empty candidate ranking");
  FlipResult r;
  r.working_b = working_b;
  r.n_wm_voxels = n_wm_voxels;
  r.mask_mean_fa = mask_mean_fa;
  r.best = ranking.front();

  if (ranking.size() == 1) {
    r.runner_up = r.best;
  } else {
    auto it = std::find_if(ranking.begin() + 1, ranking.end(),
                           [&](const CandidateScore& s) { return !antipodal_or_equal(s.matrix, r.best.matrix); });
    r.runner_up = it != ranking.end() ? *it : ranking[1];
  }

  r.margin = r.best.coherence - r.runner_up.coherence;
  r.relative_margin = r.best.coherence > 0 ? r.margin / r.best.coherence : 0.0;

  if (r.best.is_identity || antipodal_or_equal(r.best.matrix, identity3()))
    r.decision = Status::Pass;
  else if (r.relative_margin >= margin_threshold)
    r.decision = Status::Flag;
  else
    r.decision = Status::Warn;

  auto id = std::find_if(ranking.begin(), ranking.end(), [](const CandidateScore& s) { return s.is_identity; });
  r.identity_coherence = id != ranking.end() ? id->coherence : 0.0;

  if (r.decision == Status::Flag) {
    r.recommended_transform = r.best.matrix;
    r.recommended_label = r.best.label;
  }
  if (margin_threshold != defaults::kMarginThreshold) r.margin_threshold = margin_threshold;
  r.ranking = std::move(ranking);
  return r;
}

FlipResult detect_on_field(TensorField field, const Mask* mask, const DetectionPlan& plan, const Sampling& sampling,
                           double margin_threshold, GlyphData* glyphs, DetectTimings* timings, double fit_s) {
  if (plan.failure) throw *plan.failure;
  const Stopwatch mask_clock;
  FitAndMask fm = mask_field(std::move(field), mask);
  const double mask_s = mask_clock.seconds();
  const Stopwatch rank_clock;
  std::vector<CandidateScore> ranking = rank_candidates(fm.field, fm.mask, sampling.frame_map, sampling.step);
  const double rank_s = rank_clock.seconds();
  FlipResult result =
      assemble_result(fm.n_wm_voxels, std::move(ranking), plan.shell->nominal_b, fm.mask_mean_fa, margin_threshold);
  if (timings) {
    timings->fit_s = fit_s + mask_s;
    timings->coherence_s = rank_s;
  }
  if (glyphs) *glyphs = GlyphData{std::move(fm.field), std::move(fm.mask), sampling.frame_map};
  return result;
}

FlipResult detect_flip(const Volume& volume, const GradientTable& table, const Mask* mask,
                       const AnalysisOptions& options, const Sampling& sampling, GlyphData* glyphs,
                       DetectTimings* timings) {
  const DetectionPlan plan = plan_detection(table, options);
  if (plan.failure) throw *plan.failure;
  const Stopwatch fit_clock;
  TensorField field = fit_dti(volume, table, plan.b0, plan.shell->indices, defaults::kMinS0);
  const double fit_s = fit_clock.seconds();
  return detect_on_field(std::move(field), mask, plan, sampling, options.margin_threshold, glyphs, timings, fit_s);
}

}  // namespace tarvix
