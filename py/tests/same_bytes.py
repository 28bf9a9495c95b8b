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
            stem = str(dwi).removesuffix(".nii.gz")
            if pathlib.Path(stem + ".bvec").is_file() and pathlib.Path(stem + ".bval").is_file():
                yield dwi.name, dict(dwi=str(dwi), bvec=stem + ".bvec", bval=stem + ".bval")


def fingerprint(paths) -> str:
    plain, engine = _tarvix.audit(**paths), _engine.audit(**paths, tracking=True)
    text = "\n".join([plain, engine["report"], engine["tracking"]])
    return hashlib.sha256(TIMESTAMP.sub('"timestamp":""', text).encode()).hexdigest()


def main(folders) -> int:
    found = list(scans(folders))
    for name, paths in found:
        print(name, fingerprint(paths), flush=True)
    if not found:
        print("no scans found in " + " ".join(folders), file=sys.stderr)
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
