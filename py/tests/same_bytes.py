"""Print one line per scan: its name and the SHA-256 of its reports (the
module's audit report and the engine's report with the tracking measure),
timestamps blanked. Two builds, or one build with and without the vector
kernels (TARVIX_VECTOR_KERNELS=off), must print the same lines.

Usage: python same_bytes.py FOLDER... (each *.nii.gz with a .bvec and .bval
beside it in a FOLDER is a scan, taken in sorted order)."""

from __future__ import annotations

import hashlib
import pathlib
import re
import sys

from tarvix import _engine, _tarvix

TIMESTAMP = re.compile(r'"timestamp": ?"[^"]*"')


def scans(folders):
    for folder in folders:
        for dwi in sorted(pathlib.Path(folder).glob("*.nii.gz")):
            stem = dwi.name.removesuffix(".nii.gz")
            bvec, bval = dwi.with_name(stem + ".bvec"), dwi.with_name(stem + ".bval")
            if bvec.is_file() and bval.is_file():
                yield dwi, bvec, bval


def fingerprint(dwi, bvec, bval) -> str:
    paths = dict(dwi=str(dwi), bvec=str(bvec), bval=str(bval))
    plain = _tarvix.audit(**paths)
    engine = _engine.audit(**paths, tracking=True)
    text = "\n".join([plain, engine["report"], engine["tracking"]])
    return hashlib.sha256(TIMESTAMP.sub('"timestamp":""', text).encode()).hexdigest()


def main(folders) -> int:
    found = 0
    for dwi, bvec, bval in scans(folders):
        found += 1
        print(dwi.name, fingerprint(dwi, bvec, bval), flush=True)
    if not found:
        print("no scans found in " + " ".join(folders), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
