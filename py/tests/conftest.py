import pytest

# One b=0 volume and six well-spread directions at b=1000.
DIRECTIONS = [
    (0.0, 0.0, 0.0),
    (1.0, 0.0, 0.0),
    (0.0, 1.0, 0.0),
    (0.0, 0.0, 1.0),
    (0.7071068, 0.7071068, 0.0),
    (0.7071068, 0.0, 0.7071068),
    (0.0, 0.7071068, 0.7071068),
]
BVALS = [0, 1000, 1000, 1000, 1000, 1000, 1000]


@pytest.fixture
def fsl_pair(tmp_path):
    """A small FSL bvec/bval pair; returns their paths as str."""
    bvec = tmp_path / "t.bvec"
    bval = tmp_path / "t.bval"
    bvec.write_text("\n".join(" ".join(f"{d[i]:.7f}" for d in DIRECTIONS) for i in range(3)) + "\n")
    bval.write_text(" ".join(str(b) for b in BVALS) + "\n")
    return str(bvec), str(bval)


@pytest.fixture
def grad_file(tmp_path):
    """The same table as an MRtrix gradient file."""
    grad = tmp_path / "t.b"
    grad.write_text("".join(f"{d[0]} {d[1]} {d[2]} {b}\n" for d, b in zip(DIRECTIONS, BVALS)))
    return str(grad)


@pytest.fixture
def small_dwi(tmp_path, fsl_pair):
    """A 2x3x4 DWI matching the table: one tensor along the first voxel axis
    everywhere, baseline alternating 1000 / 300 so that the bright voxels form
    the white-matter mask. Returns (dwi path, baseline array, bvec, bval)."""
    import nibabel as nib
    import numpy as np

    shape = (2, 3, 4)
    s0 = np.where(np.indices(shape).sum(0) % 2 == 0, 1000.0, 300.0)
    g = np.array(DIRECTIONS)
    b = np.array(BVALS, dtype=float)
    tensor = np.diag([1.7e-3, 0.3e-3, 0.3e-3])
    attenuation = np.exp(-b * np.einsum("ki,ij,kj->k", g, tensor, g))
    data = (s0[..., None] * attenuation).astype(np.float32)
    path = tmp_path / "dwi.nii"
    nib.save(nib.Nifti1Image(data, np.diag([2.0, 2.0, 2.0, 1.0])), str(path))
    return (str(path), s0) + fsl_pair
