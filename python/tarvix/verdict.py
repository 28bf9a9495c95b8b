"""The command line's verdict: the module's status made honest about thin
evidence, and combined with the fibre-tracking measure when it ran.

Two measures judge the table's axes. The coherence (in the module's report)
compares each fitted fibre direction with its neighbours one step ahead; the
tracking follows fibres over their whole length and compares mean streamline
lengths. Where the tracking ran it decides: a one-step comparison sees a few
millimetres of a bundle, a streamline all of it, and on realistic scans the
coherence's lead is a fraction of its threshold where the tracking's is many
times its own. The coherence is then a second opinion that is shown, and
named when it disagrees, but never overrides.

On a handful of white-matter voxels the coherence's ranking is noise, and a
confident PASS or FLAG from it would be a guess (or, from `repair`, a wrong
table written). Without the tracking such a verdict becomes WARN with a note
that says why. The limits come from crops of the benchmark phantoms (clinical
2 mm and research 1.5 mm geometry): below them crops with a correct table
came out FLAG, or a wrong table PASS. With the tracking, its own minimum
decides instead."""

from __future__ import annotations

from dataclasses import dataclass, field

MIN_WM_VOXELS = 250
MIN_SAMPLES = 400
MIN_SHELL_VOLUMES = 6  # fewer directions than tensor elements: the fit is not determined

# The tracking measure's own rules, as it applies them (it says WARN below
# the minimum, and FLAGs only a lead past the threshold and this many spreads).
TRACKING_MIN_VOXELS = 200
TRACKING_MIN_STREAMLINES = 50
TRACKING_SPREADS = 2

# Above this share of non-unit directions the module calls the vectors
# amplitude-encoded and warns.
AMPLITUDE_FRACTION = 0.5

THIN_EVIDENCE_HELP = (
    f"thin evidence: both measures need {MIN_SHELL_VOLUMES} volumes in the working shell. The coherence needs at "
    f"least\n  {MIN_WM_VOXELS} white-matter voxels, {MIN_SAMPLES} neighbour comparisons for the best and runner-up "
    "transforms and some\n  non-zero score; the tracking needs "
    f"{TRACKING_MIN_VOXELS} trackable voxels (FA of at least 0.3 inside the mask) and\n"
    f"  {TRACKING_MIN_STREAMLINES} streamlines of 10 mm or more, and when it ran only its own minimum counts. "
    "Below that a PASS\n  or FLAG is reported as WARN, and repair writes no transform without --force-repair "
    "(the JSON\n  report is printed unchanged)")

COMBINING_HELP = (
    "how the verdict is reached: two measures rank the 24 distinct axis conventions. The tracking\n"
    "  (on by default; --no-tracking leaves it out) follows fibres over their whole length and\n"
    "  compares the mean streamline length; it FLAGs when another transform scores best and leads\n"
    "  the runner-up by at least 5% and by at least 2 spreads of that lead over seed subsets. The\n"
    "  coherence compares each fibre direction with its neighbours one step (4 mm) ahead and FLAGs\n"
    "  at a 2% lead. When the tracking ran it decides; when it is WARN the verdict is WARN (a note\n"
    "  says so when the coherence alone would FLAG), and when the measures rank different\n"
    "  transforms first a note says so. Without the tracking the coherence decides.")


@dataclass
class Verdict:
    """What the command line reports: `status` (with the scheme's own
    warnings), `axes` the verdict on the axes alone, `recommended` the label
    of the transform that verdict supports (FLAG only), `measure` the measure
    that decided ("tracking" or "coherence"), and the notes."""

    status: str
    axes: str | None
    recommended: str | None = None
    measure: str | None = None
    notes: list[str] = field(default_factory=list)


def _shell_volumes(report: dict, b: float) -> int | None:
    for shell in report.get("shells", {}).get("shells", []):
        if not shell.get("is_b0") and shell.get("nominal_b") == b:
            return int(shell["count"])
    return None


def fit_evidence(report: dict) -> list[str]:
    """Why the tensor fit both measures stand on cannot be trusted."""
    flip = report.get("flip")
    if not flip:
        return []
    volumes = _shell_volumes(report, flip["working_b"])
    if volumes is not None and volumes < MIN_SHELL_VOLUMES:
        return [f"the b={flip['working_b']:g} shell used for the axes has only {volumes} volume"
                f"{'s' if volumes != 1 else ''}: too few for a tensor fit"]
    return []


def coherence_evidence(report: dict) -> list[str]:
    """Why the coherence ranking alone cannot be trusted."""
    flip = report.get("flip")
    if not flip:
        return []
    notes = []
    all_zero = all(entry["coherence"] == 0 for entry in flip.get("ranking", []))
    if all_zero:
        notes.append("every axis transform scored 0: no white-matter voxel had a neighbour to compare with "
                     "(a --step larger than the white matter, or an image too small)")
    n_wm = int(flip["n_wm_voxels"])
    if n_wm < MIN_WM_VOXELS:
        notes.append(f"only {n_wm} white-matter voxel{'s' if n_wm != 1 else ''}: too few to judge the axes "
                     f"(at least {MIN_WM_VOXELS} are needed)")
    samples = min(int(flip["best"].get("n_samples", 0)), int(flip["runner_up"].get("n_samples", 0)))
    if samples < MIN_SAMPLES and n_wm >= MIN_WM_VOXELS and not all_zero:
        notes.append(f"only {samples} neighbour comparisons behind the best transforms: too few to judge the axes "
                     f"(at least {MIN_SAMPLES} are needed)")
    return notes


