"""Accuracy of the two flip measures, coherence and fibre tracking, on a
generated benchmark set.

The set: head-shaped phantoms with straight, curved and crossing bundles at
1.5, 2.5 and 5 mm voxels (and 2x2x4 mm) and three noise levels. Each image
gets the correct FSL table and eight corrupted ones (each single flip, two swaps, a cyclic
permutation, a swap with a flip); an oblique copy of it gets a correct MRtrix
table and one with a flip in the world frame, and the frame mistakes: a bvec
holding scanner coordinates and a .b table holding image-axis components,
each also with a flip on top (a rotation no signed permutation reaches; the
tracking reads the table in both frames). Every table is measured with the
automatic white-matter mask and with a whole-head mask, and on a crop of the
image inside the head without a mask ("crop": no background, the white matter
darker than the grey matter on the baseline, as on a crop inside a brain).

For both measures it prints, per voxel size, noise level and mask: how often
the best candidate is the right one, the PASS / WARN / FLAG counts on correct
and on corrupted tables (with how many FLAGs recommend the right transform),
and the median and minimum relative margin; then the totals and the tracking
targets; then the frame cases (the tracking alone: the coherence reads the
table in its declared frame only) with the tracking stage's time beside that
of the axis-aligned cases of the same grids. Data goes to bench/data/tracking/ (generated on first use, reused).

Then the speed on the clinical-sized scan of run.py (96x96x60, 65 volumes):
the audit with the tracking measure against the plain audit, both with two
threads, interleaved in one run (medians of 5), and the tracking stage alone
on one and on two threads; the same on an oblique copy of that scan, where
both frames are read. Targets: audit with tracking at most 1.3x the plain
audit, the stage under 0.1 s on two threads, and on the oblique copy at most
twice the axis-aligned stage.

Usage: python bench/tracking_accuracy.py [--voxels 2.5 ...] [--no-speed]
       python bench/tracking_accuracy.py --real DIR   (frame mistakes on real series)
"""

import argparse
import importlib.util
import json
import os
import pathlib
import statistics
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
DATA = HERE / "data" / "tracking"

# The generator of the source tree, which may be newer than an installed package.
_module_spec = importlib.util.spec_from_file_location("tarvix_synthetic", ROOT / "python" / "tarvix" / "synthetic.py")
synthetic = importlib.util.module_from_spec(_module_spec)
_module_spec.loader.exec_module(synthetic)

# Voxel sizes (mm) and grid, by name: heads of 120 to 160 mm, small enough to
# keep the run short; 2x2x4 is a clinical scan with thick slices.
GRIDS = {"1.5": ((1.5, 1.5, 1.5), (80, 80, 56)), "2.5": ((2.5, 2.5, 2.5), (56, 56, 40)),
         "5": ((5.0, 5.0, 5.0), (32, 32, 24)), "2x2x4": ((2.0, 2.0, 4.0), (64, 64, 32))}
# b=0 signal-to-noise ratios; 20 is what a clinical scan gives, 10 a poor one.
NOISE = {"high": 40.0, "realistic": 20.0, "low": 10.0}
REALISTIC = ("high", "realistic")
SCHEME = dict(shells=(1000.0,), n_dirs=30, n_b0=6)
CORRUPTIONS = ["-x+y+z", "+x-y+z", "+x+y-z", "+y+x+z", "+x+z+y", "+y+z+x", "-y+x+z", "+z-y+x"]
WORLD_FLIP = "+x-y+z"
# Tables written in the other frame: (file kind, flip on top, name).
FRAME_MISTAKES = [("bvec", None, "bvec-in-scanner"), ("bvec", "+x+y-z", "bvec-in-scanner+z"),
                  ("b", None, "b-on-image-axes"), ("b", "-x+y+z", "b-on-image-axes+x")]
FRAME_RIGHT_DEG = 1.0
SEED = 11

