"""Benchmarks of tarvix (what `make bench` runs).

1. inspect: in-process time per call (the returned JSON text included) on a
   single-shell table of 1,000 directions and on a 4,000-volume multi-shell
   table, median of 20 calls; then the command's start-up (startup.py:
   `tarvix --version` and an audit of missing files, target 40 ms).
2. audit: wall time on a clinical-sized and a research-sized synthetic scan
   (int16 .nii.gz), median of 3, with the default pool and with one thread,
   next to nibabel's load + get_fdata(float32) of the same file, plus peak
   RSS of one call in a fresh process.
3. audit targets: per scan, in one run and interleaved, `igzip -dc FILE >
   /dev/null` (the floor: inflating alone) and `audit_profiled` with one and
   with two threads, median of 5 each, with the stage split of the median call
   and the peak RSS of a fresh process running the audit. Targets: total at
   most 1.6x the igzip time with one thread and 1.25x with two; peak RSS at
   most 117 MB (clinical) and 395 MB (research).
4. the batch figures (batch.py: audit_bids, --jobs 2, a Dask LocalCluster, the
   per-task overhead of Dask, the group level over 1,000 reports), then the accuracy of both flip measures and
   the speed of the tracking stage (tracking_accuracy.py), the verdict at
   slice angles of 0 to 40 degrees (obliquity.py), the shared real whole-brain
   series at 1.8 and 1.2 mm and stored in other axis orders (real_series.py), then the table
   consistency tests: counts per kind of mismatched table, false alarms on the
   generated set, the phantoms and the shared real series, and their cost on
   top of an audit with tracking (consistency.py).
5. wheel: when `make wheel` has left a wheel in dist/, the clinical audit
   (threads=None and threads=1, median of 5, each in a fresh process) by the
   source build and by the wheel installed in a venv of its own
   (build/bench-wheel), side by side; target: the wheel within 10 %.
6. bounds: `inspect` of single-shell tables of 20,000 and 80,000 random
   directions in a fresh process (wall time and peak RSS; target for 80,000:
   10 s and 1 GB), and the planning of a batch (discovery) over 3,000 runs in
   one folder (target 2 s). `--bounds` runs only this part.

Synthetic data is generated on first use into bench/data/ and reused.
`--quick` runs only part 1.
"""

import argparse
import importlib.util
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"

try:
    from tarvix import synthetic
except ImportError:  # package not installed: take the generator from the source tree
    _spec = importlib.util.spec_from_file_location("tarvix_synthetic", HERE.parent / "python/tarvix/synthetic.py")
    synthetic = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(synthetic)

INSPECT_TARGET_MS = 20.0
# Auditing a .nii.gz cannot beat inflating it once, so the floor is `igzip -dc`.
AUDIT_TIME_TARGETS = {1: 1.6, 2: 1.25}  # threads: at most this many times the igzip time
AUDIT_RSS_LIMIT_MB = {"clinical": 117.0, "research": 395.0}
AUDIT_TARGET_REPEATS = 5
WHEEL_SLOWDOWN_LIMIT = 1.10

TABLES = {
    "single shell, 1,000 directions": ("table-1000dirs", dict(shells=(1000.0,), n_dirs=1000, n_b0=0)),
    "multi-shell, 4,000 volumes": ("table-4000vols", dict(shells=(1000.0, 2000.0, 3000.0), n_dirs=1300, n_b0=100)),
}

SCANS = {
    "clinical": dict(shape=(96, 96, 60), voxel=2.0, shells=(1000.0,), n_dirs=60, n_b0=5),
    "research": dict(shape=(140, 140, 96), voxel=1.5, shells=(1000.0, 2000.0), n_dirs=60, n_b0=10),
}

# The geometry of a Human Connectome Project scan (1.25 mm, three shells of 90
# directions and 18 b=0, int16): generated once, at gzip -1 (the figure is memory,
# not inflation time), about 1.3 GB.
HCP_SCAN = dict(shape=(145, 174, 145), voxel=1.25, shells=(1000.0, 2000.0, 3000.0), n_dirs=90, n_b0=18,
                compresslevel=1)
HCP_RSS_TARGET_MB = 400.0

# Rician noise at this level makes the int16 data compress about 1.7x with gzip -6.
SNR, SEED = 30.0, 7


def median_ms(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times), min(times)


def not_built(section, exc):
    print(f"  skipped: {section} is not built yet ({exc})")


