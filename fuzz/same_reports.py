#!/usr/bin/env python3
"""Audits the same scans with two builds of the module and compares the reports.

    same_reports.py PKG_A PKG_B [--research]

PKG_A and PKG_B are folders that each hold a `tarvix` package with its built
extension modules (a GCC build and a clang build, say). The scans are the
bench's synthetic clinical scan (and with --research the research one, which
takes a while to generate), and the real series of the shared data folder
when it is there. Each report must be byte for byte the same once the fields
that carry a time are removed. Exit status 1 on any difference.
"""
import importlib.util
import json
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
REAL = pathlib.Path(os.environ.get("TARVIX_REAL_DATA", REPO.parent / "shared/data/real-canon"))


def scans(research):
    spec = importlib.util.spec_from_file_location("tarvix_bench", REPO / "bench/run.py")
    bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench)
    out = []
    for name in ["clinical"] + (["research"] if research else []):
        p = bench.ensure_scan(name, bench.SCANS[name])
        out.append((name, dict(dwi=p["dwi"], bvec=p["bvec"], bval=p["bval"])))
    if REAL.is_dir():
        for img in sorted(REAL.glob("*.nii.gz")):
            stem = str(img)[: -len(".nii.gz")]
            out.append((img.name, dict(dwi=str(img), bvec=stem + ".bvec", bval=stem + ".bval")))
    return out


# Runs in a child whose sys.path starts with one package folder.
CHILD = r"""
import json, sys
import tarvix._tarvix as m
assert m.__file__.startswith(sys.argv[1]), m.__file__
for name, kw in json.loads(sys.stdin.read()):
    print(json.dumps([name, m.audit(**kw)]), flush=True)
"""


def untimed(value):
    if isinstance(value, dict):
        return {k: untimed(v) for k, v in value.items() if not any(w in k for w in ("time", "elapsed", "seconds"))}
    if isinstance(value, list):
        return [untimed(v) for v in value]
    return value


def reports(pkg, inputs):
    env = dict(os.environ, PYTHONPATH=str(pkg))
    done = subprocess.run([sys.executable, "-c", CHILD, str(pkg)], input=json.dumps(inputs), env=env,
                          capture_output=True, text=True, check=True)
    return {name: json.dumps(untimed(json.loads(text)), sort_keys=True) for name, text in
            (json.loads(line) for line in done.stdout.splitlines())}


def main():
    a, b = (pathlib.Path(p).resolve() for p in sys.argv[1:3])
    inputs = scans("--research" in sys.argv)
    ra, rb = reports(a, inputs), reports(b, inputs)
    differ = [name for name, _ in inputs if ra.get(name) != rb.get(name)]
    for name, _ in inputs:
        print(f"{'same' if name not in differ else 'DIFFERENT'}  {name}  ({len(ra.get(name, ''))} bytes)")
    print(f"{len(inputs) - len(differ)} same, {len(differ)} different")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