# Tracking targets.
TARGET_MEDIAN_MARGIN = 0.10
TARGET_STAGE_S = 0.1
TARGET_AUDIT_RATIO = 1.3
TARGET_FRAME_STAGE_RATIO = 2.0
TARGET_FRAME_MEDIAN_MARGIN = 0.25
# A crop inside the head is tracked without a mask when it holds this many
# trackable voxels (the measure's own minimum).
MIN_CROP_TRACKABLE = 200


def fix_for(label):
    """The candidate that undoes a corruption: the inverse of its matrix."""
    return np.eye(3) if label is None else synthetic.signed_permutation(label).T


def axes_angle_deg(a, b):
    """Angle of the rotation between two transforms, a transform and its
    negation counting as one."""
    r = np.asarray(a, float).T @ np.asarray(b, float)
    if np.linalg.det(r) < 0:
        r = -r
    return float(np.degrees(np.arccos(np.clip((np.trace(r) - 1.0) / 2.0, -1.0, 1.0))))


def frame_maps(affine):
    """The bvec and the MRtrix frame to the voxel axes."""
    return synthetic.fsl_mirror(affine), synthetic.voxel_to_world(affine).T


def same_axes(a, b):
    """Equal up to sign: a matrix and its negation correct a table alike."""
    a, b = np.asarray(a, float), np.asarray(b, float)
    return bool(np.array_equal(a, b) or np.array_equal(a, -b))


def image_cases(voxel, noise, affine_name, tables, mrtrix):
    """Writes one phantom and its tables (when not there yet) and lists the
    cases: one per table and mask kind."""
    sizes, shape = GRIDS[voxel]
    stem = f"v{voxel}-{noise}-{affine_name}"
    folder = DATA / stem
    stamp = folder / "stamp.json"
    scheme = {k: list(v) if isinstance(v, tuple) else v for k, v in SCHEME.items()}
    settings = dict(shape=list(shape), voxel=list(sizes), snr=NOISE[noise], affine=affine_name, tables=tables,
                    mrtrix=mrtrix, seed=SEED, scheme=scheme, crop=True)
    affine = synthetic.affine_preset(affine_name, sizes, shape)
    ext = "b" if mrtrix else "bvec"
    if not (stamp.exists() and json.loads(stamp.read_text()) == settings):
        folder.mkdir(parents=True, exist_ok=True)
        bvals, dirs = synthetic.make_scheme(**SCHEME)
        data, _ = synthetic.make_phantom(shape, affine, bvals, dirs, snr=NOISE[noise], seed=SEED, crossing=True)
        synthetic.write_nifti(folder / "dwi.nii.gz", data, affine, compresslevel=1)
        head = synthetic.head_mask(shape, sizes)
        synthetic.write_nifti(folder / "brainmask.nii", head, affine)
        # The crop keeps the voxel axes, so the same tables fit it.
        box = inner_box(head != 0)
        cropped = affine.copy()
        cropped[:3, 3] = affine[:3, :3] @ np.array([b.start for b in box], float) + affine[:3, 3]
        synthetic.write_nifti(folder / "crop.nii.gz", np.ascontiguousarray(data[box]), cropped, compresslevel=1)
        for t in tables:
            synthetic.write_table(str(folder), t or "correct", bvals, dirs, affine, t, mrtrix)
        stamp.write_text(json.dumps(settings))
    cases = []
    for t in tables:
        name = t or "correct"
        table = {"grad": str(folder / f"{name}.b")} if mrtrix else {
            "bvec": str(folder / f"{name}.bvec"), "bval": str(folder / f"{name}.bval")}
        assert os.path.exists(folder / f"{name}.{ext}")
        for mask in ("auto", "head", "crop"):
            cases.append(dict(voxel=voxel, noise=noise, table=("mrtrix " if mrtrix else "") + name,
                              corrupted=t is not None, fix=fix_for(t), mask=mask,
                              args=dict(dwi=str(folder / ("crop.nii.gz" if mask == "crop" else "dwi.nii.gz")), **table,
                                        **({"mask": str(folder / "brainmask.nii")} if mask == "head" else {}))))
    return cases


