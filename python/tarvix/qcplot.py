"""The QC picture: fibre directions on three slices, before and after the
transform, the streamlines of the tracking measure as given and with the other
transform, and the score of every candidate under both measures.

Drawn from the glyph payload and the streamline sample the extension modules
hand back, so nothing is refitted. matplotlib (and numpy, which it brings) is
imported only here."""

from __future__ import annotations

import os

import numpy as np

from .summary import distinct_ranking, identity_like, labelled, named, words_of

POSITIVE = ("R", "A", "S")
NEGATIVE = ("L", "P", "I")
PLANE = ("sagittal", "coronal", "axial")  # by the world axis the slice normal follows

ROW_COLOURS = {"best": "#d95f02", "identity": "#1f78b4", "other": "#b8b8b8", "other_frame": "#fdbf6f"}
GLYPH_PLANES = (2, 1, 0)  # axial, coronal, sagittal
TRACK_PLANES = (2, 1)  # streamlines seen from above and from the front
GLYPH_MIN_FA = 0.2


AS_GIVEN = "+x+y+z"


def _name(entry) -> str:
    return entry.get("name") or entry["label"]


def ras_order(affine):
    """For each world axis R, A, S: the voxel axis that mostly follows it and
    whether that axis runs the other way (toward L, P or I)."""
    order, flips = [0, 0, 0], [False, False, False]
    taken = set()
    for j in sorted(range(3), key=lambda j: -max(abs(affine[i][j]) for i in range(3))):
        k = max((i for i in range(3) if i not in taken), key=lambda i: abs(affine[i][j]))
        taken.add(k)
        order[k], flips[k] = j, affine[k][j] < 0
    return order, flips


def to_ras(array, order, flips):
    """A voxel-order array (3 leading axes) in R, A, S order, each axis running
    toward R, A and S."""
    out = array.transpose(order + list(range(3, array.ndim)))
    for k in range(3):
        if flips[k]:
            out = np.flip(out, axis=k)
    return out


def points_to_ras(points, order, flips, shape_vox):
    """Voxel coordinates (n x 3, voxel axis order) as indices of the R, A, S
    arrays of to_ras."""
    out = points[:, order].copy()
    for k in range(3):
        if flips[k]:
            out[:, k] = shape_vox[order[k]] - 1 - out[:, k]
    return out


def comparison(flip):
    """The transform for the second row and how to call it, by the coherence
    (its recommendation is its best)."""
    best = flip["best"]
    if flip.get("recommended_transform") is not None:
        return flip["recommended_transform"], _name(best), f"With the recommended transform {named(best)}"
    if not identity_like(best):
        return best["matrix"], _name(best), f"With the best-scoring transform {named(best)} (lead too small to recommend)"
    # The table as given wins: a second copy of it would show nothing new.
    runner = flip["runner_up"]
    return runner["matrix"], _name(runner), f"For comparison, with the runner-up {named(runner)}"


def tracking_comparison(tracking, other_label):
    """The second row by the tracking: its best transform, or its runner-up when
    the table as given is best (the transform of the streamline sample)."""
    entry = next((e for e in tracking["ranking"] if e["label"] == other_label), tracking["runner_up"])
    if tracking.get("recommended_label") == entry["label"]:
        heading = f"With the recommended transform {named(entry)}"
    elif entry["label"] == tracking["best"]["label"]:
        heading = f"With the best-scoring transform {named(entry)} (lead too small to recommend)"
    else:
        heading = f"For comparison, with the runner-up {named(entry)}"
    return entry["matrix"], entry["label"], heading


def _coherence_of(flip, name):
    """The coherence of the transform named so (none for a reading of the
    other frame, which the coherence does not score)."""
    return next((e["coherence"] for e in flip["ranking"] if _name(e) == name), float("nan"))


def _tracking_of(tracking, name):
    return next(e for e in tracking["ranking"] if e["label"] == name)


def _decode_streamlines(items):
    return [np.frombuffer(b, dtype="<f4").reshape(-1, 3).astype(float) for b in items]


