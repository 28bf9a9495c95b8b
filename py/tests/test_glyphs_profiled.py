"""Glyph payloads and stage timings of the instrumented module functions,
checked on synthetic phantoms against an independent numpy tensor fit."""

import json
import os

import nibabel as nib
import numpy as np
import pytest

from tarvix import _tarvix as m, synthetic

from conftest import untimed

# Three different sizes, so a transposed voxel order cannot pass.
GRID = (22, 18, 14)
TIMING_KEYS = ["threads", "decompress", "convert", "fit", "coherence", "other", "total"]
MIN_S0, FA_THRESHOLD, B0_THRESHOLD = 1.0, 0.2, 50.0


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("scans"))
    # Oblique, so that a transposed affine shows; plain .nii keeps it quick. The first two table axes
    # are swapped: a repair is due (the fit follows the table, as the independent fit does).
    grid = synthetic.write_scan(root, "grid", shape=GRID, affine="oblique", n_dirs=20, n_b0=4, fmt="nii",
                                transform="+y+x+z")
    # A realistically sized compressed int16 image, so both read stages take time.
    return grid, synthetic.write_scan(root, "big", shape=(48, 48, 30), n_dirs=16, n_b0=4, fmt="nii.gz")


def table(paths):
    return dict(bvec=paths["bvec"], bval=paths["bval"])


def numpy_fit(paths):
    """Log-linear tensor fit over the b=0 volumes and every weighted volume, written from the model
    rather than from the core: per voxel the mean b=0 signal (summed in volume order, like the core),
    FA (0 where the fit is not valid), the principal eigenvector and the gap below its eigenvalue."""
    data = np.asarray(nib.load(paths["dwi"]).dataobj).astype(np.float64)
    bvals, dirs = np.loadtxt(paths["bval"]), np.loadtxt(paths["bvec"]).T
    b0, shell = np.flatnonzero(bvals <= B0_THRESHOLD), np.flatnonzero(bvals > B0_THRESHOLD)
    rows = [[1.0, 0, 0, 0, 0, 0, 0]] * len(b0)
    for k in shell:
        u, b = dirs[k] / np.linalg.norm(dirs[k]), bvals[k]
        rows.append([1.0, -b * u[0] ** 2, -b * u[1] ** 2, -b * u[2] ** 2,
                     -2 * b * u[0] * u[1], -2 * b * u[0] * u[2], -2 * b * u[1] * u[2]])
    params = np.log(np.maximum(data[..., np.concatenate([b0, shell])], 1e-6)) @ np.linalg.pinv(np.array(rows)).T
    # The tensor, row by row, from the coefficients of xx, yy, zz, xy, xz, yz.
    evals, evecs = np.linalg.eigh(params[..., [1, 4, 5, 4, 2, 6, 5, 6, 3]].reshape(data.shape[:3] + (3, 3)))
    evals = np.maximum(evals, 0.0)
    sq = (evals**2).sum(-1)
    with np.errstate(invalid="ignore", divide="ignore"):
        fa = np.where(sq > 0, np.sqrt(1.5 * ((evals - evals.mean(-1, keepdims=True)) ** 2).sum(-1) / sq), 0.0)
    s0 = sum(data[..., k] for k in b0) / len(b0)
    valid = (s0 >= MIN_S0) & np.isfinite(fa) & (evals[..., 2] > 0)
    gap = (evals[..., 2] - evals[..., 1]) / np.where(valid, evals[..., 2], 1.0)
    return dict(s0=s0, fa=np.where(valid, fa, 0.0), v1=evecs[..., :, 2], valid=valid, gap=gap)


def unpack(glyphs):
    shape = tuple(glyphs["shape"])
    assert all(type(glyphs[key]) is bytes for key in ("v1", "fa", "s0", "mask"))
    return dict(v1=np.frombuffer(glyphs["v1"], "<f4").reshape(shape + (3,)),
                mask=np.frombuffer(glyphs["mask"], np.uint8).reshape(shape),
                **{key: np.frombuffer(glyphs[key], "<f4").reshape(shape) for key in ("fa", "s0")})