def thin_evidence(report: dict) -> list[str]:
    """Why the coherence verdict of this report cannot be trusted; empty when it can."""
    return coherence_evidence(report) + fit_evidence(report)


def coherence_decision(report: dict) -> str | None:
    """The coherence's decision on the axes, WARN where its evidence is thin."""
    flip = report.get("flip")
    if not flip:
        return None
    return "WARN" if thin_evidence(report) else flip["decision"]


def tracking_thin(tracking: dict) -> str | None:
    """Why the tracking could not judge, or None when it had enough to go on.
    Its seeds are all its trackable voxels when there are fewer than it asks for."""
    seeds = int(tracking["parameters"]["n_seeds"])
    if seeds < TRACKING_MIN_VOXELS:
        return (f"only {seeds} trackable voxel{'s' if seeds != 1 else ''} (FA of at least "
                f"{tracking['parameters']['fa_threshold']:g}): too few to follow fibres "
                f"(at least {TRACKING_MIN_VOXELS} are needed)")
    streamlines = int(tracking["best"]["n_streamlines"])
    if streamlines < TRACKING_MIN_STREAMLINES:
        return (f"only {streamlines} streamline{'s' if streamlines != 1 else ''} of at least "
                f"{tracking['parameters']['min_length_mm']:g} mm: too few to judge the axes "
                f"(at least {TRACKING_MIN_STREAMLINES} are needed)")
    return None


def tracking_warn_note(tracking: dict) -> str:
    """Why the tracking says WARN, in words."""
    thin = tracking_thin(tracking)
    if thin:
        return f"the tracking cannot judge the axes: {thin}"
    margin, spread = tracking["relative_margin"] * 100, tracking["margin_spread"] * 100
    return (f"the tracking's best, {tracking['best']['label']}, leads {tracking['runner_up']['label']} by only "
            f"{margin:.1f}% ± {spread:.1f}%: not clearly enough (at least "
            f"{tracking['margin_threshold'] * 100:g}% and {TRACKING_SPREADS} spreads are needed)")


def same_axes(a, b) -> bool:
    """Two transforms that describe one axis convention: equal, or negatives."""
    flat_a = [v for row in a for v in row]
    flat_b = [v for row in b for v in row]
    return flat_a == flat_b or flat_a == [-v for v in flat_b]


def disagreement(report: dict, tracking: dict) -> str | None:
    flip = report.get("flip")
    if not flip or same_axes(flip["best"]["matrix"], tracking["best"]["matrix"]):
        return None
    return (f"the measures disagree: coherence ranks {flip['best']['label']} first, "
            f"tracking {tracking['best']['label']}")


def _scheme_warns(report: dict) -> bool:
    """Whether the report warns for a reason other than the axes. The module
    raises a PASS to WARN for the scheme (amplitude-encoded vectors, severe
    findings under --strict) but leaves a FLAG or WARN of the axes as it is,
    so only the amplitude test can be repeated there."""
    flip = report.get("flip")
    if not flip or flip["decision"] == "PASS":
        return report.get("status") == "WARN"
    norms = report.get("norm_stats") or {}
    return bool(norms.get("non_b0_count", 0)) and norms.get("non_unit_fraction", 0.0) > AMPLITUDE_FRACTION


def _coherence_only(report: dict) -> Verdict:
    status = report.get("status", "PASS")
    flip = report.get("flip")
    notes = thin_evidence(report)
    if notes and status in ("PASS", "FLAG"):
        status = "WARN"
    axes = coherence_decision(report)
    recommended = flip.get("recommended_label") if flip and axes == "FLAG" else None
    return Verdict(status, axes, recommended, "coherence" if flip else None, notes)


def _with_tracking(report: dict, tracking: dict) -> Verdict:
    axes = tracking["decision"]
    notes = fit_evidence(report)
    if notes and axes != "WARN":
        axes = "WARN"
    if tracking["decision"] == "WARN":
        notes.append(tracking_warn_note(tracking))
        if coherence_decision(report) == "FLAG":
            notes.append(f"the coherence alone would FLAG and recommend "
                         f"{report['flip']['recommended_label']}, but the tracking does not confirm it")
    differ = disagreement(report, tracking)
    if differ:
        notes.append(differ)
    recommended = tracking.get("recommended_label") if axes == "FLAG" else None
    status = axes
    if status == "PASS" and _scheme_warns(report):
        status = "WARN"
    return Verdict(status, axes, recommended, "tracking", notes)


def combined(report: dict, tracking: dict | None = None) -> Verdict:
    """The verdict of both measures, or of the coherence alone when the
    tracking did not run."""
    if tracking is None or not report.get("flip"):
        return _coherence_only(report)
    return _with_tracking(report, tracking)


def cli_verdict(report: dict, tracking: dict | None = None) -> tuple[str, list[str]]:
    """The status the command line reports and exits with, and the notes that
    explain where it differs from the module's."""
    v = combined(report, tracking)
    return v.status, v.notes
