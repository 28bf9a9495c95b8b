import importlib.metadata
import inspect as pyinspect
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarvix
from tarvix import _tarvix as m, synthetic

from conftest import untimed

TABLE = "bvec=None, bval=None, grad=None"
IMAGE_AND_TABLE = f"(dwi, {TABLE}, mask=None"
ANALYSIS = "tolerance=0.05, b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02"
CHECKS = "strict=False, norm_tolerance=0.05, threads=None)"
REPAIR = (f"(dwi, out_bvec, out_bval, {TABLE}, mask=None, out_grad=None, provenance=None, {ANALYSIS}, "
          "dry_run=False, in_place=False, strict=False, force_repair=False, norm_tolerance=0.05, threads=None)")
SIGNATURES = {
    "version": "()",
    "build_features": "()",
    "inspect": f"({TABLE}, tolerance=0.05, b0_threshold=50.0, shell=None, {CHECKS}",
    "audit": f"({TABLE}, dwi=None, mask=None, {ANALYSIS}, {CHECKS}",
    "audit_with_glyphs": f"{IMAGE_AND_TABLE}, {ANALYSIS}, {CHECKS}",
    "audit_profiled": f"{IMAGE_AND_TABLE}, {ANALYSIS}, {CHECKS}",
    "audit_profiled_with_glyphs": f"{IMAGE_AND_TABLE}, {ANALYSIS}, {CHECKS}",
    "audit_bids": f"(root, {ANALYSIS}, {CHECKS}",
    "detect_flip": f"{IMAGE_AND_TABLE}, {ANALYSIS}, threads=None)",
    "detect_flip_with_glyphs": f"{IMAGE_AND_TABLE}, {ANALYSIS}, threads=None)",
    "repair": REPAIR,
    "repair_with_glyphs": REPAIR,
    "recompute_bval": f"(out_bvec, out_bval, {TABLE}, out_grad=None, provenance=None, b0_threshold=50.0, "
    "dry_run=False, in_place=False, threads=None)",
}


def test_function_table_and_signatures():
    public = [k for k in vars(m) if not k.startswith("__")]
    assert public == list(SIGNATURES)
    for name, sig in SIGNATURES.items():
        f = getattr(m, name)
        assert str(pyinspect.signature(f)) == sig, name  # (no "/" or "*": each by position or by name)
        assert getattr(tarvix, name) is f
    assert tarvix.__version__ == m.version() == importlib.metadata.version("tarvix")
    with pytest.raises(TypeError, match=r"version\(\) takes no keyword arguments$"):
        m.version(threads=1)


@pytest.mark.parametrize("call, message", [
    (lambda: m.detect_flip(), "detect_flip() missing required argument 'dwi' (pos 1)"),
    (lambda: m.repair("d", bvec="x"), "repair() missing required argument 'out_bvec' (pos 2)"),
    (lambda: m.inspect(*range(10)), "inspect() takes at most 9 arguments (10 given)"),
    (lambda: m.inspect(1, 2, 3, 4, 5, 6, 7, 8, 9, grad=None), "inspect() takes at most 9 arguments (10 given)"),
    (lambda: m.inspect(**{k: None for k in "abcdefghij"}), "inspect() takes at most 9 keyword arguments (10 given)"),
    (lambda: m.inspect("a", bvec="b"), "argument for inspect() given by name ('bvec') and position (1)"),
    (lambda: m.audit_bids(root="r", path="x"), "audit_bids() got an unexpected keyword argument 'path'"),
    (lambda: m.inspect(bvec="a", thread=2), "inspect() got an unexpected keyword argument 'thread'. Did you mean 'threads'?"),
    # The interpreter's order: a missing required argument is found before a duplicate one.
    (lambda: m.repair("d", dwi="d"), "repair() missing required argument 'out_bvec' (pos 2)"),
    # Conversions name the function and the parameter.
    (lambda: m.inspect(bval=pathlib.Path("x")), "inspect() argument 'bval' must be str or None, not PosixPath"),
    (lambda: m.audit_bids(pathlib.Path("r")), "audit_bids() argument 'root' must be str, not PosixPath"),
    (lambda: m.inspect(tolerance="0.1"), "inspect() argument 'tolerance' must be float, not str"),
    (lambda: m.inspect(shell="1000"), "inspect() argument 'shell' must be float or None, not str"),
    (lambda: m.repair("d", "o", "v", dry_run=np.int64(1)), "repair() argument 'dry_run' must be bool, not numpy.int64"),
    (lambda: m.inspect(threads=2.0), "inspect() argument 'threads' must be int or None, not float"),
    # The first failing parameter wins, whatever follows.
    (lambda: m.inspect(bvec=1, tolerance="x", threads=-1), "inspect() argument 'bvec' must be str or None, not int"),
    (lambda: m.audit(bvec="missing", strict=0, threads=-1), "audit() argument 'strict' must be bool, not int"),
    # Counts out of range (the audit's range check comes before its table is looked at); a null character.
    (lambda: m.inspect(threads=2**64), OverflowError()),
    (lambda: m.audit(bvec="missing", tolerance=1, threads=-1), OverflowError()),
    (lambda: m.inspect(bvec="a\0b", bval="c"), ValueError("inspect: embedded null character in bvec")),
])
def test_binding_and_conversion_errors(call, message):
    error = message if isinstance(message, Exception) else TypeError(message)
    with pytest.raises(type(error)) as e:
        call()
    assert str(e.value) == str(error) or type(error) is OverflowError