class Scene:
    """The image fields turned into world orientation, and the slices shown."""

    def __init__(self, glyphs):
        nx, ny, nz = (int(n) for n in glyphs["shape"])
        self.shape_vox = (nx, ny, nz)
        v1 = np.frombuffer(glyphs["v1"], dtype="<f4").reshape(nx, ny, nz, 3).astype(float)
        fa = np.frombuffer(glyphs["fa"], dtype="<f4").reshape(nx, ny, nz).astype(float)
        s0 = np.frombuffer(glyphs["s0"], dtype="<f4").reshape(nx, ny, nz).astype(float)
        # FA of the background is noise; hiding it lets the head's outline show.
        bright = s0[np.isfinite(s0)]
        floor = 0.1 * np.percentile(bright, 99) if bright.size else 0.0
        fa = np.where(s0 >= floor, np.nan_to_num(fa), 0.0)
        mask = np.frombuffer(glyphs["mask"], dtype=np.uint8).reshape(nx, ny, nz).astype(bool)
        voxel = np.asarray(glyphs["voxel_sizes"], float)
        voxel = np.where(voxel > 0, voxel, 1.0)
        self.frame = np.asarray(glyphs["frame_map"], float)
        # Shown as viewers show it: world axes R, A, S from the affine, not the
        # order the voxels happen to be stored in.
        self.order, self.flips = ras_order(glyphs["affine"])
        self.sign = np.array([-1.0 if f else 1.0 for f in self.flips])
        self.fa = to_ras(fa, self.order, self.flips)
        self.mask = to_ras(mask, self.order, self.flips)
        self.v1 = to_ras(v1, self.order, self.flips)
        self.voxel = voxel[self.order]
        shape = np.array(self.fa.shape)
        # Slices through the centre of the white-matter mask, cropped to its extent.
        if self.mask.any():
            where = np.argwhere(self.mask)
            self.centre = np.rint(where.mean(axis=0)).astype(int)
            self.low = np.maximum(where.min(axis=0) - 2, 0)
            self.high = np.minimum(where.max(axis=0) + 2, shape - 1)
        else:
            self.centre = shape // 2
            self.low, self.high = np.zeros(3, int), shape - 1
        self.shape = shape

    def directions(self, transform):
        """Principal directions under a transform, in R, A, S components."""
        return (self.v1 @ (self.frame @ np.asarray(transform, float)).T)[..., self.order] * self.sign

    def streamlines(self, items):
        return [points_to_ras(p, self.order, self.flips, self.shape_vox) for p in _decode_streamlines(items)]


def _background(ax, scene, k, radiological, dim=False):
    """The FA slice through the centre along world axis k, labelled with its
    ends; returns the two in-plane axes. `dim` darkens it so that lines drawn
    over it stand out."""
    from matplotlib.colors import PowerNorm

    a, b = [i for i in range(3) if i != k]
    index = [slice(None)] * 3
    index[k] = int(scene.centre[k])
    fa_slice = scene.fa[tuple(index)]
    mirror = radiological and a == 0
    # A square-root scale lifts the low FA of grey matter out of the dark.
    ax.imshow(fa_slice.T, origin="lower", cmap="gray", norm=PowerNorm(0.5, vmin=0.0, vmax=2.5 if dim else 1.0),
              interpolation="nearest", extent=(-0.5, fa_slice.shape[0] - 0.5, -0.5, fa_slice.shape[1] - 0.5),
              aspect=scene.voxel[b] / scene.voxel[a])
    low, high = scene.low, scene.high
    ax.set_xlim(*((high[a] + 0.5, low[a] - 0.5) if mirror else (low[a] - 0.5, high[a] + 0.5)))
    ax.set_ylim(low[b] - 0.5, high[b] + 0.5)
    ax.set_xticks([])
    ax.set_yticks([])
    ends_a = (POSITIVE[a], NEGATIVE[a]) if mirror else (NEGATIVE[a], POSITIVE[a])
    style = dict(transform=ax.transAxes, fontsize=13, fontweight="bold", color="#ffd92f",
                 bbox=dict(boxstyle="round,pad=0.15", facecolor="black", alpha=0.6, linewidth=0))
    ax.text(0.015, 0.5, ends_a[0], ha="left", va="center", **style)
    ax.text(0.985, 0.5, ends_a[1], ha="right", va="center", **style)
    ax.text(0.5, 0.015, NEGATIVE[b], ha="center", va="bottom", **style)
    ax.text(0.5, 0.985, POSITIVE[b], ha="center", va="top", **style)
    return a, b, index


