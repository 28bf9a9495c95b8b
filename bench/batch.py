"""Batch benchmark of tarvix: audit_bids over a BIDS dataset of 8 clinical-size
runs (96x96x60, 65 volumes: 5 b=0 + 60 at b=1000, int16 .nii.gz), against
single `audit` calls on the same files.

Reported: total batch time, batch time per run, single-audit time per run
(mean over the 8 runs), and their ratio. The batch only adds the report and
summary writes to what the single audits do, so the target is a per-run batch
time within 5% of a single audit. Each figure is the median of --repeats
rounds; within a round the batch and the 8 single audits run back to back.

The dataset is generated on first use into bench/data/bids_batch/ (one
simulated scan, copied into the 8 run folders) and reused.

    python bench/batch.py [--repeats 3] [--threads N]

or, from another script: `batch.bench_batch(_tarvix, repeats=3, threads=None)`.
"""

import argparse
import importlib.util
import json
import os
import pathlib
import shutil
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE / "data" / "bids_batch"

try:
    from tarvix import synthetic
except ImportError:  # package not installed: take the generator from the source tree
    _spec = importlib.util.spec_from_file_location("tarvix_synthetic", HERE.parent / "python/tarvix/synthetic.py")
    synthetic = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(synthetic)

N_RUNS = 8
SPEC = dict(shape=[96, 96, 60], voxel=2.0, shells=[1000.0], n_dirs=60, n_b0=5, snr=30.0, seed=7)
TARGET_RATIO = 1.05


def run_folder(k):
    return ROOT / f"sub-{k:02d}" / "dwi"


def ensure_dataset():
    """The runs' paths; the dataset is rebuilt when missing or made with other
    settings. The stamp file is written last, so it marks a complete set."""
    stamp = ROOT / "stamp.json"
    runs = []
    for k in range(1, N_RUNS + 1):
        base = run_folder(k) / f"sub-{k:02d}_dwi"
        runs.append({"dwi": f"{base}.nii.gz", "bvec": f"{base}.bvec", "bval": f"{base}.bval"})
    if stamp.exists() and json.loads(stamp.read_text()) == SPEC and all(
            os.path.exists(p) for r in runs for p in r.values()):
        return runs

    print(f"  generating {N_RUNS} clinical runs into {ROOT} (first use only) ...", flush=True)
    start = time.perf_counter()
    shutil.rmtree(ROOT, ignore_errors=True)
    shape = tuple(SPEC["shape"])
    affine = synthetic.affine_preset("LAS", SPEC["voxel"], shape)
    first = synthetic.write_scan(run_folder(1), "sub-01_dwi", shape=shape, affine=affine, shells=SPEC["shells"],
                                 n_dirs=SPEC["n_dirs"], n_b0=SPEC["n_b0"], snr=SPEC["snr"], seed=SPEC["seed"])
    # Separate copies, as in a real dataset: each run reads its own files.
    for run in runs[1:]:
        os.makedirs(os.path.dirname(run["dwi"]), exist_ok=True)
        for key in ("dwi", "bvec", "bval"):
            shutil.copyfile(first[key], run[key])
    stamp.write_text(json.dumps(SPEC))
    print(f"  ... done in {time.perf_counter() - start:.0f} s", flush=True)
    return runs


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def bench_batch(tarvix, repeats=3, threads=None):
    print(f"batch: audit_bids over {N_RUNS} runs of {'x'.join(map(str, SPEC['shape']))}, 65 volumes "
          f"(threads={threads}), median of {repeats}")
    runs = ensure_dataset()
    try:
        summary = json.loads(tarvix.audit_bids(str(ROOT), threads=threads))  # warm-up and check
    except NotImplementedError as exc:
        print(f"  skipped: audit_bids is not built yet ({exc})")
        return None
    statuses = sorted({r["status"] for r in summary["results"]})

    batch_times, single_times = [], []
    for _ in range(repeats):
        batch_times.append(timed(lambda: tarvix.audit_bids(str(ROOT), threads=threads))[0])
        single_times.append(sum(timed(lambda: tarvix.audit(threads=threads, **r))[0] for r in runs))
    total = statistics.median(batch_times)
    per_run = total / N_RUNS
    single = statistics.median(single_times) / N_RUNS
    ratio = per_run / single
    verdict = "met" if ratio <= TARGET_RATIO else "MISSED"
    print(f"  {'batch total s':>14}{'batch/run s':>13}{'audit/run s':>13}{'ratio':>8}  target <= {TARGET_RATIO:.2f}")
    print(f"  {total:>14.2f}{per_run:>13.3f}{single:>13.3f}{ratio:>8.3f}  {verdict}"
          f"  (batch status {summary['status']}, runs {'/'.join(statuses)})", flush=True)
    return {"total_s": total, "per_run_s": per_run, "single_s": single, "ratio": ratio}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=None)
    options = parser.parse_args(argv)
    try:
        from tarvix import _tarvix
    except ImportError as exc:
        print(f"tarvix._tarvix cannot be imported ({exc}); build it first (make build)")
        return 1
    bench_batch(_tarvix, options.repeats, options.threads)
    return 0


if __name__ == "__main__":
    sys.exit(main())
