"""The QC picture: fibre directions on three slices, before and after the
transform, and the score of every candidate.

Drawn from the glyph payload of the module's glyph variants, so nothing is
refitted. matplotlib (and numpy, which it brings) is imported only here."""

from __future__ import annotations

import os

import numpy as np

from .summary import describe_transform, distinct_ranking, labelled

POSITIVE = ("R", "A", "S")
NEGATIVE = ("L", "P", "I")
PLANE = ("sagittal", "coronal", "axial")  # by the world axis the slice normal follows

ROW_COLOURS = {"best": "#d95f02", "identity": "#1f78b4", "other": "#b8b8b8"}


def _is_identity_like(matrix) -> bool:
    flat = [v for row in matrix for v in row]
    eye = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
    return flat == eye or flat == [-v for v in eye]


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


def comparison(flip):
    """The transform for the second row and how to call it."""
    if flip.get("recommended_transform") is not None:
        label = flip["recommended_label"]
        return flip["recommended_transform"], label, f"With the recommended transform {label}"
    best = flip["best"]
    if not _is_identity_like(best["matrix"]):
        return best["matrix"], best["label"], f"With the best-scoring transform {best['label']} (lead too small to recommend)"
    # The table as given wins: a second copy of it would show nothing new.
    runner = flip["runner_up"]
    return runner["matrix"], runner["label"], f"For comparison, with the runner-up {runner['label']}"


def _coherence_of(flip, label):
    for entry in flip["ranking"]:
        if entry["label"] == label:
            return entry["coherence"]
    return float("nan")