def _direction_colours(d):
    colours = np.clip(np.abs(d), 0.0, 1.0)
    return colours / np.maximum(colours.max(axis=1, keepdims=True), 1e-9)


def draw_glyphs(ax, scene, k, directions, radiological):
    from matplotlib.collections import LineCollection

    a, b, index = _background(ax, scene, k, radiological)
    # Within a whole-brain mask, the directions of grey matter are noise that
    # hides the bundles; the automatic mask has no voxel below this FA anyway.
    ia, ib = np.nonzero(scene.mask[tuple(index)] & (scene.fa[tuple(index)] >= GLYPH_MIN_FA))
    d = directions[tuple(index)][ia, ib]
    half = 0.48 * min(scene.voxel[a], scene.voxel[b])
    da, db = d[:, a] * half / scene.voxel[a], d[:, b] * half / scene.voxel[b]
    segments = np.stack([np.stack([ia - da, ib - db], 1), np.stack([ia + da, ib + db], 1)], 1)
    ax.add_collection(LineCollection(segments, colors=_direction_colours(d), linewidths=2.4, capstyle="round"))
    ax.set_title(f"{PLANE[k]}, slice {int(scene.centre[k]) + 1} of {scene.shape[k]}", fontsize=11.5)


def draw_streamlines(ax, scene, k, lines, radiological, min_points):
    """Every streamline of the sample projected along world axis k over the
    centre slice, coloured by its local direction; those too short to count
    are black, a colour no direction has, so the broken ones show."""
    from matplotlib.collections import LineCollection

    a, b, _ = _background(ax, scene, k, radiological, dim=True)
    long_segments, long_colours, short_segments = [], [], []
    scale = scene.voxel
    for points in lines:
        if len(points) < 2:
            continue
        seg = np.stack([points[:-1][:, [a, b]], points[1:][:, [a, b]]], 1)
        if len(points) < min_points:
            short_segments.append(seg)
            continue
        step = np.diff(points, axis=0) * scale
        step /= np.maximum(np.linalg.norm(step, axis=1, keepdims=True), 1e-9)
        long_segments.append(seg)
        long_colours.append(_direction_colours(step))
    if short_segments:
        ax.add_collection(LineCollection(np.concatenate(short_segments), colors="black", linewidths=1.1,
                                         alpha=0.9, capstyle="round"))
    if long_segments:
        ax.add_collection(LineCollection(np.concatenate(long_segments), colors=np.concatenate(long_colours),
                                         linewidths=1.3, alpha=0.95, capstyle="round"))
    kept = sum(1 for p in lines if len(p) >= min_points)
    view = "from above" if k == 2 else "from the front" if k == 1 else "from the side"
    ax.set_title(f"streamlines seen {view}\n{kept} of {len(lines)} long enough", fontsize=11.5)


def _title(fig, report, command, source, decided, tracking):
    flip = report["flip"]
    name = os.path.basename(source) if source else "scan"
    from .verdict import lead_text, of_report

    if decided is None:
        decided = of_report(report)
    status, notes = decided.status, decided.notes
    lead = lead_text(decided)
    by = "the tracking" if decided.measure == "tracking" else "the coherence"
    mismatch = _mismatch_finding(report)
    if mismatch:
        said = f"the table does not belong to the image ({mismatch})"
    elif decided.orientation_unknown:
        said = "the image's orientation is unknown: the axes cannot be judged"
    elif decided.axes == "FLAG":
        said = f"{by} recommends {labelled(decided.recommended, decided.words)}, leading by {lead}"
    elif decided.axes == "PASS":
        said = f"the table as given scores best under {by}, by {lead}"
    elif decided.best is None:
        said = "no transform scores anything: the axes cannot be judged"
    elif decided.thin:
        said = f"{labelled(decided.best, decided.best_words)} scores best, but the evidence is too thin to judge"
    else:
        said = f"{labelled(decided.best, decided.best_words)} leads by {lead}, not clearly enough"
    # A note matters most when the verdict is not a plain PASS or FLAG, and
    # a disagreement of the measures always.
    shown = notes[0] if notes and status == "WARN" else next(
        (n for n in notes if n.startswith("the measures disagree")), None)
    second = f"{flip['n_wm_voxels']} white-matter voxels, b={flip['working_b']:g} shell"
    if tracking is not None:
        second += f", {tracking['parameters']['n_seeds']} tracking seeds"
    fig.suptitle(f"tarvix {command} — {name} — {status}: {said}\n{second}" + (f" — {shown}" if shown else ""),
                 fontsize=14, fontweight="bold", color="#b00000" if shown and status == "WARN" else "black")


