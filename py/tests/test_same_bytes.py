"""The vector kernels (AVX2, AVX-512) must give the very bytes of the plain
code: every report of a run with them is compared with one of a run as on a
machine without AVX2 and FMA (TARVIX_VECTOR_KERNELS=off, and glibc's libm
without its FMA variants), on images of each stored type the fit handles
differently (8- and 16-bit voxels looked up, float voxels through the
logarithm kernel)."""

import os
import pathlib
import subprocess
import sys

import nibabel as nib
import numpy as np

from tarvix import synthetic

SAME_BYTES = pathlib.Path(__file__).with_name("same_bytes.py")

# stored type, conversion of the simulated int16 signal
STORED = {
    "int16": None,
    "uint8": lambda d: np.clip(d / 8.0, 0, 255).astype(np.uint8),
    "float32": lambda d: (d * 1.37).astype(np.float32),
}


def make_scans(folder: pathlib.Path) -> None:
    for name, convert in STORED.items():
        paths = synthetic.write_scan(folder, name, shape=(22, 20, 14), shells=(1000.0, 2000.0), n_dirs=24,
                                     transform="+y+x+z", seed=5)
        if convert:
            image = nib.load(paths["dwi"])
            synthetic.write_nifti(paths["dwi"], convert(np.asarray(image.dataobj)), image.affine)


def fingerprints(folder, vector: bool) -> str:
    env = {k: v for k, v in os.environ.items() if k not in ("TARVIX_VECTOR_KERNELS", "GLIBC_TUNABLES")}
    if not vector:
        env["TARVIX_VECTOR_KERNELS"] = "off"
        env["GLIBC_TUNABLES"] = "glibc.cpu.hwcaps=-AVX2,-FMA"
    done = subprocess.run([sys.executable, str(SAME_BYTES), str(folder)], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_vector_kernels_give_the_bytes_of_the_plain_code(tmp_path):
    make_scans(tmp_path)
    with_vectors = fingerprints(tmp_path, vector=True)
    assert len(with_vectors.splitlines()) == len(STORED)
    assert with_vectors == fingerprints(tmp_path, vector=False)
