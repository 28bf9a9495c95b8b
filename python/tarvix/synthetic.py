"""Synthetic diffusion phantoms with known fibre directions.

The phantom is a head-like ellipsoid of isotropic grey-matter-like tissue in a
dark background, crossed by white-matter bundles whose directions are known
exactly:

* a straight bundle mostly along the first voxel axis, rising 25 degrees
  towards the third,
* a straight bundle mostly along the second axis, falling 35 degrees towards
  the third,
* a half torus in the plane of the first two axes and an arch in the plane of
  the first and third, whose tangents sweep every in-plane orientation.

No signed axis permutation other than the identity and its negation maps this
direction field onto itself, so every wrong table convention loses coherence.

Directions are generated and stored in the voxel-axis frame (orthonormal axes
along the voxel axes). What is written to disk is converted to the frame the
file format uses: FSL bvecs are voxel-axis directions with the first
component negated when the affine determinant is positive; MRtrix gradient
files hold world directions.

numpy and nibabel are imported inside the functions so that importing the
tarvix package does not require them.
"""

import gzip
import math
import os

# Diffusivities in mm^2/s.
WM_EIGENVALUES = (1.7e-3, 0.3e-3, 0.3e-3)
GM_DIFFUSIVITY = 0.8e-3

OUTSIDE, GREY, BUNDLE_X, BUNDLE_YZ, BUNDLE_ARC, BUNDLE_ARCH, BUNDLE_CROSS = 0, 1, 2, 3, 4, 5, 6

_GOLDEN_ANGLE = math.pi * (3.0 - math.sqrt(5.0))
_TILT_X = math.radians(25.0)
_TILT_Y = math.radians(-35.0)


def fibonacci_directions(n, offset=0.0):
    """n unit vectors spread over the upper hemisphere (z > 0).

    Gradient directions are axial (g and -g measure the same thing), so only
    one hemisphere is sampled; no two directions are antipodal."""
    import numpy as np

    i = np.arange(n) + 0.5
    z = 1.0 - i / n
    r = np.sqrt(1.0 - z * z)
    phi = i * _GOLDEN_ANGLE + offset
    return np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)


def make_scheme(shells=(1000.0,), n_dirs=30, n_b0=6):
    """b-values and voxel-axis unit directions, b=0 volumes spread evenly
    between the weighted ones (the first volume is always b=0 when n_b0 > 0).

    n_dirs is one count for every shell or one count per shell. Each shell
    gets its own rotation of the direction set."""
    import numpy as np

    counts = [int(n_dirs)] * len(shells) if np.ndim(n_dirs) == 0 else list(n_dirs)
    if len(counts) != len(shells):
        raise ValueError("n_dirs needs one count per shell")
    weighted_b, weighted_g = [], []
    for k, (b, n) in enumerate(zip(shells, counts)):
        weighted_b += [float(b)] * n
        weighted_g.append(fibonacci_directions(n, offset=0.5 * k * _GOLDEN_ANGLE))
    weighted_g = np.concatenate(weighted_g) if weighted_g else np.zeros((0, 3))
    total = n_b0 + len(weighted_b)
    b0_slots = {round(k * total / n_b0) for k in range(n_b0)} if n_b0 else set()
    bvals, dirs, w = np.zeros(total), np.zeros((total, 3)), 0
    for v in range(total):
        if v not in b0_slots:
            bvals[v], dirs[v] = weighted_b[w], weighted_g[w]
            w += 1
    return bvals, dirs


