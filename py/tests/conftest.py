import numpy as np
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


def tensor_fit(data, bvals, dirs, b0_threshold=50.0):
    """Log-linear tensor fit over the b=0 volumes and every weighted volume,
    written from the model rather than from the core. Returns per voxel the
    mean b=0 signal (summed in volume order, like the core), the ascending
    eigenvalues (floored at 0), the principal eigenvector and FA."""
    b0 = np.flatnonzero(bvals <= b0_threshold)
    shell = np.flatnonzero(bvals > b0_threshold)
    rows = [[1.0, 0, 0, 0, 0, 0, 0]] * len(b0)
    for k in shell:
        u, b = dirs[k] / np.linalg.norm(dirs[k]), bvals[k]
        rows.append([1.0, -b * u[0] ** 2, -b * u[1] ** 2, -b * u[2] ** 2,
                     -2 * b * u[0] * u[1], -2 * b * u[0] * u[2], -2 * b * u[1] * u[2]])
    params = np.log(np.maximum(data[..., np.concatenate([b0, shell])], 1e-6)) @ np.linalg.pinv(np.array(rows)).T
    d = np.empty(data.shape[:3] + (3, 3))
    for (i, j), c in {(0, 0): 1, (1, 1): 2, (2, 2): 3, (0, 1): 4, (0, 2): 5, (1, 2): 6}.items():
        d[..., i, j] = d[..., j, i] = params[..., c]
    evals, evecs = np.linalg.eigh(d)
    evals = np.maximum(evals, 0.0)
    sq = (evals**2).sum(-1)
    with np.errstate(invalid="ignore", divide="ignore"):
        fa = np.sqrt(1.5 * ((evals - evals.mean(-1, keepdims=True)) ** 2).sum(-1) / sq)
    s0 = sum(data[..., k] for k in b0) / len(b0)
    return dict(s0=s0, evals=evals, v1=evecs[..., :, 2], fa=np.where(sq > 0, fa, 0.0))


@pytest.fixture(scope="session")
def scans(tmp_path_factory):
    """A 2 mm phantom with enough white matter for both measures (360
    trackable voxels), its correct table and one with the x axis flipped,
    each with a whole-head mask."""
    from tarvix import synthetic

    folder = str(tmp_path_factory.mktemp("scans"))
    return {name: synthetic.write_scan(folder, name, shape=(24, 24, 16), transform=t, seed=2, brain_mask=True)
            for name, t in (("correct", None), ("flipped", "-x+y+z"))}


@pytest.fixture(scope="session")
def scan(scans):
    return scans["flipped"]
