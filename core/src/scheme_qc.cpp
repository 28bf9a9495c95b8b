#include "scheme_qc.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "error.hpp"
#include "format.hpp"

namespace tarvix::scheme_qc {

namespace {

constexpr std::uint64_t kDtiMinimum = 6;
constexpr std::uint64_t kDtiRecommended = 30;
constexpr double kConditionVeryHigh = 50.0;
constexpr double kConditionElevated = 10.0;
constexpr double kDriftLarge = 0.1;
constexpr double kDriftNoted = 0.05;
constexpr double kAmplitudeFraction = 0.5;

struct Finding {
  std::string message;
  bool severe = false;
};

std::string shell_prefix(double nominal_b) { return "shell b=" + format_fixed(nominal_b, 0) + ": "; }

void shell_findings(const ShellAngular& s, double duplicate_angle_deg, std::vector<Finding>& out) {
  const std::string prefix = shell_prefix(s.nominal_b);
  if (s.meets_dti_minimum) {
    if (!s.meets_dti_recommended)
      out.push_back({prefix + std::to_string(s.count) + " directions, below the recommended " +
                         std::to_string(kDtiRecommended) + " for a robust DTI fit",
                     false});
    if (!s.condition_number)
      out.push_back({prefix + "DTI design matrix is rank-deficient (degenerate gradient directions)", true});
  } else {
    out.push_back({prefix + std::to_string(s.count) + " directions, below the DTI minimum of " +
                       std::to_string(kDtiMinimum) + " \u2014 the tensor fit is underdetermined",
                   true});
  }
  if (s.condition_number) {
    const double c = *s.condition_number;
    if (c >= kConditionVeryHigh)
      out.push_back({prefix + "DTI design-matrix condition number " + format_fixed(c, 1) +
                         " is very high (ill-conditioned scheme)",
                     true});
    else if (c >= kConditionElevated)
      out.push_back({prefix + "DTI design-matrix condition number " + format_fixed(c, 1) + " is elevated", false});
  }
  if (!s.duplicates.empty()) {
    // The counts cover every pair, listed or not; a record built by hand may
    // carry only the list.
    std::uint64_t antipodal = s.antipodal_pairs;
    std::uint64_t near = s.near_duplicate_pairs;
    if (antipodal + near < s.duplicates.size()) {
      antipodal = 0;
      for (const auto& d : s.duplicates) antipodal += d.antipodal ? 1 : 0;
      near = s.duplicates.size() - antipodal;
    }
    out.push_back({prefix + std::to_string(antipodal) + " antipodal + " + std::to_string(near) +
                       " near-duplicate direction pair(s) within " + format_fixed(duplicate_angle_deg, 1) + "\u00b0",
                   false});
    if (antipodal + near > s.duplicates.size()) {
      out.push_back({prefix + "only the first " + std::to_string(s.duplicates.size()) + " of these " +
                         std::to_string(antipodal + near) + " pairs are listed in the report",
                     false});
    }
  }
}

std::string amplitude_message(const NormStats& n) {
  return format_fixed(n.non_unit_fraction * 100, 0) + "% of non-b0 directions are not unit-length (norm " +
         format_fixed(n.norm_min, 3) + "\u2013" + format_fixed(n.norm_max, 3) + ", mean " +
         format_fixed(n.norm_mean, 3) + "; tol " + format_fixed(n.tolerance * 100, 0) +
         "%) \u2014 likely amplitude-encoded bvecs: the b-values cannot be trusted and tarvix will not "
         "auto-correct them; recover explicitly with `tarvix recompute-bval`.";
}

}  // namespace

Report apply(Report report, bool strict) {
  std::vector<Finding> findings;
  if (report.angular) {
    for (const auto& s : report.angular->shells) shell_findings(s, report.angular->duplicate_angle_deg, findings);
  }
  if (report.shells && !report.shells->non_integer_bvals.empty()) {
    findings.push_back({std::to_string(report.shells->non_integer_bvals.size()) +
                            " volume(s) have non-integer b-values (ramp sampling or rounding)",
                        false});
  }
  if (report.b0_drift) {
    const double r = report.b0_drift->relative_drift;
    if (r >= kDriftLarge)
      findings.push_back({"b0 signal drift is large (" + format_fixed(r * 100, 1) +
                              "% peak-to-peak) \u2014 check scanner stability",
                          true});
    else if (r >= kDriftNoted)
      findings.push_back({"b0 signal drift is " + format_fixed(r * 100, 1) + "% peak-to-peak", false});
  }

  bool any_severe = false;
  for (auto& f : findings) {
    any_severe = any_severe || f.severe;
    report.notes.push_back(std::move(f.message));
  }
  if (strict && any_severe && report.status == Status::Pass) {
    report.notes.push_back("strict: severe scheme-quality issue(s) promoted status PASS \u2192 WARN");
    report.status = Status::Warn;
  }
  return amplitude_gate(std::move(report), strict);
}

Report amplitude_gate(Report report, bool strict) {
  if (!report.norm_stats) return report;
  const NormStats& n = *report.norm_stats;
  if (n.non_b0_count == 0 || !(n.non_unit_fraction > kAmplitudeFraction)) return report;
  std::string message = amplitude_message(n);
  if (strict) throw Error::amplitude_strict(std::move(message));
  report.notes.push_back(std::move(message));
  if (report.status == Status::Pass) report.status = Status::Warn;
  return report;
}

}  // namespace tarvix::scheme_qc