def affine_preset(name="LAS", voxel=2.0, shape=(24, 24, 16), rotation_deg=(0.0, 0.0, 0.0)):
    """A 4x4 affine centred on the grid: "LAS" diag(-v, v, v) (negative
    determinant), "RAS" diag(v, v, v) (positive), or "oblique" (a rotation of
    20 degrees about z and 12 about x, positive determinant). voxel is one
    size or three (one per axis). rotation_deg turns the image further about
    the scanner's x, y and z axes (in that order), as a slice angulation does."""
    import numpy as np

    v = np.broadcast_to(np.asarray(voxel, float), (3,))
    if name == "LAS":
        linear = np.diag([-1.0, 1.0, 1.0]) * v
    elif name == "RAS":
        linear = np.eye(3) * v
    elif name == "oblique":
        a, b = math.radians(20.0), math.radians(12.0)
        rz = np.array([[math.cos(a), -math.sin(a), 0], [math.sin(a), math.cos(a), 0], [0, 0, 1]])
        rx = np.array([[1, 0, 0], [0, math.cos(b), -math.sin(b)], [0, math.sin(b), math.cos(b)]])
        linear = rz @ rx * v
    else:
        raise ValueError(f"unknown affine preset: {name}")
    ax, ay, az = (math.radians(float(a)) for a in rotation_deg)
    turn_x = np.array([[1, 0, 0], [0, math.cos(ax), -math.sin(ax)], [0, math.sin(ax), math.cos(ax)]])
    turn_y = np.array([[math.cos(ay), 0, math.sin(ay)], [0, 1, 0], [-math.sin(ay), 0, math.cos(ay)]])
    turn_z = np.array([[math.cos(az), -math.sin(az), 0], [math.sin(az), math.cos(az), 0], [0, 0, 1]])
    linear = turn_z @ turn_y @ turn_x @ linear
    affine = np.eye(4)
    affine[:3, :3] = linear
    affine[:3, 3] = -linear @ ((np.asarray(shape[:3], float) - 1.0) / 2.0)
    return affine


def voxel_to_world(affine):
    """R with columns = normalised affine columns: world = R @ voxel-axis."""
    import numpy as np

    linear = np.asarray(affine, float)[:3, :3]
    return linear / np.linalg.norm(linear, axis=0)


def fsl_mirror(affine):
    """diag(-1, 1, 1) when the affine determinant is positive, else identity."""
    import numpy as np

    det = np.linalg.det(np.asarray(affine, float)[:3, :3])
    return np.diag([-1.0, 1.0, 1.0]) if det > 0 else np.eye(3)


def table_directions(dirs, affine, frame="fsl"):
    """Voxel-axis directions expressed in the frame of a table file:
    "fsl" (bvec) or "world" (MRtrix grad)."""
    import numpy as np

    m = fsl_mirror(affine) if frame == "fsl" else voxel_to_world(affine)
    return np.asarray(dirs, float) @ m.T


def signed_permutation(label):
    """The 3x3 matrix of a label such as "-x+y+z" or "+y+z+x": row i holds the
    sign of pair i in the column of its axis, so (M @ g)[i] = s_i * g[axis_i]."""
    import numpy as np

    if len(label) != 6:
        raise ValueError(f"bad transform label: {label!r}")
    m = np.zeros((3, 3))
    for row in range(3):
        sign, axis = label[2 * row], label[2 * row + 1]
        m[row, "xyz".index(axis)] = -1.0 if sign == "-" else 1.0
    if sorted(np.abs(m).sum(axis=0)) != [1.0, 1.0, 1.0]:
        raise ValueError(f"bad transform label: {label!r}")
    return m


def corrupt(dirs, transform):
    """Apply a signed permutation (matrix or label) to every direction."""
    import numpy as np

    m = signed_permutation(transform) if isinstance(transform, str) else np.asarray(transform, float)
    return np.asarray(dirs, float) @ m.T


def phantom_fields(shape, voxel_sizes=(2.0, 2.0, 2.0), radius_mm=3.0, cell_mm=(48.0, 48.0, 32.0)):
    """Tissue labels (OUTSIDE, GREY, BUNDLE_*) and unit fibre directions in
    voxel axes (zero outside the bundles) on a grid of the first three sizes.

    The bundles fill one cell of cell_mm millimetres; cells are tiled
    from the grid centre so that a large grid holds many bundles of the same
    size (their size relative to the voxel decides how well flips show)."""
    labels, fibres, _ = phantom_layers(shape, voxel_sizes, radius_mm, cell_mm)
    return labels, fibres


