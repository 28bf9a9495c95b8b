"""Does the table belong to the image: how the consistency tests judge correct
and mismatched tables, and what they cost.

1. Generated scans (single shell b=1000; two shells b=1000 and 2000), each
   with its correct table and the mismatches of synthetic.mismatched_table
   (weighted rows shuffled within a shell, the table shifted by one volume, a
   b=0 row swapped with a weighted one, two shells' b-values exchanged,
   another acquisition's random directions), at SNR 40, 20, 10 and 5.
2. The benchmark phantoms of run.py (clinical and research) with their
   correct tables and the same mismatches.
3. The shared real series (/work/shared/data/real-canon/, one b=0 and 12
   directions), their correct tables and mismatched copies.

For each set: the count of consistency FLAG / WARN / PASS per kind of table
(the verdict's status beside it), the false alarms (a correct table that is
not PASS; a FLAG there is a failure) and the smallest margin of each test on
correct tables next to its flag threshold. Then the cost: the audit with
tracking on the clinical and the research scan with and without the tests
(two threads, interleaved, median of 5), target at most 10 % more.

Usage: python bench/consistency.py [--no-speed] [--quick]
"""

import argparse
import collections
import importlib.util
import json
import os
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
REAL = pathlib.Path("/work/shared/data/real-canon")
DATA = HERE / "data" / "consistency"

try:
    from tarvix import synthetic
except ImportError:
    _spec = importlib.util.spec_from_file_location("tarvix_synthetic", HERE.parent / "python/tarvix/synthetic.py")
    synthetic = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(synthetic)

COST_LIMIT = 0.10
SNRS = (40.0, 20.0, 10.0, 5.0)
LAYOUTS = {"single": (1000.0,), "multi": (1000.0, 2000.0)}
TESTS = ("b0", "shells", "volumes", "order")


def kinds_for(bvals):
    shells = set(np.asarray(bvals)[np.asarray(bvals) > 0])
    return ["correct"] + [k for k in synthetic.MISMATCHES if k != "shells-exchanged" or len(shells) >= 2]


def audit(engine, dwi, bvec, bval):
    result = engine.audit(dwi=dwi, bvec=bvec, bval=bval, tracking=True, threads=2)
    return json.loads(result["report"])


class Tally:
    def __init__(self, name):
        self.name = name
        self.counts = collections.defaultdict(collections.Counter)  # kind -> consistency status
        self.verdicts = collections.defaultdict(collections.Counter)
        self.false_alarms = []
        self.correct_margins = collections.defaultdict(list)
        self.thresholds = {}

    def add(self, label, kind, report):
        c = report["consistency"]
        self.counts[kind][c["status"]] += 1
        self.verdicts[kind][report["status"]] += 1
        for t in TESTS:
            self.thresholds[t] = c["tests"][t]["flag_below"]
        if kind == "correct":
            for t in TESTS:
                if c["tests"][t]["judged"] and c["tests"][t]["margin"] is not None:
                    self.correct_margins[t].append(c["tests"][t]["margin"])
            if c["status"] != "PASS":
                notes = [f for t in TESTS for f in c["tests"][t]["findings"]]
                self.false_alarms.append((label, c["status"], notes[:1]))
        elif c["status"] == "PASS":
            print(f"    missed: {label} ({kind})")

    def show(self):
        print(f"  {self.name}: consistency FLAG/WARN/PASS (verdict FLAG/WARN/PASS) per table")
        for kind, counts in self.counts.items():
            v = self.verdicts[kind]
            print(f"    {kind:18s} {counts['FLAG']:3d} {counts['WARN']:3d} {counts['PASS']:3d}"
                  f"    ({v['FLAG']} {v['WARN']} {v['PASS']})")
        flags = sum(1 for _, s, _ in self.false_alarms if s == "FLAG")
        print(f"    false alarms on correct tables: {len(self.false_alarms)} (FLAG: {flags})"
              f"  [{'ok' if flags == 0 else 'FAIL'}]")
        for label, status, note in self.false_alarms:
            print(f"      {status} {label}: {note[0] if note else ''}")
        for t in TESTS:
            m = self.correct_margins.get(t)
            if m:
                print(f"    {t:8s} smallest margin on a correct table {min(m):9.3f}   flags below "
                      f"{self.thresholds[t]:g}")
        return flags


def write_case(folder, name, bvals, dirs, affine):
    return synthetic.write_table(folder, name, bvals, dirs, affine)


