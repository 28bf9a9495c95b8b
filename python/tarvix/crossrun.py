"""Runs of one acquisition usually share one gradient table. Before any image
is read, the runs of a dataset with the same number of volumes and the same
shells are compared: a run whose table is the group's most common table with
its axes swapped or negated gets a note naming the change.

Vendors fix their directions either in the image frame or in scanner
coordinates, so the comparison is made in both: a run equal to the common
table in either frame has nothing to say, and tables that merely differ (the
directions follow the slice angulation run by run) get no note either. The
note informs; the run's own image decides its status.

Only the table files and each image's header (its affine) are read here."""

from __future__ import annotations

import gzip
import json
import itertools
import struct

import numpy as np

B0_THRESHOLD = 50.0
SHELL_STEP = 100.0  # b-values are one shell when they round to the same multiple of this
# Two directions are one when their axes are within about 2 degrees (either sign:
# a diffusion direction and its opposite are the same measurement).
SAME_AXIS = float(np.cos(np.radians(2.0)))

AXES = "xyz"


def _classes() -> list[np.ndarray]:
    """The 23 signed permutations other than the identity, one per class of
    P and -P (which give the same measurement): the member with fewer negations."""
    found = {}
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product((1, -1), repeat=3):
            m = np.zeros((3, 3))
            m[range(3), perm] = signs
            if sum(s < 0 for s in signs) > 1:
                m = -m
            m = m + 0.0  # no negative zeros in the key
            if not np.array_equal(m, np.eye(3)):
                found[m.tobytes()] = m
    return list(found.values())


CLASSES = _classes()


def label(m: np.ndarray) -> str:
    """'-x+y+z': what each axis of the run's table holds of the others' table."""
    out = []
    for row in m:
        col = int(np.flatnonzero(row)[0])
        out.append(("+" if row[col] > 0 else "-") + AXES[col])
    return "".join(out)


def words(m: np.ndarray) -> str:
    perm = [int(np.flatnonzero(row)[0]) for row in m]
    negated = [AXES[r] for r, row in enumerate(m) if row[perm[r]] < 0]
    moved = [AXES[r] for r in range(3) if perm[r] != r]
    if not moved:
        return " and ".join(negated) + " negated"
    if len(moved) == 2 and not negated:
        return f"{moved[0]} and {moved[1]} swapped"
    return f"its axes read as {label(m)}"


# --- reading ---------------------------------------------------------------------


def read_table(bvec: str, bval: str) -> tuple[np.ndarray, np.ndarray] | None:
    """(b-values, directions as rows) of an FSL table, or None when it is not one."""
    try:
        with open(bval, encoding="utf-8") as f:
            b = np.array(f.read().split(), dtype=float)
        with open(bvec, encoding="utf-8") as f:
            rows = [line.split() for line in f if line.strip()]
        g = np.array(rows, dtype=float)
    except (OSError, ValueError, UnicodeDecodeError):
        return None
    if g.ndim != 2 or not np.all(np.isfinite(g)) or not np.all(np.isfinite(b)):
        return None
    if g.shape == (3, len(b)):
        g = g.T
    if g.shape != (len(b), 3):
        return None
    return b, g


def nifti_geometry(path: str) -> tuple[tuple[int, ...], np.ndarray] | None:
    """(spatial grid size, 4x4 affine) from a NIfTI-1 header: the sform when it
    is set, else the qform; None when the header cannot be read or gives no frame."""
    try:
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rb") as f:
            header = f.read(348)
    except (OSError, EOFError, gzip.BadGzipFile):
        return None
    if len(header) < 348:
        return None
    for order in "<>":
        if struct.unpack(order + "i", header[:4])[0] == 348:
            break
    else:
        return None
    dims = struct.unpack(order + "8h", header[40:56])
    pixdim = struct.unpack(order + "8f", header[76:108])
    qform_code, sform_code = struct.unpack(order + "2h", header[252:256])
    if sform_code > 0:
        rows = struct.unpack(order + "12f", header[280:328])
        affine = np.vstack([np.array(rows).reshape(3, 4), [0, 0, 0, 1]])
    elif qform_code > 0:
        b, c, d, qx, qy, qz = struct.unpack(order + "6f", header[256:280])
        a = np.sqrt(max(0.0, 1.0 - (b * b + c * c + d * d)))
        r = np.array([[a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)],
                      [2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)],
                      [2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - b * b - c * c]])
        qfac = -1.0 if pixdim[0] < 0 else 1.0
        scale = np.array([pixdim[1], pixdim[2], pixdim[3] * qfac])
        affine = np.eye(4)
        affine[:3, :3] = r * scale
        affine[:3, 3] = (qx, qy, qz)
    else:
        return None
    if not np.all(np.isfinite(affine)) or abs(np.linalg.det(affine[:3, :3])) < 1e-12:
        return None
    return tuple(int(n) for n in dims[1:4]), affine