def phantom_layers(shape, voxel_sizes=(2.0, 2.0, 2.0), radius_mm=3.0, cell_mm=(48.0, 48.0, 32.0), crossing=False):
    """phantom_fields plus a second fibre direction per voxel (zero where a
    voxel holds one bundle).

    With crossing, one more straight bundle (BUNDLE_CROSS) runs mostly along
    the third axis and crosses the first bundle at a right angle; voxels of
    both hold the two directions in equal parts, where the tensor fit sees a
    flattened tensor of low FA, as in real crossings."""
    import numpy as np

    n = np.asarray(shape[:3])
    vs = np.asarray(voxel_sizes, float)
    cell = np.asarray(cell_mm, float)
    h = 0.5 * float(np.min(cell))
    extent = (n - 1) * vs
    mm = [np.arange(n[a]) * vs[a] - extent[a] / 2.0 for a in range(3)]
    px, py, pz = np.meshgrid(*mm, indexing="ij")
    semi = 0.46 * extent + 1e-9
    head = (px / semi[0]) ** 2 + (py / semi[1]) ** 2 + (pz / semi[2]) ** 2 <= 1.0
    # Local coordinates inside each cell, in units of half the cell's shortest side.
    x, y, z = ((p - cell[a] * np.floor(p / cell[a] + 0.5)) / h for a, p in enumerate((px, py, pz)))

    labels = np.where(head, GREY, OUTSIDE).astype(np.uint8)
    fibres = np.zeros(tuple(n) + (3,))
    r2 = (radius_mm / h) ** 2

    def tube(point, direction):
        d = np.asarray(direction, float)
        rel = (x - point[0], y - point[1], z - point[2])
        along = rel[0] * d[0] + rel[1] * d[1] + rel[2] * d[2]
        return sum((rel[a] - along * d[a]) ** 2 for a in range(3)) <= r2

    def claim(inside, label, direction):
        inside &= labels == GREY
        labels[inside] = label
        fibres[inside] = direction[inside] if np.ndim(direction) == 4 else direction

    # Mostly along the first axis, rising 25 degrees towards the third.
    a = np.array([math.cos(_TILT_X), 0.0, math.sin(_TILT_X)])
    claim(tube((0.0, -0.75, 0.3), a), BUNDLE_X, a)
    # Mostly along the second axis, falling 35 degrees towards the third.
    b = np.array([0.0, math.cos(_TILT_Y), math.sin(_TILT_Y)])
    claim(tube((0.75, 0.0, 0.0), b), BUNDLE_YZ, b)
    # Half torus in the plane of the first two axes.
    cx, cy, cz, major = -0.4, 0.2, -0.45, 0.75
    rho = np.hypot(x - cx, y - cy)
    on_arc = ((rho - major) ** 2 + (z - cz) ** 2 <= r2) & (y >= cy)
    tangent = np.stack([-(y - cy), x - cx, np.zeros_like(x)], axis=-1) / np.maximum(rho, 1e-9)[..., None]
    claim(on_arc, BUNDLE_ARC, tangent)
    # Arch in the plane of the first and third axes.
    cx, cy, cz, major = -0.4, -0.1, -0.2, 0.6
    rho = np.hypot(x - cx, z - cz)
    on_arc = ((rho - major) ** 2 + (y - cy) ** 2 <= r2) & (z >= cz)
    tangent = np.stack([-(z - cz), np.zeros_like(x), x - cx], axis=-1) / np.maximum(rho, 1e-9)[..., None]
    claim(on_arc, BUNDLE_ARCH, tangent)
    second = np.zeros_like(fibres)
    if crossing:
        c = np.array([-math.sin(_TILT_X), 0.35, math.cos(_TILT_X)])
        c /= np.linalg.norm(c)
        inside = tube((0.0, -0.75, 0.3), c)
        second[inside & (labels == BUNDLE_X)] = c
        claim(inside, BUNDLE_CROSS, c)
    return labels, fibres, second


def head_mask(shape, voxel_sizes=(2.0, 2.0, 2.0)):
    """The whole head of the phantom (every voxel that is not background), as
    uint8: what a brain-extraction tool would give."""
    import numpy as np

    labels, _ = phantom_fields(shape, voxel_sizes)
    return (labels != OUTSIDE).astype(np.uint8)