def generated(engine, quick):
    tally = Tally("generated scans (24x24x16, 2 mm)")
    shape = (24, 24, 16)
    affine = synthetic.affine_preset("LAS", 2.0, shape)
    with tempfile.TemporaryDirectory() as folder:
        for layout, shells in LAYOUTS.items():
            bvals, dirs = synthetic.make_scheme(shells, 30, 6)
            for snr in SNRS[:2] if quick else SNRS:
                name = f"{layout}-snr{snr:g}"
                data, _ = synthetic.make_phantom(shape, affine, bvals, dirs, snr=snr, seed=3)
                dwi = os.path.join(folder, f"{name}.nii.gz")
                synthetic.write_nifti(dwi, data, affine, 1)
                for kind in kinds_for(bvals):
                    b, g = (bvals, dirs) if kind == "correct" else synthetic.mismatched_table(bvals, dirs, kind, 1)
                    paths = write_case(folder, f"{name}-{kind}", b, g, affine)
                    tally.add(f"{name} {kind}", kind, audit(engine, dwi, paths["bvec"], paths["bval"]))
    return tally.show()


def phantoms(engine):
    sys.path.insert(0, str(HERE))
    import run as bench_run

    tally = Tally("benchmark phantoms (run.py's clinical and research scans)")
    with tempfile.TemporaryDirectory() as folder:
        for name, spec in bench_run.SCANS.items():
            paths = bench_run.ensure_scan(name, spec)
            bvals = np.loadtxt(paths["bval"], ndmin=1)
            bvecs = np.loadtxt(paths["bvec"], ndmin=2)
            for kind in kinds_for(bvals):
                if kind == "correct":
                    bvec, bval = paths["bvec"], paths["bval"]
                else:
                    b, g = synthetic.mismatched_table(bvals, bvecs.T, kind, 1)
                    bvec, bval = os.path.join(folder, f"{name}-{kind}.bvec"), os.path.join(folder, f"{name}-{kind}.bval")
                    synthetic.write_fsl(bvec, bval, b, g)
                tally.add(f"{name} {kind}", kind, audit(engine, paths["dwi"], bvec, bval))
    return tally.show()


def real(engine):
    if not REAL.is_dir():
        print("  the shared real series are not here: skipped")
        return 0
    tally = Tally("shared real series (Canon, 1 b=0 + 12 directions at b=1500)")
    with tempfile.TemporaryDirectory() as folder:
        for dwi in sorted(REAL.glob("*.nii.gz")):
            stem = str(dwi)[: -len(".nii.gz")]
            bvals = np.loadtxt(stem + ".bval", ndmin=1)
            bvecs = np.loadtxt(stem + ".bvec", ndmin=2)
            for kind in kinds_for(bvals):
                if kind == "correct":
                    bvec, bval = stem + ".bvec", stem + ".bval"
                else:
                    b, g = synthetic.mismatched_table(bvals, bvecs.T, kind, 1)
                    base = os.path.join(folder, f"{dwi.name}-{kind}")
                    bvec, bval = base + ".bvec", base + ".bval"
                    synthetic.write_fsl(bvec, bval, b, g)
                tally.add(f"{dwi.name[:-7]} {kind}", kind, audit(engine, str(dwi), bvec, bval))
    return tally.show()


def speed(engine):
    sys.path.insert(0, str(HERE))
    import run as bench_run

    print("  cost: audit with tracking, two threads, with and without the tests (median of 5, interleaved)")
    worst = 0.0
    for name, spec in bench_run.SCANS.items():
        paths = bench_run.ensure_scan(name, spec)
        times = {False: [], True: []}
        tests_s = []
        for _ in range(5):
            for off in (True, False):
                start = time.perf_counter()
                r = engine.audit(dwi=paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], tracking=True, threads=2,
                                 no_consistency=off)
                times[off].append(time.perf_counter() - start)
                if not off:
                    tests_s.append(r["consistency_seconds"])
        without, with_ = statistics.median(times[True]), statistics.median(times[False])
        extra = with_ / without - 1.0
        worst = max(worst, extra)
        print(f"    {name:9s} without {without:6.3f} s   with {with_:6.3f} s   +{extra * 100:5.1f} %"
              f"   (the tests alone {statistics.median(tests_s) * 1e3:.1f} ms)"
              f"  [{'ok' if extra <= COST_LIMIT else 'over the 10 % target'}]")
    return worst


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-speed", action="store_true")
    parser.add_argument("--quick", action="store_true", help="two noise levels, no phantoms")
    options = parser.parse_args(argv)
    from tarvix import _engine

    print("table consistency (does the table belong to the image)")
    flags = generated(_engine, options.quick)
    if not options.quick:
        flags += phantoms(_engine)
    flags += real(_engine)
    if not options.no_speed:
        speed(_engine)
    return 1 if flags else 0


if __name__ == "__main__":
    sys.exit(main())