def _mismatch_finding(report):
    """The first finding of a consistency test that FLAGs, or None."""
    c = report.get("consistency")
    if not c or c["status"] != "FLAG":
        return None
    return next((f for t in c["tests"].values() if t["status"] == "FLAG" for f in t["findings"]), None)


def draw_volume_means(panel, consistency):
    """Each volume's mean brain signal against the b-value the table gives it,
    the rows the table calls b=0 marked: b=0 rows belong at the top, each
    shell below the one before it, and a row out of its group stands out."""
    ax = panel.subplots(1, 1)
    means = np.asarray(consistency["volume_means"], float)
    bvals = np.asarray(consistency["bvals"], float)
    b0 = np.zeros(len(bvals), bool)
    b0[consistency["b0_volumes"]] = True
    flagged = consistency["status"] == "FLAG"
    ax.scatter(bvals[~b0], means[~b0], s=18, color="#4c72b0", label="weighted rows")
    ax.scatter(bvals[b0], means[b0], s=40, marker="D", facecolor="none", edgecolor="#c44e52", linewidth=1.5,
               label="rows the table calls b=0")
    for k in consistency["b0_volumes"]:
        ax.annotate(str(k), (bvals[k], means[k]), textcoords="offset points", xytext=(5, 2), fontsize=7,
                    color="#c44e52")
    ax.set_xlabel("b-value in the table (s/mm²)", fontsize=10)
    ax.set_ylabel("mean brain signal", fontsize=10)
    ax.set_title("Mean signal of each volume: " + ("the table does not match the image" if flagged
                                                    else "table and image agree" if consistency["status"] == "PASS"
                                                    else "table and image agree only partly"),
                 fontsize=11, color="#b00000" if flagged else "black")
    ax.legend(fontsize=8, frameon=False, loc="upper right")
    ax.grid(alpha=0.3)


def _legend_text(radiological, tracking):
    convention = ("radiological: the patient's right on the left" if radiological
                  else "neurological: the patient's right on the right")
    if tracking is None:
        return (f"Slices in world orientation from the image affine ({convention}).\n"
                "Background: FA inside the head on a square-root scale (black 0, mid-grey 0.25, white 1).  "
                "Lines: principal fibre direction of each white-matter voxel,\nprojected onto the slice; "
                "colour red / green / blue = along R-L / A-P / S-I.")
    return (f"Slices in world orientation from the image affine ({convention}).  Background: FA inside the head "
            "on a square-root scale (black 0, mid-grey 0.25, white 1).\n"
            "Short lines: principal fibre direction of each white-matter voxel, projected onto the slice.  "
            "Colour red / green / blue = along R-L / A-P / S-I.\n"
            "Streamlines: one sample of seeds tracked under each transform, projected onto the darkened slice; "
            f"black = shorter than {tracking['parameters']['min_length_mm']:g} mm (rejected).\n"
            "Right axes give long continuous tracks, wrong ones short broken pieces.")


def _bar_colours(entries, best_name):
    out = []
    for entry in entries:
        if _name(entry) == best_name:
            out.append(ROW_COLOURS["best"])
        elif identity_like(entry):
            out.append(ROW_COLOURS["identity"])
        else:
            out.append(ROW_COLOURS["other"])
    return out