def make_phantom(shape, affine, bvals, dirs, snr=30.0, seed=0, s0=1000.0, radius_mm=3.0,
                 cell_mm=(48.0, 48.0, 32.0), crossing=False):
    """Simulated DWI as an int16 array of shape (nx, ny, nz, len(bvals)), and
    the affine.

    dirs are voxel-axis gradient directions (any length; normalised here).
    Signal S = S0 exp(-b g^T D g) with S0 = s0 in grey matter, 0.9 s0 in white
    matter and 0 outside, plus Rician noise of sigma = s0 / snr (snr None or
    0: no noise); a crossing voxel has the mean of its two bundles' signals.
    radius_mm, cell_mm and crossing shape the bundles (see phantom_layers).
    The same seed gives the same data."""
    import numpy as np

    affine = np.asarray(affine, float)
    bvals = np.asarray(bvals, float)
    dirs = np.asarray(dirs, float).reshape(-1, 3)
    if len(dirs) != len(bvals):
        raise ValueError("one direction per b-value is needed")
    norms = np.linalg.norm(dirs, axis=1, keepdims=True)
    units = np.where(norms > 1e-9, dirs / np.maximum(norms, 1e-12), 0.0)

    labels, fibres, second = phantom_layers(shape, np.linalg.norm(affine[:3, :3], axis=0), radius_mm, cell_mm,
                                            crossing)
    grid = labels.shape
    labels = labels.ravel(order="F")  # NIfTI order: one contiguous run per volume
    wm = np.flatnonzero(labels >= BUNDLE_X)
    wm_fibres = fibres.reshape(-1, 3, order="F")[wm]
    wm_second = second.reshape(-1, 3, order="F")[wm]
    crossed = np.flatnonzero(np.any(wm_second != 0, axis=1))
    base = np.select([labels == GREY, labels >= BUNDLE_X], [s0, 0.9 * s0], 0.0).astype(np.float32)
    l1, l2, _ = WM_EIGENVALUES
    iso = np.where(labels == GREY, GM_DIFFUSIVITY, l2).astype(np.float32)
    sigma = s0 / snr if snr else 0.0
    rng = np.random.default_rng(seed)

    out = np.empty(grid + (len(bvals),), dtype=np.int16, order="F")
    for v, (b, g) in enumerate(zip(bvals, units)):
        # g^T D g is the isotropic part plus the bundle's extra diffusivity along its fibre.
        signal = base * np.exp(np.float32(-b) * iso)
        along = np.exp(-b * (l1 - l2) * (wm_fibres @ g) ** 2)
        if crossed.size:
            along[crossed] = 0.5 * (along[crossed] + np.exp(-b * (l1 - l2) * (wm_second[crossed] @ g) ** 2))
        signal[wm] *= along.astype(np.float32)
        if sigma:
            noise = rng.standard_normal((2, signal.size), dtype=np.float32) * np.float32(sigma)
            signal = np.hypot(signal + noise[0], noise[1])
        out[..., v] = np.clip(np.rint(signal), 0, 32767).reshape(grid, order="F")
    return out, affine


def _component(value):
    return f"{0.0 if abs(value) < 5e-7 else value:.6f}"  # never "-0.000000"


def write_fsl(bvec_path, bval_path, bvals, dirs):
    """FSL text files: three bvec rows, one bval row."""
    with open(bvec_path, "w") as f:
        for axis in range(3):
            f.write(" ".join(_component(d[axis]) for d in dirs) + "\n")
    with open(bval_path, "w") as f:
        f.write(" ".join(f"{b:g}" for b in bvals) + "\n")


def write_mrtrix(path, bvals, dirs):
    """MRtrix gradient file: one "x y z b" line per volume."""
    with open(path, "w") as f:
        for d, b in zip(dirs, bvals):
            f.write(f"{_component(d[0])} {_component(d[1])} {_component(d[2])} {b:g}\n")