def ensure_table(stem, spec):
    stem = DATA / stem
    bvec, bval = f"{stem}.bvec", f"{stem}.bval"
    if not (os.path.exists(bvec) and os.path.exists(bval)):
        DATA.mkdir(parents=True, exist_ok=True)
        bvals, dirs = synthetic.make_scheme(**spec)
        synthetic.write_fsl(bvec + ".tmp", bval + ".tmp", bvals, dirs)
        os.replace(bval + ".tmp", bval)
        os.replace(bvec + ".tmp", bvec)
    return bvec, bval


def ensure_scan(name, spec):
    """Paths of a scan, generating it when missing or made with other settings.
    A stamp file written last marks a complete set."""
    stamp = DATA / f"{name}.json"
    wanted = dict(spec, snr=SNR, seed=SEED, shape=list(spec["shape"]), shells=list(spec["shells"]))
    if stamp.exists():
        recorded = json.loads(stamp.read_text())
        paths = {k: str(DATA / v) for k, v in recorded.get("files", {}).items()}
        if recorded.get("spec") == wanted and paths and all(os.path.exists(p) for p in paths.values()):
            return paths
    print(f"  generating the {name} scan into {DATA} (first use only; gzip -6 takes a while) ...", flush=True)
    start = time.perf_counter()
    affine = synthetic.affine_preset("LAS", spec["voxel"], spec["shape"])
    paths = synthetic.write_scan(DATA, name, shape=spec["shape"], affine=affine, shells=spec["shells"],
                                 n_dirs=spec["n_dirs"], n_b0=spec["n_b0"], snr=SNR, seed=SEED,
                                 compresslevel=spec.get("compresslevel", 6))
    files = {k: os.path.basename(v) for k, v in paths.items()}
    stamp.write_text(json.dumps({"spec": wanted, "files": files}))
    print(f"  ... done in {time.perf_counter() - start:.0f} s", flush=True)
    return paths


def bench_inspect(tarvix):
    print("inspect: in-process time per call incl. JSON, median of 20")
    print(f"  {'table':<34}{'entries':>8}{'median ms':>11}{'min ms':>9}  target")
    for name, (stem, spec) in TABLES.items():
        bvec, bval = ensure_table(stem, spec)
        try:
            report = tarvix.inspect(bvec=bvec, bval=bval)
        except NotImplementedError as exc:
            return not_built("inspect", exc)
        entries = len(json.loads(report)["scheme"]["bvals"])
        med, low = median_ms(lambda: tarvix.inspect(bvec=bvec, bval=bval), 20)
        target = ""
        if spec["n_dirs"] == 1000:
            target = f"<= {INSPECT_TARGET_MS:.0f} ms: " + ("met" if med <= INSPECT_TARGET_MS else "MISSED")
        print(f"  {name:<34}{entries:>8}{med:>11.2f}{low:>9.2f}  {target}")


def peak_rss_mb(code):
    """Peak resident set of a fresh interpreter running code, in MB.

    VmHWM belongs to the new process image; getrusage's ru_maxrss would also
    count the parent's resident set at fork time, which Linux carries across
    exec, so it is only the fallback."""
    probe = code + """
import resource
try:
    hwm = [line for line in open("/proc/self/status") if line.startswith("VmHWM:")][0].split()[1]
except (OSError, IndexError):
    hwm = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(hwm)
"""
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True)
    if done.returncode != 0:
        return None
    return int(done.stdout.split()[-1]) / 1024.0


def megabytes(value):
    return f"{value:>8.0f}" if value is not None else f"{'n/a':>8}"


def bench_audit(tarvix):
    print("audit: wall time in seconds, median of 3")
    header = (f"  {'scan':<10}{'grid':<16}{'vols':>5}{'gz MB':>7}{'ratio':>7}{'threads=None':>13}{'threads=1':>10}"
              f"{'nibabel f32':>12}{'RSS MB':>8}{'nib RSS':>8}  decision")
    print(header)
    for name, spec in SCANS.items():
        paths = ensure_scan(name, spec)
        args = dict(dwi=paths["dwi"], bvec=paths["bvec"], bval=paths["bval"])
        try:
            report = json.loads(tarvix.audit(**args))
        except NotImplementedError as exc:
            return not_built("audit", exc)
        default_s = median_ms(lambda: tarvix.audit(**args), 3)[0] / 1e3
        single_s = median_ms(lambda: tarvix.audit(threads=1, **args), 3)[0] / 1e3

        import nibabel as nib
        import numpy as np

        nib_s = median_ms(lambda: nib.load(args["dwi"]).get_fdata(dtype=np.float32), 3)[0] / 1e3
        call = ", ".join(f"{k}={v!r}" for k, v in args.items())
        rss = peak_rss_mb(f"from tarvix import _tarvix\n_tarvix.audit({call})")
        nib_rss = peak_rss_mb(f"import nibabel, numpy\nnibabel.load({args['dwi']!r}).get_fdata(dtype=numpy.float32)")

        shape = spec["shape"]
        vols = len(report["scheme"]["bvals"])
        gz_mb = os.path.getsize(args["dwi"]) / 1e6
        ratio = (2.0 * shape[0] * shape[1] * shape[2] * vols + 352) / os.path.getsize(args["dwi"])
        flip = report.get("flip", {})
        decision = f"{report['status']} (best {flip.get('best', {}).get('label', '?')})"
        print(f"  {name:<10}{'x'.join(map(str, shape)):<16}{vols:>5}{gz_mb:>7.0f}{ratio:>7.2f}"
              f"{default_s:>13.2f}{single_s:>10.2f}{nib_s:>12.2f}{megabytes(rss)}{megabytes(nib_rss)}  {decision}",
              flush=True)