# --- comparing ---------------------------------------------------------------------


def frames(g: np.ndarray, affine: np.ndarray | None) -> dict[str, np.ndarray]:
    """The table's directions (unit rows, zero rows kept at zero) in the image
    frame and, with an affine, in scanner coordinates."""
    norms = np.linalg.norm(g, axis=1, keepdims=True)
    unit = np.divide(g, norms, out=np.zeros_like(g), where=norms > 0)
    if affine is None:
        return {"image": unit}
    columns = _axes(affine)
    fsl = np.diag([-1.0, 1.0, 1.0]) if np.linalg.det(affine[:3, :3]) > 0 else np.eye(3)
    voxel = unit @ fsl.T
    return {"image": voxel, "scanner": voxel @ columns.T}


def same(a: np.ndarray, b: np.ndarray, weighted: np.ndarray) -> bool:
    """Every weighted direction of `b` on the same axis as `a`'s."""
    return bool(np.all(np.abs(np.sum(a[weighted] * b[weighted], axis=1)) >= SAME_AXIS))


def shells_key(b: np.ndarray) -> tuple:
    """The shell of each volume (0 for b=0): tables compared row by row must
    agree on it, and then share their volume count and shells too."""
    return tuple(round(v / SHELL_STEP) if v > B0_THRESHOLD else 0 for v in b)


def phase_axis(sidecar: str | None) -> str | None:
    """The phase-encoding axis (i, j or k) the run's BIDS sidecar gives, if any.
    Vendors that keep a table in the readout/phase/slice frame give a run
    encoded along another axis the same directions on other image axes: such
    runs are another acquisition, compared only among themselves."""
    if not sidecar:
        return None
    try:
        with open(sidecar, encoding="utf-8") as f:
            fields = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(fields, dict):
        return None
    for key in ("PhaseEncodingDirection", "PhaseEncodingAxis"):
        value = fields.get(key)
        if isinstance(value, str) and value[:1] in ("i", "j", "k"):
            return value[:1]
    return None


def check(runs: list[dict]) -> dict[int, dict]:
    """runs: {"name", "bvec", "bval", "dwi", "sidecar" (or None)} each.
    Returns, by index into runs, {"note", "transform", "frame", "reference"
    and, when it is an axis transform of the run's table, "correction"} for
    every run whose table is its group's most common one under a signed
    permutation (and equal to it in neither frame)."""
    loaded = {}
    for i, run in enumerate(runs):
        table = read_table(run["bvec"], run["bval"])
        if table is None:
            continue
        geometry = nifti_geometry(run["dwi"])
        loaded[i] = (table[0], frames(table[1], geometry[1] if geometry else None),
                     geometry[1] if geometry else None)
    groups: dict[tuple, list[int]] = {}
    for i, (b, _, _) in loaded.items():
        groups.setdefault((shells_key(b), phase_axis(runs[i].get("sidecar"))), []).append(i)
    notes = {}
    for members in groups.values():
        if len(members) < 3:
            continue  # two tables that differ give no "most common" one
        weighted = loaded[members[0]][0] > B0_THRESHOLD
        modes = {}
        for frame in ("image", "scanner"):
            with_frame = [i for i in members if frame in loaded[i][1]]
            modes[frame] = _mode(with_frame, frame, loaded, weighted)
        for i in members:
            if any(mode and f in loaded[i][1] and same(loaded[i][1][f], loaded[mode[0]][1][f], weighted)
                   for f, mode in modes.items()):
                continue  # the common table itself in one frame: consistent
            for frame, mode in modes.items():
                if not mode or frame not in loaded[i][1]:
                    continue
                found = _permutation(loaded[mode[0]][1][frame], loaded[i][1][frame], weighted)
                if frame == "image" and found is not None and \
                        _follows_image(found, loaded[i][2], loaded[mode[0]][2]):
                    # The table turned with the image's axes (another slice orientation): the
                    # same directions in the scanner, up to the angulation.
                    continue
                if found is not None:
                    entities = runs[i]["name"].removesuffix("_dwi")
                    frame_words = "image frame" if frame == "image" else "scanner coordinates"
                    notes[i] = {"note": f"{entities}'s table is the others' with {words(found)} (in the "
                                        f"{frame_words}, against {len(mode)} runs sharing one table)",
                                "transform": label(found), "frame": frame,
                                "reference": [runs[k]["name"] for k in mode]}
                    undo = correction(found, frame, loaded[i][2])
                    if undo is not None:
                        notes[i]["correction"] = label(undo)
                    break
    return notes