def test_keyword_suggestions_follow_the_interpreter():
    _suggestions = pytest.importorskip("_suggestions", reason="the interpreter's own suggestions came in 3.13")

    names = list(pyinspect.signature(m.repair).parameters)
    for wrong in ["dwii", "Dwi", "outbvec", "out_bvex", "provenence", "treads", "tolerence", "b0threshold",
                  "dryrun", "x", "force", "in_placee", "stepp", "MASK", "norm_tol", "marginthreshold", "zzzzzzz"]:
        with pytest.raises(TypeError) as e:
            m.repair("d", "o", "v", **{wrong: 1})
        expected = f"repair() got an unexpected keyword argument '{wrong}'"
        hint = _suggestions._generate_suggestions(names, wrong)
        if hint is not None:
            expected += f". Did you mean '{hint}'?"
        assert str(e.value) == expected


def test_accepted_argument_types_and_audit_without_an_image(scan):
    bvec, bval = scan["bvec"], scan["bval"]
    plain = json.loads(m.inspect(bvec=bvec, bval=bval))
    real = type("Real", (), {"__float__": lambda self: 0.5})()
    index = type("Index", (), {"__index__": lambda self: 2})()
    # Float-convertible reals, numpy booleans, __index__ thread counts; without an image, audit is
    # inspect with the same options (and no step).
    for kwargs in [
        {}, dict(tolerance=0.1, b0_threshold=10, strict=True, norm_tolerance=0.01, threads=1),
        dict(tolerance=np.float32(0.05), b0_threshold=50, shell=np.float64(1000.0), norm_tolerance=real),
        dict(b0_threshold=index, strict=np.bool_(False), threads=np.int64(2)),
        dict(strict=False, threads=True),
    ]:
        report = untimed(m.inspect(bvec=bvec, bval=bval, **kwargs))
        assert (report["status"], report["inputs"]) == (plain["status"], plain["inputs"])
        assert untimed(m.audit(bvec=bvec, bval=bval, step=-1.0, **kwargs)) == report


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A 65-volume image with its table, and inputs that each break one rule against it."""
    d = tmp_path_factory.mktemp("inputs")
    files = synthetic.write_scan(str(d), "s", shape=(8, 8, 4), n_dirs=60, n_b0=5, fmt="nii")
    bvals, dirs = synthetic.make_scheme((1000.0,), 60, 5)
    affine = synthetic.affine_preset("LAS", 2.0, (8, 8, 4))
    for name, b, g in [("t64", bvals[:64], dirs[:64]), ("b0", np.zeros(65), np.zeros((65, 3))),
                       ("one", [1000.0], [[1.0, 0.0, 0.0]])]:
        synthetic.write_fsl(d / f"{name}.bvec", d / f"{name}.bval", b, g)
    synthetic.write_nifti(d / "3d.nii", np.full((8, 8, 4), 1000, np.int16), affine)
    files.update({p.name: str(p) for p in d.iterdir()})
    files.update({name: str(d / name) for name in ("missing.nii", "o.bvec", "o.bval")})  # never written
    return d, files


NO_TABLE = "provide bvec and bval, or grad"
IMAGE = dict(dwi="dwi", bvec="bvec", bval="bval")


@pytest.mark.parametrize("function, kwargs, message", [
    ("audit", dict(bval="bval"), NO_TABLE),
    ("audit", dict(dwi="bvec"), NO_TABLE),
    ("recompute_bval", dict(out_bvec="o.bvec", out_bval="o.bval", bvec="bvec"), NO_TABLE),
    # A thread count of zero is refused before any file is looked at.
    ("inspect", dict(bvec="missing.nii", bval="missing.nii", threads=0), "threads must be a positive integer"),
    ("recompute_bval", dict(out_bvec="o.bvec", out_bval="o.bval", threads=False), "threads must be a positive integer"),
    # A message ending in ": " is the start of the reader's own words.
    ("audit", dict(bvec="bvec", bval="bval", mask="missing.nii"), "NIfTI error: "),  # read though unused
    ("audit", dict(IMAGE, mask="missing.nii", step=0), "NIfTI error: "),  # read before the step is looked at
    ("detect_flip", dict(IMAGE, step=0), "step must be finite and greater than 0: 0"),
    ("detect_flip", dict(IMAGE, step=float("nan")), "step must be finite and greater than 0: NaN"),
    ("detect_flip", dict(IMAGE, step=float("inf")), "step must be finite and greater than 0: inf"),
    # A 3-D image passes the volume check with a one-entry table, then the fit refuses it.
    ("detect_flip", dict(dwi="3d.nii", bvec="one.bvec", bval="one.bval"), "DTI fit failed: expected 4-D DWI, got 3-D"),
    ("audit", dict(dwi="dwi", bvec="t64.bvec", bval="t64.bval"), "volume mismatch: 64 gradients but 65 DWI volumes"),
    ("detect_flip_with_glyphs", dict(dwi="dwi", bvec="b0.bvec", bval="b0.bval"),
     "no usable non-b0 shell for flip detection"),
])
def test_value_errors_and_nothing_written(files, function, kwargs, message):
    folder, paths = files
    before = sorted(os.listdir(folder))
    with pytest.raises(ValueError) as e:
        getattr(m, function)(**{k: paths.get(v, v) if isinstance(v, str) else v for k, v in kwargs.items()})
    assert str(e.value).startswith(message) if message.endswith(": ") else str(e.value) == message
    assert sorted(os.listdir(folder)) == before


def test_reimport_returns_the_first_module_and_subinterpreters_are_refused():
    code = textwrap.dedent(
        """
        import importlib, sys
        try:
            import _interpreters

            def attempt(config):
                interp = _interpreters.create(config)
                try:
                    err = _interpreters.exec(interp, "import tarvix._tarvix")
                    return err.type.__name__ if err else "imported"
                finally:
                    _interpreters.destroy(interp)
        except ImportError:  # CPython before 3.13
            import _xxsubinterpreters as _interpreters

            def attempt(config):
                interp = _interpreters.create(isolated=config == "isolated")
                try:
                    _interpreters.run_string(interp, "import tarvix._tarvix")
                    return "imported"
                except _interpreters.RunFailedError as e:  # "<class 'ImportError'>: ..."
                    kind = str(e).split(":")[0]
                    return kind.split("'")[1] if "'" in kind else kind
                finally:
                    _interpreters.destroy(interp)
        import tarvix._tarvix as first
        del sys.modules["tarvix._tarvix"]
        again = importlib.import_module("tarvix._tarvix")
        print(again is first, again.audit is first.audit)
        for config in ("isolated", "legacy"):
            print(config, attempt(config))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["True", "True", "isolated", "ImportError", "legacy", "ImportError"]


def test_non_utf8_paths_reach_the_file_system(tmp_path, scan):
    bvec, bval = scan["bvec"], scan["bval"]
    raw = os.fsencode(str(tmp_path)) + b"/t\xff.bval"
    with open(raw, "wb") as f:
        f.write(pathlib.Path(bval).read_bytes())
    report = json.loads(m.inspect(bvec=bvec, bval=os.fsdecode(raw)))
    assert report["inputs"][1]["path"] == str(tmp_path) + "/t\ufffd.bval"