def igzip_seconds(path):
    """Wall time of `igzip -dc path > /dev/null`, or None without igzip."""
    igzip = shutil.which("igzip")
    if igzip is None:
        return None
    start = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        subprocess.run([igzip, "-dc", path], stdout=sink, check=True)
    return time.perf_counter() - start


def mark(ok):
    return "pass" if ok else "FAIL"


def median_call(calls):
    """The profiled timings of the call with the median total."""
    ordered = sorted(calls, key=lambda t: t["total"])
    return ordered[len(ordered) // 2]


def bench_audit_targets(tarvix):
    limits = ", ".join(f"threads={n} <= {x}x" for n, x in AUDIT_TIME_TARGETS.items())
    print(f"audit targets: median of {AUDIT_TARGET_REPEATS}, igzip -dc and audit_profiled interleaved in one run; "
          f"{limits} the igzip time; peak RSS <= the MB listed")
    print(f"  {'scan':<10}{'threads':>8}{'igzip s':>8}{'total s':>8}{'decomp':>8}{'convert':>8}{'fit':>7}"
          f"{'coher':>7}{'other':>7}{'x igzip':>8}{'limit':>6}{'':>5}")
    for name, spec in SCANS.items():
        paths = ensure_scan(name, spec)
        base = dict(dwi=paths["dwi"], bvec=paths["bvec"], bval=paths["bval"])
        try:
            for threads in AUDIT_TIME_TARGETS:
                tarvix.audit_profiled(threads=threads, **base)  # warm the page cache and the allocator
        except NotImplementedError as exc:
            return not_built("audit_profiled", exc)
        inflate, calls = [], {threads: [] for threads in AUDIT_TIME_TARGETS}
        for _ in range(AUDIT_TARGET_REPEATS):
            inflate.append(igzip_seconds(base["dwi"]))
            for threads in AUDIT_TIME_TARGETS:
                calls[threads].append(tarvix.audit_profiled(threads=threads, **base)[1])
        igzip = statistics.median(inflate) if None not in inflate else None
        for threads, limit in AUDIT_TIME_TARGETS.items():
            t = median_call(calls[threads])
            ratio = t["total"] / igzip if igzip else None
            ratio_text = (f"{ratio:>8.2f}{limit:>6.2f}{mark(ratio <= limit):>5}" if ratio
                          else f"{'n/a':>8}{limit:>6.2f}{'':>5}")
            igzip_text = f"{igzip:>8.3f}" if igzip else f"{'n/a':>8}"
            print(f"  {name:<10}{threads:>8}{igzip_text}{t['total']:>8.3f}{t['decompress']:>8.3f}{t['convert']:>8.3f}"
                  f"{t['fit']:>7.3f}{t['coherence']:>7.3f}{t['other']:>7.3f}{ratio_text}", flush=True)
        call = ", ".join(f"{k}={v!r}" for k, v in dict(base, threads=2).items())
        rss = peak_rss_mb(f"from tarvix import _tarvix\n_tarvix.audit({call})")
        limit = AUDIT_RSS_LIMIT_MB[name]
        rss_text = f"{rss:.0f} MB, limit {limit:.0f} MB: {mark(rss <= limit)}" if rss is not None else "n/a"
        print(f"  {name:<10}{'peak RSS of audit (threads=2, fresh process)':>50}  {rss_text}", flush=True)


HUGE_TABLES = (20_000, 80_000)
HUGE_INSPECT_TARGET = (10.0, 1024.0)  # seconds, MB, for the largest table
DISCOVERY_RUNS, DISCOVERY_TARGET_S = 3000, 2.0


def ensure_random_table(n):
    """A single b=1000 shell of n random unit directions (fixed seed)."""
    import numpy as np

    stem = DATA / f"table-random-{n}"
    bvec, bval = f"{stem}.bvec", f"{stem}.bval"
    if not (os.path.exists(bvec) and os.path.exists(bval)):
        DATA.mkdir(parents=True, exist_ok=True)
        dirs = np.random.default_rng(n).normal(size=(n, 3))
        dirs /= np.linalg.norm(dirs, axis=1, keepdims=True)
        np.savetxt(bvec + ".tmp", dirs.T, fmt="%.6f")
        np.savetxt(bval + ".tmp", np.full((1, n), 1000.0), fmt="%.0f")
        os.replace(bval + ".tmp", bval)
        os.replace(bvec + ".tmp", bvec)
    return bvec, bval


def bench_hcp_memory():
    """Peak RSS of the command line's audit (tracking and consistency on, two
    threads) of the HCP-geometry scan, in a fresh process."""
    paths = ensure_scan("hcp", HCP_SCAN)
    call = ", ".join(f"{k}={paths[k]!r}" for k in ("dwi", "bvec", "bval"))
    rss = peak_rss_mb(f"from tarvix import _engine\n_engine.audit({call}, tracking=True, threads=2)")
    volumes = HCP_SCAN["n_b0"] + HCP_SCAN["n_dirs"] * len(HCP_SCAN["shells"])
    shape = "x".join(str(n) for n in (*HCP_SCAN["shape"], volumes))
    met = "met" if rss is not None and rss <= HCP_RSS_TARGET_MB else "MISSED"
    text = f"{rss:.0f} MB, target <= {HCP_RSS_TARGET_MB:.0f} MB: {met}" if rss is not None else "n/a"
    print(f"  HCP geometry {shape}, int16: peak RSS of audit (tracking, threads=2, fresh process) {text}",
          flush=True)


def bench_bounds():
    print("bounds: inspect of huge tables in a fresh process (wall s, peak RSS MB, report MB); "
          f"target for {HUGE_TABLES[-1]:,}: <= {HUGE_INSPECT_TARGET[0]:.0f} s, <= {HUGE_INSPECT_TARGET[1]:.0f} MB")
    for n in HUGE_TABLES:
        bvec, bval = ensure_random_table(n)
        code = (f"from tarvix import _tarvix\nimport time\nt = time.perf_counter()\n"
                f"r = _tarvix.inspect(bvec={bvec!r}, bval={bval!r})\n"
                f"print('TIME', time.perf_counter() - t, len(r))\n"
                f"import resource\nu = resource.getrusage(resource.RUSAGE_SELF)\nprint('CPU', u.ru_utime + u.ru_stime)\n"
                f"print('HWM', [l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1])")
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        wall = time.perf_counter() - start
        fields = done.stdout.split()
        call_s = float(fields[fields.index("TIME") + 1]) if "TIME" in fields else None
        report_mb = int(fields[fields.index("TIME") + 2]) / 1e6 if "TIME" in fields else None
        rss = int(fields[fields.index("HWM") + 1]) / 1024.0 if "HWM" in fields else None
        cpu_s = float(fields[fields.index("CPU") + 1]) if "CPU" in fields else None
        verdict = ""
        if n == HUGE_TABLES[-1] and call_s is not None and rss is not None:
            # Idle, the call takes at most its CPU time (it never waits on anything).
            seconds = min(call_s, cpu_s) if cpu_s is not None else call_s
            verdict = mark(seconds <= HUGE_INSPECT_TARGET[0] and rss <= HUGE_INSPECT_TARGET[1])
        call_text = f"{call_s:.2f}" if call_s is not None else "n/a"
        report_text = f"{report_mb:.2f}" if report_mb is not None else "n/a"
        # On a busy machine the wall time says little; the CPU time of the
        # process (all threads) bounds what an idle one needs.
        cpu_text = f"{cpu_s:.2f}" if cpu_s is not None else "n/a"
        print(f"  {n:>7,} directions: call {call_text} s (process {wall:.2f} s, CPU {cpu_text} s), "
              f"peak RSS {megabytes(rss).strip()} MB, report {report_text} MB  {verdict}", flush=True)

    import tempfile

    from tarvix import _engine

    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp, "ds", "sub-01", "dwi")
        folder.mkdir(parents=True)
        for i in range(DISCOVERY_RUNS):
            for ext in (".nii.gz", ".bvec", ".bval", ".json"):
                (folder / f"sub-01_run-{i:04d}_dwi{ext}").touch()
        for name in ("sub-01_desc-brain_mask.nii.gz", "sub-01_label-WM_mask.nii.gz"):
            (folder / name).touch()
        start = time.perf_counter()
        plan = json.loads(_engine.bids_prepare(str(pathlib.Path(tmp, "ds")), out_dir=str(pathlib.Path(tmp, "out"))))
        took = time.perf_counter() - start
        print(f"  discovery of {len(plan['runs']):,} runs in one folder: {took:.2f} s "
              f"(target <= {DISCOVERY_TARGET_S:.0f} s: {mark(took <= DISCOVERY_TARGET_S)})", flush=True)