def write_png(path: str, report: dict, glyphs: dict, source: str | None = None, command: str = "audit",
              verdict=None, radiological: bool = False) -> None:
    """`verdict` is the command line's (status, notes); `radiological` puts the
    patient's right on the left of axial and coronal slices (else the right is
    on the right, the neurological convention)."""
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure
    from matplotlib.colors import PowerNorm
    from matplotlib.patches import Patch
    from matplotlib.ticker import MaxNLocator

    flip = report["flip"]
    nx, ny, nz = (int(n) for n in glyphs["shape"])
    v1 = np.frombuffer(glyphs["v1"], dtype="<f4").reshape(nx, ny, nz, 3).astype(float)
    fa = np.frombuffer(glyphs["fa"], dtype="<f4").reshape(nx, ny, nz).astype(float)
    s0 = np.frombuffer(glyphs["s0"], dtype="<f4").reshape(nx, ny, nz).astype(float)
    # FA of the background is noise; hiding it lets the head's outline show.
    bright = s0[np.isfinite(s0)]
    floor = 0.1 * np.percentile(bright, 99) if bright.size else 0.0
    fa = np.where(s0 >= floor, np.nan_to_num(fa), 0.0)
    mask = np.frombuffer(glyphs["mask"], dtype=np.uint8).reshape(nx, ny, nz).astype(bool)
    affine = glyphs["affine"]
    voxel = np.asarray(glyphs["voxel_sizes"], float)
    voxel = np.where(voxel > 0, voxel, 1.0)
    frame = np.asarray(glyphs["frame_map"], float)
    # Shown as viewers show it: world axes R, A, S from the affine, not the
    # order the voxels happen to be stored in.
    order, flips = ras_order(affine)
    sign = np.array([-1.0 if f else 1.0 for f in flips])
    fa, mask, v1 = to_ras(fa, order, flips), to_ras(mask, order, flips), to_ras(v1, order, flips)
    voxel = voxel[order]
    shape = np.array(fa.shape)

    matrix, label, heading = comparison(flip)
    rows = [
        (np.eye(3), f"Table as given: coherence {flip['identity_coherence']:.4f}"),
        (np.asarray(matrix, float), f"{heading}: coherence {_coherence_of(flip, label):.4f}"),
    ]

    # Slices through the centre of the white-matter mask, cropped to its extent.
    if mask.any():
        where = np.argwhere(mask)
        centre = np.rint(where.mean(axis=0)).astype(int)
        low = np.maximum(where.min(axis=0) - 2, 0)
        high = np.minimum(where.max(axis=0) + 2, shape - 1)
    else:
        centre = shape // 2
        low, high = np.zeros(3, int), shape - 1
    planes = (2, 1, 0)  # axial, coronal, sagittal: by the world axis of the slice normal

    fig = Figure(figsize=(19.0, 10.5), dpi=100, layout="constrained", facecolor="white")
    name = os.path.basename(source) if source else "scan"
    decision = flip["decision"]
    threshold = flip.get("margin_threshold", 0.02)
    status, notes = verdict or (report["status"], [])
    if decision == "PASS":
        said = "the table as given scores best"
    else:
        said = (f"{labelled(flip['best']['label'])} leads {flip['runner_up']['label']} by "
                f"{flip['relative_margin'] * 100:.2f}% (threshold {threshold * 100:g}%)")
    fig.suptitle(f"tarvix {command} — {name} — {status}: {said}\n"
                 f"{flip['n_wm_voxels']} white-matter voxels, b={flip['working_b']:g} shell"
                 + (f" — {notes[0]}" if notes else ""), fontsize=14, fontweight="bold",
                 color="#b00000" if notes else "black")
    left, right = fig.subfigures(1, 2, width_ratios=[3.0, 1.5], wspace=0.02)
    row_figs = left.subfigures(2, 1, hspace=0.04)

    for (transform, heading), sub in zip(rows, row_figs):
        sub.suptitle(heading, fontsize=13, x=0.01, ha="left")
        # Voxel-axis components, then turned like the slices into R, A, S.
        directions = (v1 @ (frame @ transform).T)[..., order] * sign
        axes = sub.subplots(1, 3)
        for ax, k in zip(axes, planes):
            a, b = [i for i in range(3) if i != k]
            index = [slice(None)] * 3
            index[k] = int(centre[k])
            index = tuple(index)
            fa_slice, mask_slice, d_slice = fa[index], mask[index], directions[index]
            mirror = radiological and a == 0
            # A square-root scale lifts the low FA of grey matter out of the dark.
            ax.imshow(fa_slice.T, origin="lower", cmap="gray", norm=PowerNorm(0.5, vmin=0.0, vmax=1.0),
                      interpolation="nearest",
                      extent=(-0.5, fa_slice.shape[0] - 0.5, -0.5, fa_slice.shape[1] - 0.5),
                      aspect=voxel[b] / voxel[a])
            ia, ib = np.nonzero(mask_slice)
            d = d_slice[ia, ib]
            half = 0.48 * min(voxel[a], voxel[b])
            da, db = d[:, a] * half / voxel[a], d[:, b] * half / voxel[b]
            segments = np.stack([np.stack([ia - da, ib - db], 1), np.stack([ia + da, ib + db], 1)], 1)
            colours = np.clip(np.abs(d), 0.0, 1.0)
            colours = colours / np.maximum(colours.max(axis=1, keepdims=True), 1e-9)
            ax.add_collection(LineCollection(segments, colors=colours, linewidths=2.4, capstyle="round"))
            ax.set_xlim(*((high[a] + 0.5, low[a] - 0.5) if mirror else (low[a] - 0.5, high[a] + 0.5)))
            ax.set_ylim(low[b] - 0.5, high[b] + 0.5)
            ax.set_title(f"{PLANE[k]}, slice {int(centre[k]) + 1} of {shape[k]}", fontsize=12)
            ax.set_xticks([])
            ax.set_yticks([])
            ends_a = (POSITIVE[a], NEGATIVE[a]) if mirror else (NEGATIVE[a], POSITIVE[a])
            style = dict(transform=ax.transAxes, fontsize=14, fontweight="bold", color="#ffd92f",
                         bbox=dict(boxstyle="round,pad=0.15", facecolor="black", alpha=0.6, linewidth=0))
            ax.text(0.015, 0.5, ends_a[0], ha="left", va="center", **style)
            ax.text(0.985, 0.5, ends_a[1], ha="right", va="center", **style)
            ax.text(0.5, 0.015, NEGATIVE[b], ha="center", va="bottom", **style)
            ax.text(0.5, 0.985, POSITIVE[b], ha="center", va="top", **style)
    convention = ("radiological: the patient's right on the left" if radiological
                  else "neurological: the patient's right on the right")
    left.supxlabel(f"Slices in world orientation from the image affine ({convention}).\n"
                   "Background: FA inside the head on a square-root scale (black 0, mid-grey 0.25, white 1).  "
                   "Lines: principal fibre direction of each white-matter voxel,\nprojected onto the slice; "
                   "colour red / green / blue = along R-L / A-P / S-I.", fontsize=10.5)

    # The 24 distinct scores (each transform scores the same as its negation).
    distinct = distinct_ranking(flip["ranking"])
    ax = right.subplots(1, 1)
    labels, values, colours = [], [], []
    best_label = flip["best"]["label"]
    for entry in distinct:
        identity = _is_identity_like(entry["matrix"])
        words = "as given" if identity else describe_transform(entry["label"])
        labels.append(f"{entry['label']}  {words}")
        values.append(entry["coherence"])
        colours.append(ROW_COLOURS["best"] if entry["label"] == best_label
                       else ROW_COLOURS["identity"] if identity else ROW_COLOURS["other"])
    positions = np.arange(len(values))[::-1]
    ax.barh(positions, values, color=colours, height=0.75)
    ax.set_yticks(positions, labels, fontfamily="monospace", fontsize=8.5)
    top = max(values) if values else 1.0
    bottom = min(values) if values else 0.0
    span = max(top - bottom, 0.02)
    line = flip["best"]["coherence"] * (1.0 - threshold)
    ax.set_xlim(max(0.0, min(bottom, line) - 0.25 * span), top + 0.12 * span)
    ax.xaxis.set_major_locator(MaxNLocator(4))
    marker = ax.axvline(line, color="#e7298a", linestyle="--", linewidth=1.8)
    for pos, value, colour in zip(positions, values, colours):
        if colour != ROW_COLOURS["other"]:
            ax.text(value, pos, f" {value:.4f}", va="center", ha="left", fontsize=9.5)
    ax.set_title("Coherence of the 24 distinct\naxis conventions, best first", fontsize=12)
    ax.set_xlabel("coherence: how well fibre directions\nagree with their neighbours", fontsize=10)
    right.legend([Patch(color=ROW_COLOURS["best"]), Patch(color=ROW_COLOURS["identity"]), marker],
                 ["best", "table as given",
                  f"best − {threshold * 100:g}%: a clear winner has\nevery other score left of this line"],
                 loc="outside lower center", fontsize=10, frameon=False)
    ax.tick_params(axis="x", labelsize=9)
    ax.margins(y=0.01)

    fig.savefig(path, format="png", dpi=100)