def _axes(affine: np.ndarray) -> np.ndarray:
    return affine[:3, :3] / np.linalg.norm(affine[:3, :3], axis=0)


def _nearest_permutation(m: np.ndarray) -> np.ndarray | None:
    out = np.zeros((3, 3))
    for row in range(3):
        col = int(np.argmax(np.abs(m[row])))
        out[row, col] = np.sign(m[row, col])
    return out if np.allclose(np.abs(out).sum(axis=0), 1) else None


def _follows_image(found: np.ndarray, affine: np.ndarray | None, reference: np.ndarray | None) -> bool:
    """Whether the run's image axes relate to the reference run's as its table
    relates to theirs (up to the sign of the whole table)."""
    if affine is None or reference is None:
        return False
    turn = _nearest_permutation(_axes(affine).T @ _axes(reference))
    return turn is not None and (np.array_equal(turn, found) or np.array_equal(-turn, found))


def correction(found: np.ndarray, frame: str, affine: np.ndarray | None) -> np.ndarray | None:
    """The transform of the run's own table (in its bvec frame) that makes it
    the others': when the others' table is right, what the run's verdict
    should recommend. None when it is no axis transform there (an oblique
    image, for a difference found in scanner coordinates)."""
    fsl = np.eye(3)
    if affine is not None and np.linalg.det(affine[:3, :3]) > 0:
        fsl = np.diag([-1.0, 1.0, 1.0])
    if frame == "image":
        undo = fsl @ found.T @ fsl
    else:
        if affine is None:
            return None
        columns = _axes(affine)
        undo = fsl @ columns.T @ found.T @ columns @ fsl
    rounded = np.round(undo)
    if not np.allclose(undo, rounded, atol=1e-3) or not np.allclose(np.abs(rounded).sum(axis=0), 1):
        return None
    return rounded + 0.0


def from_label(text: str) -> np.ndarray | None:
    """'-x+y+z' as a matrix, None when it is not such a label."""
    if not isinstance(text, str) or len(text) != 6:
        return None
    m = np.zeros((3, 3))
    for row in range(3):
        sign, axis = text[2 * row], text[2 * row + 1]
        if sign not in "+-" or axis not in AXES:
            return None
        m[row, AXES.index(axis)] = 1.0 if sign == "+" else -1.0
    return m


def same_class(a: str, b: str) -> bool:
    """Two axis transforms that give the same measurement (equal, or opposite)."""
    ma, mb = from_label(a), from_label(b)
    return ma is not None and mb is not None and (np.array_equal(ma, mb) or np.array_equal(ma, -mb))


def with_verdict(cross_run: dict, status: str, recommended: str | None) -> str:
    """The note once the run's own verdict is known: the image decides; the
    note corroborates a FLAG that recommends the same fix, and may explain a WARN."""
    note = cross_run["note"]
    if status == "FLAG" and cross_run.get("correction") and same_class(recommended, cross_run["correction"]):
        return f"{note}; the run's own verdict (FLAG, {recommended}) agrees"
    if status == "FLAG":
        return f"{note}; the run's own verdict recommends {recommended or 'another transform'}, which decides"
    if status == "WARN":
        return f"{note}; this may explain the WARN: the image alone could not decide"
    return f"{note}; the run's own verdict is PASS, which decides"


def _mode(members: list[int], frame: str, loaded: dict, weighted: np.ndarray) -> list[int] | None:
    """The runs sharing the most common table in this frame, when one table is
    shared by more runs than any other and by at least two."""
    clusters: list[list[int]] = []
    for i in members:
        for cluster in clusters:
            if same(loaded[cluster[0]][1][frame], loaded[i][1][frame], weighted):
                cluster.append(i)
                break
        else:
            clusters.append([i])
    clusters.sort(key=len, reverse=True)
    if not clusters or len(clusters[0]) < 2 or (len(clusters) > 1 and len(clusters[1]) == len(clusters[0])):
        return None
    return clusters[0]


def _permutation(common: np.ndarray, table: np.ndarray, weighted: np.ndarray) -> np.ndarray | None:
    for m in CLASSES:
        if same(common @ m.T, table, weighted):
            return m
    return None
