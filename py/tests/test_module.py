import hashlib
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
from tarvix import synthetic
from tarvix import _tarvix as m

ANALYSIS = "tolerance=0.05, b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02"
SIGNATURES = {
    "version": "()",
    "build_features": "()",
    "inspect": "(bvec=None, bval=None, grad=None, tolerance=0.05, b0_threshold=50.0, shell=None, "
    "strict=False, norm_tolerance=0.05, threads=None)",
    "audit": f"(bvec=None, bval=None, grad=None, dwi=None, mask=None, {ANALYSIS}, strict=False, "
    "norm_tolerance=0.05, threads=None)",
    "audit_with_glyphs": f"(dwi, bvec=None, bval=None, grad=None, mask=None, {ANALYSIS}, strict=False, "
    "norm_tolerance=0.05, threads=None)",
    "audit_profiled": f"(dwi, bvec=None, bval=None, grad=None, mask=None, {ANALYSIS}, strict=False, "
    "norm_tolerance=0.05, threads=None)",
    "audit_profiled_with_glyphs": f"(dwi, bvec=None, bval=None, grad=None, mask=None, {ANALYSIS}, "
    "strict=False, norm_tolerance=0.05, threads=None)",
    "audit_bids": f"(root, {ANALYSIS}, strict=False, norm_tolerance=0.05, threads=None)",
    "detect_flip": f"(dwi, bvec=None, bval=None, grad=None, mask=None, {ANALYSIS}, threads=None)",
    "detect_flip_with_glyphs": f"(dwi, bvec=None, bval=None, grad=None, mask=None, {ANALYSIS}, threads=None)",
    "repair": "(dwi, out_bvec, out_bval, bvec=None, bval=None, grad=None, mask=None, out_grad=None, "
    f"provenance=None, {ANALYSIS}, dry_run=False, in_place=False, strict=False, force_repair=False, "
    "norm_tolerance=0.05, threads=None)",
    "repair_with_glyphs": "(dwi, out_bvec, out_bval, bvec=None, bval=None, grad=None, mask=None, "
    f"out_grad=None, provenance=None, {ANALYSIS}, dry_run=False, in_place=False, strict=False, "
    "force_repair=False, norm_tolerance=0.05, threads=None)",
    "recompute_bval": "(out_bvec, out_bval, bvec=None, bval=None, grad=None, out_grad=None, "
    "provenance=None, b0_threshold=50.0, dry_run=False, in_place=False, threads=None)",
}

