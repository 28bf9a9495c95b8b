"""The command line's verdict: the module's status, made honest about thin
evidence.

The axis check ranks 48 candidate transforms by how well the fitted fibre
directions agree with their neighbours. On a handful of white-matter voxels
that ranking is noise, and a confident PASS or FLAG from it would be a guess
(or, from `repair`, a wrong table written). Such a verdict becomes WARN with a
note that says why. The limits come from crops of the benchmark phantoms
(clinical 2 mm and research 1.5 mm geometry): below them crops with a correct
table came out FLAG, or a wrong table PASS."""

from __future__ import annotations

MIN_WM_VOXELS = 250
MIN_SAMPLES = 400
MIN_SHELL_VOLUMES = 6  # fewer directions than tensor elements: the fit is not determined

THIN_EVIDENCE_HELP = (
    f"thin evidence: the axis check needs at least {MIN_WM_VOXELS} white-matter voxels, {MIN_SAMPLES}\n"
    f"  neighbour comparisons for the best and runner-up transforms and {MIN_SHELL_VOLUMES} volumes in the\n"
    "  working shell, and some non-zero score; below that a PASS or FLAG is reported as WARN, and\n"
    "  repair writes no transform without --force-repair (the JSON report is printed unchanged)")


def _shell_volumes(report: dict, b: float) -> int | None:
    for shell in report.get("shells", {}).get("shells", []):
        if not shell.get("is_b0") and shell.get("nominal_b") == b:
            return int(shell["count"])
    return None


def thin_evidence(report: dict) -> list[str]:
    """Why the axis check of this report cannot be trusted; empty when it can."""
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
    volumes = _shell_volumes(report, flip["working_b"])
    if volumes is not None and volumes < MIN_SHELL_VOLUMES:
        notes.append(f"the b={flip['working_b']:g} shell used for the axes has only {volumes} volume"
                     f"{'s' if volumes != 1 else ''}: too few for a tensor fit")
    return notes


def cli_verdict(report: dict, tracking: dict | None = None) -> tuple[str, list[str]]:
    """The status the command line reports and exits with, and the notes that
    explain where it differs from the module's. `tracking` is a second measure's
    record; it is not used yet."""
    status = report.get("status", "PASS")
    notes = thin_evidence(report)
    if notes and status in ("PASS", "FLAG"):
        status = "WARN"
    return status, notes
