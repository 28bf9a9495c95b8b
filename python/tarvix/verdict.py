"""The verdict as the command line shows it: read from the `verdict` section
the engine puts into every report it returns or writes. The rules live in the
core (one record, decided once); this module only reads it and keeps the help
texts that explain it."""

from __future__ import annotations

from . import _engine


def _number(value) -> str:
    return f"{value:g}"


def _percent(fraction) -> str:
    return f"{100 * fraction:g}%"


# The verdicts from best to worst, with the exit status each ends a command with.
EXIT_OF_STATUS = _engine.statuses()


def worst(statuses) -> str:
    """The worst of these verdicts; PASS when there are none."""
    order = list(EXIT_OF_STATUS)
    return max(statuses, key=order.index, default=order[0])


# The limits the help texts and outputs quote, as the core applies them.
LIMITS = _engine.limits()
MIN_WM_VOXELS = LIMITS["min_wm_voxels"]
MIN_SAMPLES = LIMITS["min_samples"]
MIN_SHELL_VOLUMES = LIMITS["min_shell_volumes"]
TRACKING_MIN_VOXELS = LIMITS["tracking_min_voxels"]
TRACKING_MIN_STREAMLINES = LIMITS["tracking_min_streamlines"]
TRACKING_SPREADS = LIMITS["tracking_spreads"]
COHERENCE_MARGIN = next(s["default"] for s in _engine.settings() if s["name"] == "margin_threshold")
if float(TRACKING_SPREADS).is_integer():
    TRACKING_SPREADS = int(TRACKING_SPREADS)  # "2 SD", as people write it

THIN_EVIDENCE_HELP = (
    f"thin evidence: both measures need {MIN_SHELL_VOLUMES} volumes in the working shell. The coherence needs at "
    f"least\n  {MIN_WM_VOXELS} white-matter voxels, {MIN_SAMPLES} neighbour comparisons for the best and runner-up "
    "transforms and some\n  non-zero score; the tracking needs "
    f"{TRACKING_MIN_VOXELS} trackable voxels (FA of at least {_number(LIMITS['tracking_fa_threshold'])} inside the "
    f"mask) and\n  {TRACKING_MIN_STREAMLINES} streamlines of {_number(LIMITS['tracking_min_length_mm'])} mm or "
    "more, and when it ran only its own minimum counts. "
    "Below that a PASS\n  or FLAG is reported as WARN, and repair writes no transform without --force-repair "
    "(every report\n  written says the same: its status and `verdict` section are this verdict)")

COMBINING_HELP = (
    "how the verdict is reached: two measures rank the 24 distinct axis conventions (the tracking,\n"
    "  on an oblique image, also the 24 read in the other coordinate frame). The tracking\n"
    "  (on by default; --no-tracking leaves it out) follows fibres over their whole length and\n"
    "  compares the mean streamline length; it FLAGs when another transform scores best and leads\n"
    f"  the runner-up by at least {_percent(LIMITS['tracking_margin_threshold'])} and by at least "
    f"{TRACKING_SPREADS} SD of that lead over seed subsets. The\n"
    "  coherence compares each fibre direction with its neighbours one step "
    f"({_number(LIMITS['coherence_step_mm'])} mm) ahead and FLAGs\n"
    f"  at a {_percent(COHERENCE_MARGIN)} lead. When the tracking ran it decides; when it is WARN the verdict "
    "is WARN (a note\n"
    "  says so when the coherence alone would FLAG), and when the measures rank different\n"
    "  transforms first a note says so. Without the tracking the coherence decides. A table whose\n"
    "  rows do not describe the image's volumes (b=0 rows, shells or order against the signal: the\n"
    "  consistency tests) is FLAG whatever the axes say, and repair writes nothing for it.")


class Verdict:
    """What every output reports: `status` (with the scheme's own warnings),
    `axes` the verdict on the axes alone, `recommended` the canonical label of
    the transform it supports (FLAG only) and `words` that transform in plain
    words, `measure` the measure that decided ("tracking" or "coherence"),
    `best` the deciding measure's best transform (None when nothing scored)
    and `best_words` it in plain words,
    the lead and its spread as fractions, and the notes."""

    def __init__(self, status: str, axes: str | None, recommended: str | None = None, measure: str | None = None,
                 notes: list[str] | None = None, words: str | None = None, best: str | None = None,
                 lead: float | None = None, lead_spread: float | None = None, thin: bool = False,
                 orientation_unknown: bool = False, best_words: str | None = None):
        self.status, self.axes, self.recommended, self.measure = status, axes, recommended, measure
        self.notes = [] if notes is None else notes
        self.words, self.best, self.lead, self.lead_spread = words, best, lead, lead_spread
        self.thin, self.orientation_unknown, self.best_words = thin, orientation_unknown, best_words

    def __eq__(self, other) -> bool:
        return isinstance(other, Verdict) and vars(self) == vars(other)

    def __repr__(self) -> str:
        return f"Verdict({', '.join(f'{k}={v!r}' for k, v in vars(self).items())})"


def of_report(report: dict) -> Verdict:
    """The verdict an engine report carries. A report without one (the
    module's own) is read for its status alone."""
    v = report.get("verdict")
    if v is None:
        return Verdict(report.get("status", "PASS"), None)
    return Verdict(v["status"], v.get("axes"), v.get("recommended_label"), v.get("decided_by"),
                   list(v.get("notes", [])), v.get("recommended_words"), v.get("best_label"), v.get("lead"),
                   v.get("lead_spread"), bool(v.get("thin_evidence")), bool(v.get("orientation_unknown")),
                   v.get("best_words"))


def combined(report: dict, tracking: dict | None = None) -> Verdict:
    """The run's verdict (the tracking record is in the report already)."""
    return of_report(report)


def cli_verdict(report: dict, tracking: dict | None = None) -> tuple[str, list[str]]:
    """The status the command line reports and exits with, and the notes behind it."""
    v = of_report(report)
    return v.status, v.notes


def lead_text(v: Verdict) -> str | None:
    """'12.3% (SD 1.4%)': the deciding measure's lead as the outputs print it."""
    if v.lead is None:
        return None
    text = f"{v.lead * 100:.1f}%"
    return text + (f" (SD {v.lead_spread * 100:.1f}%)" if v.lead_spread is not None else "")
