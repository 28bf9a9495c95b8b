"""Table files the command line refuses, and tables it refuses to write, run
as a user would: each once passed, or failed with a message hiding its cause."""

import json


from cli_runner import cli

BVAL = "0 1000 1000 1000\n"


def _put(folder, name, text):
    (folder / name).write_text(text)
    return str(folder / name)


def test_an_mrtrix_file_with_its_header_as_bvec_is_named_with_the_hint(tmp_path):
    # It once failed with 'invalid number: "#"' and no hint. (An FSL bvec given as --grad, once read
    # as three gradients: CheckedLoaderNamesFileAndEntry in core/tests.)
    bvec = _put(tmp_path, "t.bvec", "# x y z b\n0 0 0 0\n1 0 0 1000\n0 1 0 1000\n0 0 1 1000\n")
    r = cli("inspect", "--bvec", bvec, "--bval", _put(tmp_path, "t.bval", BVAL))
    assert r.returncode == 1 and r.stderr.startswith(f"tarvix: error: failed to parse {bvec}: ")
    assert "given with --grad" in r.stderr and r.stderr.count("--grad") == 1, r.stderr


def test_recompute_refuses_to_split_a_shell_unless_forced(tmp_path):
    # Amplitude-encoded thirds of b=3000 and one vector three times too long.
    lengths = [0.0] + [(k / 3) ** 0.5 for k in (1, 2, 3) for _ in range(10)] + [3.0]
    bvec = _put(tmp_path, "s.bvec", "\n".join(" ".join(f"{f * n:.6f}" for n in lengths) for f in (0, 0.6, 0.8)))
    bval = _put(tmp_path, "s.bval", " ".join("3000" if n else "0" for n in lengths))
    out = ["--out-bvec", tmp_path / "o.bvec", "--out-bval", tmp_path / "o.bval"]
    for extra in ([], ["--dry-run"]):
        r = cli("recompute-bval", "--bvec", bvec, "--bval", bval, *out, *extra)
        assert r.returncode == 1 and "split the b=3000 shell: volume 31 (numbered from 0)" in r.stderr
    assert not (tmp_path / "o.bvec").exists()
    r = cli("recompute-bval", "--bvec", bvec, "--bval", bval, *out, "--force", "--json")
    assert r.returncode == 0 and json.loads(r.stdout)["b_max"] == 3000