TIME_AUDIT = """
import statistics, sys, time
from tarvix import _tarvix
dwi, bvec, bval, threads, repeats = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
threads = None if threads == "None" else int(threads)
_tarvix.audit(dwi=dwi, bvec=bvec, bval=bval, threads=threads)
times = []
for _ in range(repeats):
    start = time.perf_counter()
    _tarvix.audit(dwi=dwi, bvec=bvec, bval=bval, threads=threads)
    times.append(time.perf_counter() - start)
print(statistics.median(times))
"""


def wheel_python():
    """The interpreter of a venv holding the wheel of dist/, made or refreshed
    when the wheel changes; None without a wheel."""
    wheels = sorted((HERE.parent / "dist").glob("tarvix-*.whl"))
    if len(wheels) != 1:
        return None
    venv = HERE.parent / "build" / "bench-wheel"
    stamp = venv / "wheel.txt"
    wanted = f"{wheels[0].name} {wheels[0].stat().st_mtime_ns}"
    python = venv / "bin" / "python"
    if not (stamp.exists() and stamp.read_text() == wanted and python.exists()):
        shutil.rmtree(venv, ignore_errors=True)
        subprocess.run([getattr(sys, "_base_executable", sys.executable), "-m", "venv", str(venv)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheels[0])],
                       check=True)
        stamp.write_text(wanted)
    return python