def inner_box(head):
    """The largest centred box, shrunk alike on every axis, inside the head."""
    centre, half = np.array(head.shape) // 2, np.array(head.shape) // 2
    for k in range(1, 100):
        h = np.maximum(half * (100 - k) // 100, 1)
        box = tuple(slice(c - s, c + s) for c, s in zip(centre, h))
        if head[box].all():
            return box
    raise ValueError("no box inside the head")


def benchmark_set(voxels):
    cases = []
    for voxel in voxels:
        for noise in NOISE:
            cases += image_cases(voxel, noise, "LAS", [None] + CORRUPTIONS, mrtrix=False)
            cases += image_cases(voxel, noise, "oblique", [None, WORLD_FLIP], mrtrix=True)
    return cases


def frame_cases(voxel, noise):
    """The frame mistakes on the oblique image of image_cases (its tables
    written beside the others when not there yet), and a correct bvec."""
    image_cases(voxel, noise, "oblique", [None, WORLD_FLIP], mrtrix=True)
    sizes, shape = GRIDS[voxel]
    folder = DATA / f"v{voxel}-{noise}-oblique"
    affine = synthetic.affine_preset("oblique", sizes, shape)
    fsl, world = frame_maps(affine)
    stamp = folder / "frames.json"
    settings = dict(mistakes=FRAME_MISTAKES, seed=SEED)
    if not (stamp.exists() and json.loads(stamp.read_text()) == settings):
        bvals, dirs = synthetic.make_scheme(**SCHEME)
        synthetic.write_table(str(folder), "correct-bvec", bvals, dirs, affine)
        for kind, flip, name in FRAME_MISTAKES:
            synthetic.write_table(str(folder), name, bvals, dirs, affine, flip, mrtrix=kind == "b", wrong_frame=True)
        stamp.write_text(json.dumps(settings))
    cases = []
    for kind, flip, name in [("bvec", None, "correct-bvec"), *FRAME_MISTAKES]:
        declared, other = (world, fsl) if kind == "b" else (fsl, world)
        wrong = name != "correct-bvec"
        # Read in the declared frame, the table needs F_declared^-1 F_written, the flip undone first.
        fix = declared.T @ (other if wrong else declared) @ fix_for(flip)
        table = {"grad": str(folder / f"{name}.b")} if kind == "b" else {
            "bvec": str(folder / f"{name}.bvec"), "bval": str(folder / f"{name}.bval")}
        for mask in ("auto", "head", "crop"):
            cases.append(dict(voxel=voxel, noise=noise, table=name, corrupted=wrong, fix=fix, mask=mask, frame=wrong,
                              args=dict(dwi=str(folder / ("crop.nii.gz" if mask == "crop" else "dwi.nii.gz")), **table,
                                        **({"mask": str(folder / "brainmask.nii")} if mask == "head" else {}))))
    return cases


def measure_records(args, threads=2):
    """The coherence (the report's flip section) and tracking records of one
    scan, from one engine audit: one read, one fit."""
    from tarvix import _engine

    result = _engine.detect_flip(tracking=True, threads=threads, **args)
    return json.loads(result["report"])["flip"], json.loads(result["tracking"]), result["tracking_seconds"]


def outcome(record, case):
    """Best right, decision, FLAG with the right transform, relative margin.
    A frame correction is right within FRAME_RIGHT_DEG (it is a rotation
    computed from the affine); a signed permutation only exactly."""
    def right(m):
        if case.get("frame"):
            return axes_angle_deg(m, case["fix"]) < FRAME_RIGHT_DEG
        return same_axes(m, case["fix"])

    best_right = right(record["best"]["matrix"])
    rec = record.get("recommended_transform")
    flag_right = record["decision"] == "FLAG" and rec is not None and right(rec)
    return dict(best_right=best_right, decision=record["decision"], flag_right=flag_right,
                margin=record["relative_margin"], trackable=record.get("n_trackable"))


def summarise(rows):
    """One line of counts for a group of outcomes of one measure."""
    n = len(rows)
    right = sum(r["best_right"] for r in rows)
    correct = [r for r in rows if not r["corrupted"]]
    bad = [r for r in rows if r["corrupted"]]

    def pwf(group):
        return "/".join(str(sum(r["decision"] == d for r in group)) for d in ("PASS", "WARN", "FLAG"))

    margins = [r["margin"] for r in rows]
    flag_right = sum(r["flag_right"] for r in bad)
    return (f"{right:>3}/{n:<3} {pwf(correct):>9} {pwf(bad):>10} {flag_right:>4} "
            f"{statistics.median(margins):>7.3f} {min(margins):>7.3f}")


def print_table(results):
    groups = {}
    for r in results:
        groups.setdefault((r["voxel"], r["noise"], r["mask"]), []).append(r)
    head = f"{'best':>7} {'correct':>9} {'corrupted':>10} {'FLAG':>4} {'median':>7} {'min':>7}"
    print(f"  {'':<6}{'':<10}{'':<5} | {'coherence':<50}| tracking")
    print(f"  {'voxel':<6}{'noise':<10}{'mask':<5} | {head} | {head}")
    print(f"  {'':<6}{'':<10}{'':<5} | {'right':>7} {'P/W/F':>9} {'P/W/F':>10} {'right':>4} {'margin':>7} {'margin':>7}")
    for (voxel, noise, mask), rows in groups.items():
        coh = [dict(r["coherence"], corrupted=r["corrupted"]) for r in rows]
        trk = [dict(r["tracking"], corrupted=r["corrupted"]) for r in rows]
        print(f"  {voxel:<6}{noise:<10}{mask:<5} | {summarise(coh)} | {summarise(trk)}")
    coh = [dict(r["coherence"], corrupted=r["corrupted"]) for r in results]
    trk = [dict(r["tracking"], corrupted=r["corrupted"]) for r in results]
    print(f"  {'all':<21} | {summarise(coh)} | {summarise(trk)}")


def print_frames(frames, results):
    """The frame cases, tracking only, with the stage time beside that of the
    axis-aligned (LAS) cases of the same grid, which read one frame (their
    wrong tables mostly stop streamlines sooner than a frame's rotation does)."""
    print("frame mistakes on the oblique images (tracking; 48 readings where the LAS images score 24):")
    head = f"{'best':>7} {'correct':>9} {'wrong frame':>11} {'FLAG':>4} {'median':>7} {'min':>7} {'stage s':>8} {'LAS s':>7}"
    print(f"  {'voxel':<6}{'noise':<10}{'mask':<5} | {head}")
    print(f"  {'':<21} | {'right':>7} {'P/W/F':>9} {'P/W/F':>11} {'right':>4} {'margin':>7} {'margin':>7}")
    groups = {}
    for r in frames:
        groups.setdefault((r["voxel"], r["noise"], r["mask"]), []).append(r)
    las = {}
    for r in results:
        if r["table"] and not r["table"].startswith("mrtrix"):
            las.setdefault((r["voxel"], r["noise"], r["mask"]), []).append(r["stage_s"])

    def line(rows, las_times):
        t = [dict(r["tracking"], corrupted=r["corrupted"]) for r in rows]
        n, right = len(t), sum(r["best_right"] for r in t)
        pwf = lambda g: "/".join(str(sum(r["decision"] == d for r in g)) for d in ("PASS", "WARN", "FLAG"))
        good, bad = [r for r in t if not r["corrupted"]], [r for r in t if r["corrupted"]]
        margins = [r["margin"] for r in t]
        las_s = f"{statistics.median(las_times):>7.3f}" if las_times else f"{'-':>7}"
        return (f"{right:>3}/{n:<3} {pwf(good):>9} {pwf(bad):>11} {sum(r['flag_right'] for r in bad):>4} "
                f"{statistics.median(margins):>7.3f} {min(margins):>7.3f} "
                f"{statistics.median(r['stage_s'] for r in rows):>8.3f} {las_s}")

    for key, rows in groups.items():
        print(f"  {key[0]:<6}{key[1]:<10}{key[2]:<5} | {line(rows, las.get(key, []))}")
    print(f"  {'all':<21} | {line(frames, [s for v in las.values() for s in v])}")


def check_frames(frames, results):
    trk = [dict(r["tracking"], **{k: r[k] for k in ("corrupted", "noise", "table", "voxel", "mask")}) for r in frames]
    false_flags = [r for r in trk if not r["corrupted"] and r["decision"] != "PASS" and r["noise"] in REALISTIC]
    unflagged = [r for r in trk if r["corrupted"] and r["noise"] in REALISTIC and not r["flag_right"]]
    wrong_flags = [r for r in trk if r["decision"] == "FLAG" and not r["flag_right"]]
    median = statistics.median(r["margin"] for r in trk)
    # The cost of reading the second frame: the correct bvec of each oblique
    # image (48 readings) against the correct table of the LAS image of the
    # same grid, noise and mask (24), the same phantom on the voxel axes.
    las = {(r["voxel"], r["noise"], r["mask"]): r["stage_s"] for r in results if r["table"] == "correct"}
    ratios = [r["stage_s"] / las[key] for r in frames if r["table"] == "correct-bvec"
              and (key := (r["voxel"], r["noise"], r["mask"])) in las and las[key] > 0]
    ratio = statistics.median(ratios) if ratios else float("nan")
    ok = (not false_flags and not unflagged and not wrong_flags and median >= TARGET_FRAME_MEDIAN_MARGIN
          and ratio <= TARGET_FRAME_STAGE_RATIO)
    print("frame targets:")
    print(f"  correct tables PASS at SNR >= {NOISE['realistic']:g}: {len(false_flags)} not PASS")
    n_real = sum(r["corrupted"] and r["noise"] in REALISTIC for r in trk)
    print(f"  FLAG with the exact fix (within {FRAME_RIGHT_DEG:g} degree) at SNR >= {NOISE['realistic']:g}: "
          f"{n_real - len(unflagged)}/{n_real}; FLAGs with a wrong fix at any noise: {len(wrong_flags)}")
    print(f"  median relative margin >= {TARGET_FRAME_MEDIAN_MARGIN:g}: {median:.3f}")
    print(f"  tracking stage on a correct table: median {ratio:.2f}x that of the LAS image (two frames read, "
          f"target <= {TARGET_FRAME_STAGE_RATIO:g}x)")
    for r in false_flags + unflagged + wrong_flags:
        print(f"    {r['voxel']} mm {r['noise']} {r['mask']} {r['table']}: {r['decision']}, "
              f"best right {r['best_right']}, margin {r['margin']:.3f}")
    print(f"  {'all met' if ok else 'NOT MET'}")
    return ok


def check_crops(results):
    """Without a mask on a crop inside the head: enough trackable voxels, and
    the verdicts of the whole image (the crop keeps most of its bundles)."""
    crops = [dict(r["tracking"], **{k: r[k] for k in ("corrupted", "noise", "table", "voxel")})
             for r in results if r["mask"] == "crop"]
    if not crops:
        return True
    thin = [r for r in crops if (r["trackable"] or 0) < MIN_CROP_TRACKABLE]
    false_flags = [r for r in crops if not r["corrupted"] and r["decision"] == "FLAG"]
    unflagged = [r for r in crops if r["corrupted"] and r["noise"] in REALISTIC and not r["flag_right"]]
    print("crops without a mask:")
    print(f"  at least {MIN_CROP_TRACKABLE} trackable voxels: {len(crops) - len(thin)}/{len(crops)} "
          f"(fewest {min(r['trackable'] or 0 for r in crops)})")
    print(f"  never FLAG on a correct table: {len(false_flags)} false FLAGs")
    n_real = sum(r["corrupted"] and r["noise"] in REALISTIC for r in crops)
    print(f"  FLAG with the right transform on corrupted tables at SNR >= {NOISE['realistic']:g}: "
          f"{n_real - len(unflagged)}/{n_real}")
    for r in thin + false_flags + unflagged:
        print(f"    {r['voxel']} mm {r['noise']} {r['table']}: {r['decision']}, {r['trackable']} trackable, "
              f"margin {r['margin']:.3f}")
    ok = not thin and not false_flags and not unflagged
    print(f"  {'all met' if ok else 'NOT MET'}")
    return ok


def check_targets(results):
    trk = [dict(r["tracking"], **{k: r[k] for k in ("corrupted", "noise", "table", "voxel", "mask")})
           for r in results if r["mask"] != "crop"]
    misses = [r for r in trk if not r["best_right"]]
    false_flags = [r for r in trk if not r["corrupted"] and r["decision"] == "FLAG"]
    unflagged = [r for r in trk if r["corrupted"] and r["noise"] in REALISTIC and not r["flag_right"]]
    median = statistics.median(r["margin"] for r in trk)
    ok = not misses and not false_flags and not unflagged and median >= TARGET_MEDIAN_MARGIN
    print("tracking targets:")
    print(f"  best right on every case: {len(trk) - len(misses)}/{len(trk)}")
    print(f"  never FLAG on a correct table: {len(false_flags)} false FLAGs")
    n_real = sum(r["corrupted"] and r["noise"] in REALISTIC for r in trk)
    print(f"  FLAG with the right transform on corrupted tables at SNR >= {NOISE['realistic']:g}: "
          f"{n_real - len(unflagged)}/{n_real}")
    print(f"  median relative margin >= {TARGET_MEDIAN_MARGIN:g}: {median:.3f}")
    for r in misses + false_flags + unflagged:
        print(f"    {r['voxel']} mm {r['noise']} {r['mask']} {r['table']}: {r['decision']}, "
              f"best right {r['best_right']}, margin {r['margin']:.3f}")
    print(f"  {'all met' if ok else 'NOT MET'}")
    return ok


def bench_speed():
    sys.path.insert(0, str(HERE))
    import run
    from tarvix import _engine

    paths = run.ensure_scan("clinical", run.SCANS["clinical"])
    args = dict(dwi=paths["dwi"], bvec=paths["bvec"], bval=paths["bval"])

    def wall(tracking, threads=2):
        start = time.perf_counter()
        result = _engine.audit(tracking=tracking, threads=threads, **args)
        return time.perf_counter() - start, result["tracking_seconds"]

    wall(True)  # warm the page cache
    plain, tracked, stage2 = [], [], []
    for _ in range(5):
        plain.append(wall(False)[0])
        t, s = wall(True)
        tracked.append(t)
        stage2.append(s)
    stage1 = statistics.median(wall(True, threads=1)[1] for _ in range(3))
    audit, with_tracking, stage = (statistics.median(v) for v in (plain, tracked, stage2))
    ratio = with_tracking / audit
    oblique = oblique_copy(paths)
    args.update(oblique)
    wall(True)
    o_plain, o_tracked, o_stage = [], [], []
    for _ in range(5):
        o_plain.append(wall(False)[0])
        t, s = wall(True)
        o_tracked.append(t)
        o_stage.append(s)
    o_audit, o_with, o_s = (statistics.median(v) for v in (o_plain, o_tracked, o_stage))
    o_ratio, frame_ratio = o_with / o_audit, o_s / stage
    print(f"tracking on the clinical scan ({'x'.join(map(str, run.SCANS['clinical']['shape']))}, threads=2, "
          f"medians of 5, interleaved):")
    print(f"  audit {audit:.3f} s; audit with tracking {with_tracking:.3f} s = {ratio:.2f}x (target <= "
          f"{TARGET_AUDIT_RATIO:g}x: {'met' if ratio <= TARGET_AUDIT_RATIO else 'MISSED'}); tracking stage "
          f"{stage:.3f} s on two threads (target < {TARGET_STAGE_S:g} s: {'met' if stage < TARGET_STAGE_S else 'MISSED'}),"
          f" {stage1:.3f} s on one")
    print(f"  oblique copy (both frames read): audit {o_audit:.3f} s; with tracking {o_with:.3f} s = {o_ratio:.2f}x "
          f"(target <= {TARGET_AUDIT_RATIO:g}x: {'met' if o_ratio <= TARGET_AUDIT_RATIO else 'MISSED'}); tracking "
          f"stage {o_s:.3f} s = {frame_ratio:.2f}x the axis-aligned stage (target <= {TARGET_FRAME_STAGE_RATIO:g}x: "
          f"{'met' if frame_ratio <= TARGET_FRAME_STAGE_RATIO else 'MISSED'})")
    return (stage < TARGET_STAGE_S and ratio <= TARGET_AUDIT_RATIO and o_ratio <= TARGET_AUDIT_RATIO
            and frame_ratio <= TARGET_FRAME_STAGE_RATIO)


def oblique_copy(paths):
    """The clinical scan's data under an affine turned 20 degrees about z and
    12 about x, with its table written as a bvec of scanner coordinates: the
    same field to track, both frames read."""
    import nibabel as nib

    folder = DATA / "clinical-oblique"
    dwi, bvec, bval = folder / "dwi.nii.gz", folder / "frame.bvec", folder / "frame.bval"
    if not (folder / "stamp").exists():
        folder.mkdir(parents=True, exist_ok=True)
        img = nib.load(paths["dwi"])
        sizes = [float(v) for v in img.header.get_zooms()[:3]]
        affine = synthetic.affine_preset("oblique", sizes, img.shape[:3])
        nib.Nifti1Image(np.asarray(img.dataobj), affine, img.header).to_filename(str(dwi))
        old_fsl = synthetic.fsl_mirror(img.affine)
        table = np.loadtxt(paths["bvec"])  # the voxel-axis directions, mirrored as the old affine asks
        voxel = old_fsl @ table
        synthetic.write_fsl(str(bvec), str(bval), np.loadtxt(paths["bval"]), (synthetic.voxel_to_world(affine) @ voxel).T)
        (folder / "stamp").write_text("done\n")
    return dict(dwi=str(dwi), bvec=str(bvec), bval=str(bval))


def real_frames(folder, threads=2):
    """Each real series of `folder` (image, bvec, bval, as the shared
    real-canon set holds them) with its correct tables and the frame mistakes
    written from them: the bvec, the MRtrix table made from it (.b), that
    table written as a bvec (with and without a z flip on top), and the bvec
    components written into a .b file. Each is repaired by the engine; the
    repaired directions are compared with the correct ones."""
    import tempfile

    import nibabel as nib
    from tarvix import _engine

    def worst(got, want, bvals):
        keep = bvals > 50
        g, w = got[keep], want[keep]
        cos = np.abs(np.sum(g * w, axis=1)) / (np.linalg.norm(g, axis=1) * np.linalg.norm(w, axis=1))
        return float(np.degrees(np.arccos(np.clip(cos, 0, 1))).max())

    ok, rows = True, []
    work = pathlib.Path(tempfile.mkdtemp(prefix="tarvix-frames-"))
    print(f"frame mistakes on the real series of {folder} (repair by the engine, threads={threads}):")
    print(f"  {'series':<32}{'table':<22}{'status':<7}{'label':<24}{'lead':>7}{'frame angle':>12}{'worst dir':>10}")
    for nii in sorted(pathlib.Path(folder).glob("*.nii.gz")):
        name = nii.name[: -len(".nii.gz")]
        affine = nib.load(str(nii)).affine
        fsl, world = frame_maps(affine)
        bvals = np.loadtxt(pathlib.Path(folder) / f"{name}.bval")
        bvec = np.loadtxt(pathlib.Path(folder) / f"{name}.bvec").T  # rows
        correct_world = bvec @ fsl.T @ world  # voxel axes, then scanner coordinates (world.T maps voxel -> world)
        zflip = np.diag([1.0, 1.0, -1.0])
        tables = [("bvec", "correct", bvec, False), ("b", "correct .b", correct_world, False),
                  ("bvec", "scanner as bvec", correct_world, True), ("bvec", "scanner as bvec, z", correct_world @ zflip, True),
                  ("b", "bvec in .b", bvec, True), ("b", "bvec in .b, z", bvec @ zflip, True)]
        for kind, label, dirs, wrong in tables:
            stem = work / f"{name}-{label.replace(' ', '_').replace(',', '')}"
            if kind == "b":
                synthetic.write_mrtrix(f"{stem}.b", bvals, dirs)
                table = dict(grad=f"{stem}.b")
            else:
                synthetic.write_fsl(f"{stem}.bvec", f"{stem}.bval", bvals, dirs)
                table = dict(bvec=f"{stem}.bvec", bval=f"{stem}.bval")
            out = dict(out_bvec=f"{stem}.fix.bvec", out_bval=f"{stem}.fix.bval", out_grad=f"{stem}.fix.b")
            result = _engine.repair(dwi=str(nii), tracking=True, threads=threads, **table, **out)
            report = json.loads(result["report"])
            verdict, tracking = report["verdict"], json.loads(result["tracking"])
            angle = tracking["other_frame"]["angle_deg"]
            err = ""
            if os.path.exists(out["out_bvec"]):
                e = max(worst(np.loadtxt(out["out_bvec"]).T, bvec, bvals),
                        worst(np.loadtxt(out["out_grad"])[:, :3], correct_world, bvals))
                err = f"{e:.4f}"
            want = "FLAG" if wrong else "PASS"
            good = verdict["axes"] == want and (not wrong or (err != "" and float(err) < 1.0))
            ok = ok and good
            print(f"  {name:<32}{label:<22}{verdict['axes']:<7}{str(verdict['recommended_label']):<24}"
                  f"{verdict['lead'] * 100:>6.1f}%{angle:>11.1f}°{err:>10}{'' if good else '  WRONG'}")
    print(f"  {'all right' if ok else 'NOT ALL RIGHT'} (correct tables PASS; every mistake FLAGged and repaired "
          f"within 1° in both formats)")
    return ok


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--voxels", nargs="+", choices=list(GRIDS), default=list(GRIDS))
    parser.add_argument("--no-speed", action="store_true", help="skip the timing of the tracking stage")
    parser.add_argument("--real", metavar="DIR",
                        help="only check the frame mistakes on the real series in DIR (e.g. the shared real-canon set)")
    options = parser.parse_args(argv)
    if options.real:
        return 0 if real_frames(options.real) else 1
    start = time.perf_counter()
    cases = benchmark_set(options.voxels)
    frames_cases = [c for voxel in options.voxels for noise in NOISE for c in frame_cases(voxel, noise)]
    generated = time.perf_counter() - start

    def measured(case):
        r = {k: case[k] for k in ("voxel", "noise", "table", "corrupted", "mask")}
        coherence, tracking, r["stage_s"] = measure_records(case["args"])
        r["coherence"] = outcome(coherence, case)
        r["tracking"] = outcome(tracking, case)
        return r

    results = [measured(case) for case in cases]
    frames = [measured(case) for case in frames_cases]
    print(f"flip measures on {len(cases)} cases and {len(frames)} frame cases (set ready in {generated:.0f} s, "
          f"measured in {time.perf_counter() - start - generated:.0f} s; margins are relative)")
    print_table(results)
    ok = check_targets(results)
    ok = check_crops(results) and ok
    print_frames(frames, results)
    ok = check_frames(frames, results) and ok
    if not options.no_speed:
        ok = bench_speed() and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