def test_glyph_buffers_match_an_independent_fit(scans):
    paths = scans[0]
    report, glyphs = m.audit_with_glyphs(paths["dwi"], **table(paths), threads=2)
    assert glyphs["shape"] == list(GRID)
    header = nib.load(paths["dwi"]).header
    np.testing.assert_allclose(glyphs["affine"], header.get_best_affine(), rtol=0, atol=1e-6)
    assert glyphs["voxel_sizes"] == [float(z) for z in header.get_zooms()[:3]]
    # An FSL table is mirrored in x against the voxel axes exactly when the affine keeps handedness.
    mirrored = np.linalg.det(header.get_best_affine()[:3, :3]) > 0
    assert glyphs["frame_map"] == np.diag([-1.0 if mirrored else 1.0, 1.0, 1.0]).tolist()
    got, ref = unpack(glyphs), numpy_fit(paths)

    # The baseline is the float32 of the mean b=0 signal, valid voxel or not.
    np.testing.assert_array_equal(got["s0"], ref["s0"].astype(np.float32))
    valid = ref["valid"]
    assert valid.sum() > 1000 and (~valid).any()
    np.testing.assert_allclose(got["fa"][valid], ref["fa"][valid], rtol=0, atol=1e-6)
    assert not got["fa"][~valid].any() and not got["v1"][~valid].any()
    # Principal directions agree up to sign wherever the largest eigenvalue stands apart.
    sharp = valid & (ref["gap"] > 1e-3)
    assert sharp.sum() > 0.9 * valid.sum()
    np.testing.assert_allclose(np.linalg.norm(got["v1"][valid], axis=-1), 1.0, atol=1e-6)
    np.testing.assert_allclose(np.abs((got["v1"] * ref["v1"]).sum(-1))[sharp], 1.0, atol=1e-5)
    # The scoring mask is the white-matter proxy, one byte 0/1 per voxel, in the fields' voxel order
    # (where its Otsu cut on the baseline falls: OtsuThresholdOverManyRangesAndThreads in core/tests).
    assert set(np.unique(got["mask"])) == {0, 1}
    assert not (got["mask"].astype(bool) & ~(valid & (ref["fa"] >= FA_THRESHOLD))).any()
    assert got["mask"].sum() == json.loads(report)["flip"]["n_wm_voxels"]


@pytest.mark.parametrize("options", [{}, dict(shell=1000.0, margin_threshold=0.05, step=1.5)])
def test_variants_return_their_tuples(scans, tmp_path, options):
    paths = scans[0]
    # One worker: coherence sums then add up in one order, so reports compare exactly.
    t = dict(table(paths), threads=1, **options)
    out = dict(out_bvec=str(tmp_path / "fixed.bvec"), out_bval=str(tmp_path / "fixed.bval"))
    results = {
        "audit_with_glyphs": m.audit_with_glyphs(paths["dwi"], **t),
        "detect_flip_with_glyphs": m.detect_flip_with_glyphs(paths["dwi"], **t),
        "audit_profiled": m.audit_profiled(paths["dwi"], **t),
        "audit_profiled_with_glyphs": m.audit_profiled_with_glyphs(paths["dwi"], **t),
        "repair_with_glyphs": m.repair_with_glyphs(paths["dwi"], **out, **t),
    }
    audit, detect = untimed(m.audit(dwi=paths["dwi"], **t)), untimed(m.detect_flip(paths["dwi"], **t))
    for name, result in results.items():
        assert type(result) is tuple, name
        expected = [str, dict, dict] if name == "audit_profiled_with_glyphs" else [str, dict]
        assert [type(x) for x in result] == expected, name
        if name != "repair_with_glyphs":
            assert untimed(result[0]) == (detect if "detect" in name else audit), name
        if "glyphs" in name:
            assert list(result[-1]) == ["shape", "affine", "voxel_sizes", "frame_map", "v1", "fa", "s0", "mask"]
            # One fit of the same data whatever the variant.
            assert result[-1] == results["audit_with_glyphs"][1], name

    repair = json.loads(results["repair_with_glyphs"][0])
    assert repair["flip"] == audit["flip"]
    assert repair["repair"] == {"matrix": [[0.0, 1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]], "label": "+y+x+z",
                                "outputs": [out["out_bvec"], out["out_bval"]]}
    assert os.path.exists(out["out_bvec"]) and os.path.exists(out["out_bval"])


def check_timings(timings):
    assert list(timings) == TIMING_KEYS
    assert all(type(v) is float for v in timings.values())
    d, c, f, co, other, total = (timings[k] for k in TIMING_KEYS[1:])
    assert other >= 0.0
    # Summed the way a caller would, the parts never fall short of the total.
    assert d + c + f + co + other >= total
    # The measured stages are disjoint stretches of the timed call.
    assert d + c + f + co <= total + 1e-6
    if other > 0:
        assert d + c + f + co + other == pytest.approx(total, rel=1e-12)
    assert f > 0 and co > 0


def test_profiled_timings(scans):
    big = scans[1]
    t = table(big)
    report, timings = m.audit_profiled(big["dwi"], **t, threads=3)
    check_timings(timings)
    assert timings["threads"] == 3.0
    # Reading a compressed int16 image: inflating and turning the volumes the audit keeps (the
    # b=0 volumes of the drift) into floats both cost time; the fit converts its own volumes.
    assert timings["decompress"] > 0 and timings["convert"] > 0
    assert untimed(report) == untimed(m.audit(dwi=big["dwi"], **t, threads=3))

    # No thread count: the default arena, one worker per processor this process may use.
    report, timings, _ = m.audit_profiled_with_glyphs(big["dwi"], **t, shell=1000.0)
    check_timings(timings)
    assert timings["threads"] == float(len(os.sched_getaffinity(0)))
    assert untimed(report) == untimed(m.audit(dwi=big["dwi"], **t, shell=1000.0))