def bench_wheel():
    python = wheel_python()
    if python is None:
        print("wheel: skipped (no wheel in dist/; make wheel)")
        return
    paths = ensure_scan("clinical", SCANS["clinical"])
    print("wheel: clinical audit in seconds, median of 5 in one fresh process each, source build and wheel")
    print(f"  {'threads':<9}{'source':>8}{'wheel':>8}{'ratio':>7}  target")
    for threads in ("None", "1"):
        seconds = []
        for interpreter in (sys.executable, str(python)):
            done = subprocess.run([interpreter, "-c", TIME_AUDIT, paths["dwi"], paths["bvec"], paths["bval"], threads,
                                   "5"], capture_output=True, text=True, cwd="/")
            if done.returncode != 0:
                print(f"  {interpreter} failed: {done.stderr.strip()}")
                return
            seconds.append(float(done.stdout))
        ratio = seconds[1] / seconds[0]
        print(f"  {threads:<9}{seconds[0]:>8.2f}{seconds[1]:>8.2f}{ratio:>7.2f}  <= {WHEEL_SLOWDOWN_LIMIT:.2f}: "
              + mark(ratio <= WHEEL_SLOWDOWN_LIMIT), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="run only the inspect timings")
    parser.add_argument("--bounds", action="store_true", help="run only the huge-table and discovery figures")
    parser.add_argument("--wheel", action="store_true", help="run only the source build against the wheel")
    options = parser.parse_args()
    try:
        from tarvix import _tarvix
    except ImportError as exc:
        print(f"tarvix._tarvix cannot be imported ({exc}); build it first (make build)")
        return 1
    print(f"tarvix {_tarvix.version()} on {os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
    if options.bounds:
        bench_bounds()
        bench_hcp_memory()
        return 0
    if options.wheel:
        bench_wheel()
        return 0
    bench_inspect(_tarvix)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import startup

    startup.main([])
    if not options.quick:
        bench_audit(_tarvix)
        bench_audit_targets(_tarvix)
        import batch

        batch.bench_batch(_tarvix, repeats=5)
        batch.bench_parallel(repeats=3)
        batch.bench_dask_overhead()
        batch.bench_group_level(repeats=3)
        import tracking_accuracy

        tracking_accuracy.main([])
        import obliquity

        obliquity.main([])
        import real_series

        real_series.main([])
        import consistency

        consistency.main([])
        bench_wheel()
        bench_bounds()
        bench_hcp_memory()
    return 0


if __name__ == "__main__":
    sys.exit(main())