def test_function_table_and_signatures():
    public = [k for k in vars(m) if not k.startswith("__")]
    assert public == list(SIGNATURES)
    for name, sig in SIGNATURES.items():
        f = getattr(m, name)
        s = pyinspect.signature(f)
        assert str(s) == sig, name
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in s.parameters.values())
        assert getattr(tarvix, name) is f
    assert tarvix.__version__ == m.version() == importlib.metadata.version("tarvix")
    with pytest.raises(TypeError, match=r"version\(\) takes no keyword arguments$"):
        m.version(threads=1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: m.detect_flip(), "detect_flip() missing required argument 'dwi' (pos 1)"),
        (lambda: m.repair("d", bvec="x"), "repair() missing required argument 'out_bvec' (pos 2)"),
        (lambda: m.recompute_bval(out_bval="b"), "recompute_bval() missing required argument 'out_bvec' (pos 1)"),
        (lambda: m.inspect(*range(10)), "inspect() takes at most 9 arguments (10 given)"),
        (lambda: m.inspect(1, 2, 3, 4, 5, 6, 7, 8, 9, grad=None), "inspect() takes at most 9 arguments (10 given)"),
        (lambda: m.inspect(**{k: None for k in "abcdefghij"}), "inspect() takes at most 9 keyword arguments (10 given)"),
        (lambda: m.inspect("a", bvec="b"), "argument for inspect() given by name ('bvec') and position (1)"),
        (lambda: m.audit_bids(root="r", path="x"), "audit_bids() got an unexpected keyword argument 'path'"),
        (lambda: m.inspect(bvec="a", thread=2), "inspect() got an unexpected keyword argument 'thread'. Did you mean 'threads'?"),
        (lambda: m.audit(colour=1), "audit() got an unexpected keyword argument 'colour'"),
        # The interpreter's order: a missing required argument is found before a duplicate one.
        (lambda: m.repair("d", dwi="d"), "repair() missing required argument 'out_bvec' (pos 2)"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keyword_suggestions_follow_the_interpreter():
    import _suggestions

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


class Real:
    def __float__(self):
        return 0.5


class Index:
    def __index__(self):
        return 2


def test_conversion_errors_name_function_and_parameter():
    cases = [
        (lambda: m.inspect(bvec=1), "inspect() argument 'bvec' must be str or None, not int"),
        (lambda: m.inspect(bval=pathlib.Path("x")), "inspect() argument 'bval' must be str or None, not PosixPath"),
        (lambda: m.inspect(grad=b"x"), "inspect() argument 'grad' must be str or None, not bytes"),
        (lambda: m.detect_flip(None), "detect_flip() argument 'dwi' must be str, not None"),
        (lambda: m.audit_bids(pathlib.Path("r")), "audit_bids() argument 'root' must be str, not PosixPath"),
        (lambda: m.inspect(tolerance="0.1"), "inspect() argument 'tolerance' must be float, not str"),
        (lambda: m.inspect(b0_threshold=None), "inspect() argument 'b0_threshold' must be float, not None"),
        (lambda: m.inspect(shell="1000"), "inspect() argument 'shell' must be float or None, not str"),
        (lambda: m.inspect(strict=1), "inspect() argument 'strict' must be bool, not int"),
        (lambda: m.inspect(strict=None), "inspect() argument 'strict' must be bool, not None"),
        (lambda: m.repair("d", "o", "v", dry_run=np.int64(1)), "repair() argument 'dry_run' must be bool, not numpy.int64"),
        (lambda: m.inspect(threads=2.0), "inspect() argument 'threads' must be int or None, not float"),
        (lambda: m.inspect(threads="2"), "inspect() argument 'threads' must be int or None, not str"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message
    with pytest.raises(OverflowError):
        m.inspect(threads=-1)
    with pytest.raises(OverflowError):
        m.inspect(threads=2**64)
    with pytest.raises(ValueError, match="embedded null character in bvec"):
        m.inspect(bvec="a\0b", bval="c")


def test_accepted_argument_types(fsl_pair):
    bvec, bval = fsl_pair
    plain = json.loads(m.inspect(bvec=bvec, bval=bval))
    # Float-convertible reals, numpy booleans, __index__ thread counts.
    for kwargs in [
        dict(tolerance=np.float32(0.05), b0_threshold=50, shell=np.float64(1000.0), norm_tolerance=Real()),
        dict(b0_threshold=Index(), strict=np.bool_(False), threads=np.int64(2)),
        dict(strict=False, threads=True),
    ]:
        report = json.loads(m.inspect(bvec=bvec, bval=bval, **kwargs))
        assert report["status"] == plain["status"]
        assert report["inputs"] == plain["inputs"]


def test_conversion_order_and_thread_check_before_files():
    # The first failing parameter wins, whatever follows.
    with pytest.raises(TypeError, match="'bvec'"):
        m.inspect(bvec=1, tolerance="x", threads=-1)
    with pytest.raises(TypeError, match="'tolerance'"):
        m.inspect(bvec="a", tolerance="x", strict=1)
    with pytest.raises(OverflowError):
        m.audit(bvec="missing", tolerance=1, threads=-1)
    with pytest.raises(TypeError, match="'strict'"):
        m.audit(bvec="missing", strict=0, threads=-1)
    # A thread count of zero is refused before any file is looked at.
    for call in [
        lambda: m.inspect(bvec="/nonexistent/a", bval="/nonexistent/b", threads=0),
        lambda: m.audit(dwi="/nonexistent/d", threads=0),
        lambda: m.audit_bids("/nonexistent", threads=0),
        lambda: m.recompute_bval("o", "v", threads=False),
    ]:
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "threads must be a positive integer"


def test_table_loading_errors(fsl_pair):
    bvec, bval = fsl_pair
    for kwargs in [{}, dict(bvec=bvec), dict(bval=bval), dict(dwi=bvec)]:
        with pytest.raises(ValueError) as e:
            m.audit(**kwargs)
        assert str(e.value) == "provide bvec and bval, or grad"


def test_grad_takes_precedence(fsl_pair, grad_file):
    bvec, bval = fsl_pair
    report = json.loads(m.inspect(bvec="/nonexistent/a", bval="/nonexistent/b", grad=grad_file))
    assert [i["path"] for i in report["inputs"]] == [grad_file]
    assert report["scheme"] == json.loads(m.inspect(bvec=bvec, bval=bval))["scheme"]


def test_inspect_report(fsl_pair):
    from conftest import BVALS, DIRECTIONS

    bvec, bval = fsl_pair
    text = m.inspect(bvec=bvec, bval=bval)
    report = json.loads(text)
    assert report["tool_version"] == m.version()
    expected_inputs = []
    for path in (bvec, bval):
        data = pathlib.Path(path).read_bytes()
        expected_inputs.append({"path": path, "sha256": hashlib.sha256(data).hexdigest(), "bytes": len(data)})
    assert report["inputs"] == expected_inputs
    assert report["scheme"]["bvals"] == [float(b) for b in BVALS]
    assert report["scheme"]["directions"] == [list(d) for d in DIRECTIONS]
    assert '"bvals":[0.0,1000.0,' in text


def test_audit_without_dwi_equals_inspect(fsl_pair):
    bvec, bval = fsl_pair
    for kwargs in [{}, dict(tolerance=0.1, b0_threshold=10, strict=True, norm_tolerance=0.01, threads=1)]:
        a = json.loads(m.audit(bvec=bvec, bval=bval, step=-1.0, **kwargs))
        i = json.loads(m.inspect(bvec=bvec, bval=bval, **kwargs))
        del a["timestamp"], i["timestamp"]
        assert a == i


def test_audit_reads_an_unused_mask(tmp_path, fsl_pair):
    bvec, bval = fsl_pair
    with pytest.raises(ValueError, match=r"^NIfTI error: "):
        m.audit(bvec=bvec, bval=bval, mask=str(tmp_path / "missing_mask.nii"))


def test_recompute_needs_a_whole_table(fsl_pair):
    bvec, bval = fsl_pair
    with pytest.raises(ValueError, match="provide bvec and bval, or grad"):
        m.recompute_bval("o", "v", bvec=bvec)


def test_reimport_returns_the_first_module():
    code = textwrap.dedent(
        """
        import importlib, sys
        import tarvix._tarvix as first
        del sys.modules["tarvix._tarvix"]
        again = importlib.import_module("tarvix._tarvix")
        print(again is first, again.audit is first.audit)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["True", "True"]


def test_subinterpreter_import_fails():
    code = textwrap.dedent(
        """
        import _interpreters
        import tarvix._tarvix
        for config in ("isolated", "legacy"):
            interp = _interpreters.create(config)
            try:
                err = _interpreters.exec(interp, "import tarvix._tarvix")
                print(config, err.type.__name__ if err else "imported")
            finally:
                _interpreters.destroy(interp)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["isolated", "ImportError", "legacy", "ImportError"]


@pytest.fixture
def small_dwi(tmp_path):
    paths = synthetic.write_scan(str(tmp_path), "small", shape=(8, 8, 6), n_dirs=6, n_b0=1, fmt="nii")
    return paths["dwi"], paths["bvec"], paths["bval"]


def test_step_is_checked_only_with_an_image(small_dwi, tmp_path):
    dwi, bvec, bval = small_dwi
    for step, shown in [(0, "0"), (-1.5, "-1.5"), (float("nan"), "NaN"), (float("inf"), "inf")]:
        with pytest.raises(ValueError) as e:
            m.detect_flip(dwi, bvec=bvec, bval=bval, step=step)
        assert str(e.value) == f"step must be finite and greater than 0: {shown}"
    # The mask is read before the step is looked at.
    with pytest.raises(ValueError, match="^NIfTI error"):
        m.audit(bvec=bvec, bval=bval, dwi=dwi, mask=str(tmp_path / "none.nii"), step=0)
    with pytest.raises(ValueError, match="^step must be finite"):
        m.repair(dwi, str(tmp_path / "o.bvec"), str(tmp_path / "o.bval"), bvec=bvec, bval=bval, step=0)
    assert not (tmp_path / "o.bvec").exists()


def test_non_utf8_paths_reach_the_file_system(tmp_path, fsl_pair):
    bvec, bval = fsl_pair
    raw = os.fsencode(str(tmp_path)) + b"/t\xff.bval"
    with open(raw, "wb") as f:
        f.write(pathlib.Path(bval).read_bytes())
    report = json.loads(m.inspect(bvec=bvec, bval=os.fsdecode(raw)))
    assert report["inputs"][1]["path"] == str(tmp_path) + "/t\ufffd.bval"