def _bars(ax, positions, values, colours, threshold_line, fmt):
    from matplotlib.ticker import MaxNLocator

    # A transform one measure did not score (the coherence never reads the
    # table in the other frame) gets no bar.
    scored = [v for v in values if np.isfinite(v)]
    ax.barh(positions, [v if np.isfinite(v) else 0.0 for v in values], color=colours, height=0.75)
    top = max(scored) if scored else 1.0
    bottom = min(scored) if scored else 0.0
    span = max(top - bottom, 1e-9)
    ax.set_xlim(max(0.0, min(bottom, threshold_line) - 0.25 * span), top + 0.35 * span)
    ax.xaxis.set_major_locator(MaxNLocator(4))
    marker = ax.axvline(threshold_line, color="#e7298a", linestyle="--", linewidth=1.8)
    for pos, value, colour in zip(positions, values, colours):
        if colour != ROW_COLOURS["other"] and np.isfinite(value):
            ax.text(value, pos, " " + fmt(value), va="center", ha="left", fontsize=9)
    ax.tick_params(axis="x", labelsize=9)
    ax.margins(y=0.01)
    return marker


def _ylabels(entries):
    labels = []
    for entry in entries:
        labels.append(f"{_name(entry)}  {words_of(entry)}")
    return labels


def draw_coherence_bars(right, flip):
    """The 24 distinct coherence scores (each transform scores the same as its negation)."""
    from matplotlib.patches import Patch

    threshold = flip["margin_threshold"]
    distinct = distinct_ranking(flip["ranking"])
    ax = right.subplots(1, 1)
    values = [e["coherence"] for e in distinct]
    colours = _bar_colours(distinct, _name(flip["best"]))
    positions = np.arange(len(values))[::-1]
    marker = _bars(ax, positions, values, colours, flip["best"]["coherence"] * (1.0 - threshold), lambda v: f"{v:.4f}")
    ax.set_yticks(positions, _ylabels(distinct), fontfamily="monospace", fontsize=8.5)
    ax.set_title("Coherence of the 24 distinct\naxis conventions, best first", fontsize=12)
    ax.set_xlabel("coherence: how well fibre directions\nagree with their neighbours", fontsize=10)
    right.legend([Patch(color=ROW_COLOURS["best"]), Patch(color=ROW_COLOURS["identity"]), marker],
                 ["best", "table as given",
                  f"best − {threshold * 100:g}%: a clear winner has\nevery other score left of this line"],
                 loc="outside lower center", fontsize=10, frameon=False)


def draw_both_bars(right, flip, tracking):
    """The tracking's 24 mean lengths and, on the same rows, the coherence of
    each transform: rows in the tracking's order, best first."""
    from matplotlib.patches import Patch

    entries = tracking["ranking"]
    positions = np.arange(len(entries))[::-1]
    ax_t, ax_c = right.subplots(1, 2, sharey=True, gridspec_kw=dict(wspace=0.06))
    lengths = [e["mean_length_mm"] for e in entries]
    t_line = tracking["best"]["mean_length_mm"] * (1.0 - tracking["margin_threshold"])
    colours = _bar_colours(entries, tracking["best"]["label"])
    # The other frame's reading of the best axes, when the frame test kept the
    # declared one: the same axes, not a rival.
    kept = tracking.get("frame_test") or {}
    kept_label = kept.get("other_label") if kept and not kept.get("distinct") else None
    colours = [ROW_COLOURS["other_frame"] if e["label"] == kept_label else c for e, c in zip(entries, colours)]
    marker = _bars(ax_t, positions, lengths, colours, t_line, lambda v: f"{v:.1f}")
    ax_t.set_yticks(positions, _ylabels(entries), fontfamily="monospace", fontsize=8.5)
    ax_t.set_title("Tracking: mean streamline\nlength (mm), best first", fontsize=12)
    ax_t.set_xlabel("mm (a rejected seed counts 0)", fontsize=10)

    threshold = flip["margin_threshold"]
    scores = [_coherence_of(flip, e["label"]) for e in entries]
    _bars(ax_c, positions, scores, _bar_colours(entries, _name(flip["best"])),
          flip["best"]["coherence"] * (1.0 - threshold), lambda v: f"{v:.3f}")
    ax_c.tick_params(axis="y", left=False)
    ax_c.set_title("Coherence of the\nsame transforms", fontsize=12)
    ax_c.set_xlabel("coherence", fontsize=10)
    handles = [Patch(color=ROW_COLOURS["best"]), Patch(color=ROW_COLOURS["identity"]), marker]
    names = ["best of that measure", "table as given",
             f"best − its threshold ({tracking['margin_threshold'] * 100:g}% / {threshold * 100:g}%):\n"
             "a clear winner has every bar of other axes left of it"]
    if kept_label:
        handles.insert(2, Patch(color=ROW_COLOURS["other_frame"]))
        names.insert(2, "the best axes read in the other frame:\nnot told apart, the table's frame is kept")
    right.legend(handles, names, loc="outside lower center", fontsize=10, frameon=False)