def write_nifti(path, data, affine, compresslevel=6):
    """Write data with nibabel; a name ending in .gz is gzip-compressed at the
    given level (nibabel's own default level is 1)."""
    import nibabel as nib
    import numpy as np

    img = nib.Nifti1Image(data, np.asarray(affine, float))
    img.header.set_xyzt_units("mm", "sec")
    if not str(path).endswith(".gz"):
        img.to_filename(str(path))
        return
    with open(path, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", compresslevel=compresslevel, fileobj=raw, mtime=0) as gz:
            gz.write(img.to_bytes())


def write_table(folder, name, bvals, dirs, affine, transform=None, mrtrix=False, wrong_frame=False):
    """Write the table of voxel-axis directions dirs for an image of this
    affine, in the frame of its format, corrupted by transform (a signed
    permutation, matrix or label, applied in that frame) when given. With
    wrong_frame the directions are those of the other format's frame (an
    MRtrix table written as a bvec, bvec components in a .b file). Returns
    the paths: "bvec" and "bval", or "grad"."""
    written = table_directions(dirs, affine, "world" if mrtrix != wrong_frame else "fsl")
    if transform is not None:
        written = corrupt(written, transform)
    if mrtrix:
        paths = {"grad": os.path.join(folder, f"{name}.b")}
        write_mrtrix(paths["grad"], bvals, written)
    else:
        paths = {"bvec": os.path.join(folder, f"{name}.bvec"), "bval": os.path.join(folder, f"{name}.bval")}
        write_fsl(paths["bvec"], paths["bval"], bvals, written)
    return paths


def write_scan(folder, name, shape=(24, 24, 16), affine="LAS", shells=(1000.0,), n_dirs=30, n_b0=6,
               fmt="nii.gz", transform=None, mrtrix=False, snr=30.0, seed=0, s0=1000.0, compresslevel=6,
               radius_mm=3.0, cell_mm=(48.0, 48.0, 32.0), crossing=False, brain_mask=False, wrong_frame=False):
    """Simulate a scan and write it to folder as <name>.<fmt> plus its table.

    affine is a 4x4 matrix or a preset name of affine_preset (2 mm voxels).
    transform (a signed permutation, matrix or label) corrupts the written
    table; the image always follows the true directions. The table is written
    as FSL <name>.bvec/<name>.bval, or as MRtrix <name>.b (world frame) when
    mrtrix is true; wrong_frame writes it in the other format's frame (see
    write_table). radius_mm, cell_mm and crossing shape the bundles (see
    phantom_layers); brain_mask also writes the whole-head mask as
    <name>_brainmask.nii. Returns the paths: "dwi", then "bvec" and "bval" or
    "grad", then "mask" when written."""
    import numpy as np

    os.makedirs(folder, exist_ok=True)
    if isinstance(affine, str):
        affine = affine_preset(affine, 2.0, shape)
    bvals, dirs = make_scheme(shells, n_dirs, n_b0)
    data, affine = make_phantom(shape, affine, bvals, dirs, snr=snr, seed=seed, s0=s0, radius_mm=radius_mm,
                                cell_mm=cell_mm, crossing=crossing)

    paths = {"dwi": os.path.join(folder, f"{name}.{fmt}")}
    write_nifti(paths["dwi"], data, affine, compresslevel)
    paths.update(write_table(folder, name, bvals, dirs, affine, transform, mrtrix, wrong_frame))
    if brain_mask:
        paths["mask"] = os.path.join(folder, f"{name}_brainmask.nii")
        write_nifti(paths["mask"], head_mask(shape, np.linalg.norm(affine[:3, :3], axis=0)), affine)
    return paths


MISMATCHES = ("shuffled", "shifted", "b0-swapped", "shells-exchanged", "random-directions")


def mismatched_table(bvals, dirs, kind, seed=0):
    """A table of the same count whose rows do not describe the scan of
    (bvals, dirs): "shuffled" (the weighted rows of the first shell in another
    order), "shifted" (every row one volume late), "b0-swapped" (the first
    b=0 row exchanged with the first weighted one), "shells-exchanged" (the
    two lowest shells' b-values swapped) or "random-directions" (another
    acquisition's directions). Returns new (bvals, dirs)."""
    import numpy as np

    bvals, dirs = np.array(bvals, float), np.array(dirs, float)
    rng = np.random.default_rng(seed)
    weighted = np.flatnonzero(bvals > 0)
    shells = sorted(set(bvals[weighted]))
    if kind == "shuffled":
        rows = np.flatnonzero(bvals == shells[0])
        dirs[rows] = dirs[rng.permutation(rows)]
    elif kind == "shifted":
        bvals, dirs = np.roll(bvals, 1), np.roll(dirs, 1, axis=0)
    elif kind == "b0-swapped":
        a, b = int(np.flatnonzero(bvals == 0)[0]), int(weighted[0])
        bvals[[a, b]], dirs[[a, b]] = bvals[[b, a]], dirs[[b, a]]
    elif kind == "shells-exchanged":
        low, high = bvals == shells[0], bvals == shells[1]
        bvals[low], bvals[high] = shells[1], shells[0]
    elif kind == "random-directions":
        g = rng.standard_normal((weighted.size, 3))
        dirs[weighted] = g / np.linalg.norm(g, axis=1, keepdims=True)
    else:
        raise ValueError(f"unknown mismatch {kind!r}")
    return bvals, dirs