def write_png(path: str, report: dict, glyphs: dict, source: str | None = None, command: str = "audit",
              verdict=None, radiological: bool = False, tracking: dict | None = None,
              streamlines: dict | None = None) -> None:
    """`verdict` is the command line's (a Verdict, or None for the module's
    status); `radiological` puts the patient's right on the left of axial and
    coronal slices (else the right is on the right, the neurological
    convention). With `tracking` (its record) and `streamlines` (the sample of
    the engine), the second row shows the tracking's other transform and its
    streamlines, and the bars show both measures."""
    from matplotlib.figure import Figure

    from .verdict import Verdict, of_report

    if not isinstance(verdict, Verdict):
        verdict = of_report(report)
    flip = report["flip"]
    scene = Scene(glyphs)
    with_tracks = tracking is not None and streamlines is not None

    if with_tracks:
        matrix, label, heading = tracking_comparison(tracking, streamlines["other_label"])
        given, other = _tracking_of(tracking, AS_GIVEN), _tracking_of(tracking, label)
        rows = [
            (np.eye(3), AS_GIVEN, "Table as given", given, scene.streamlines(streamlines["as_given"])),
            (np.asarray(matrix, float), label, heading, other, scene.streamlines(streamlines["other"])),
        ]
    else:
        matrix, label, heading = comparison(flip)
        rows = [(np.eye(3), AS_GIVEN, "Table as given", None, None),
                (np.asarray(matrix, float), label, heading, None, None)]

    fig = Figure(figsize=(24.0, 12.0) if with_tracks else (19.0, 10.5), dpi=100, layout="constrained",
                 facecolor="white")
    _title(fig, report, command, source, verdict, tracking)
    left, right = fig.subfigures(1, 2, width_ratios=[4.0, 2.0] if with_tracks else [3.0, 1.5], wspace=0.02)
    row_figs = left.subfigures(2, 1, hspace=0.04)
    step_mm = tracking["parameters"]["step_mm"] if with_tracks else 1.0
    min_points = int(np.ceil(tracking["parameters"]["min_length_mm"] / step_mm)) + 1 if with_tracks else 0

    for (transform, name, heading, score, lines), sub in zip(rows, row_figs):
        coherence = _coherence_of(flip, name)
        text = f"{heading}: " + (f"coherence {coherence:.4f}" if np.isfinite(coherence)
                                 else "coherence not scored (it reads the table in its declared frame only)")
        if score is not None:
            text += (f", mean streamline length {score['mean_length_mm']:.1f} mm ({score['n_streamlines']} of "
                     f"{tracking['parameters']['n_seeds']} seeds long enough)")
        sub.suptitle(text, fontsize=13, x=0.01, ha="left")
        directions = scene.directions(transform)
        # The streamlines are what the tracking judged: they get the larger panels.
        widths = [1.0] * len(GLYPH_PLANES) + ([1.45] * len(TRACK_PLANES) if lines is not None else [])
        axes = sub.subplots(1, len(widths), width_ratios=widths)
        for ax, k in zip(axes, GLYPH_PLANES):
            draw_glyphs(ax, scene, k, directions, radiological)
        if lines is not None:
            for ax, k in zip(axes[len(GLYPH_PLANES):], TRACK_PLANES):
                draw_streamlines(ax, scene, k, lines, radiological, min_points)
    left.supxlabel(_legend_text(radiological, tracking if with_tracks else None), fontsize=10.5)

    consistency = report.get("consistency")
    if consistency and consistency.get("volume_means"):
        right, panel = right.subfigures(2, 1, height_ratios=[3.0, 1.0], hspace=0.03)
        draw_volume_means(panel, consistency)
    if with_tracks:
        draw_both_bars(right, flip, tracking)
    else:
        draw_coherence_bars(right, flip)
    fig.savefig(path, format="png", dpi=100)
