#!/usr/bin/env python3
"""Writes the small seed corpora under fuzz/corpus/ (run from anywhere).

The seeds are tiny valid inputs of each kind plus a few near misses, so the
fuzzer starts from the interesting parts of every parser. Re-running this
script rewrites the same bytes.
"""
import gzip
import io
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def nifti(shape, datatype, bitpix, data, *, endian="<", magic=b"n+1\0", slope=0.0, inter=0.0,
          qform=0, sform=0, pixdim0=1.0, vox_offset=352.0, extension=b"\0\0\0\0"):
    dim = [len(shape)] + list(shape) + [1] * (7 - len(shape))
    pixdim = [pixdim0, 2.0, 2.0, 2.0] + [1.0] * 4
    h = io.BytesIO()
    h.write(struct.pack(endian + "i", 348))
    h.write(b"\0" * 35)  # data_type, db_name, extents, session_error, regular
    h.write(b"\0")  # dim_info
    h.write(struct.pack(endian + "8h", *dim))
    h.write(struct.pack(endian + "3f", 0, 0, 0))  # intent_p1..3
    h.write(struct.pack(endian + "h", 0))  # intent_code
    h.write(struct.pack(endian + "hhh", datatype, bitpix, 0))  # datatype, bitpix, slice_start
    h.write(struct.pack(endian + "8f", *pixdim))
    h.write(struct.pack(endian + "f", vox_offset))
    h.write(struct.pack(endian + "ff", slope, inter))
    h.write(struct.pack(endian + "h", 0))  # slice_end
    h.write(b"\0\0")  # slice_code, xyzt_units
    h.write(struct.pack(endian + "ffff", 0, 0, 0, 0))  # cal_max, cal_min, slice_duration, toffset
    h.write(struct.pack(endian + "ii", 0, 0))  # glmax, glmin
    h.write(b"\0" * 80 + b"\0" * 24)  # descrip, aux_file
    h.write(struct.pack(endian + "hh", qform, sform))
    h.write(struct.pack(endian + "3f", 0.0, 0.7071, 0.0))  # quatern_b, c, d
    h.write(struct.pack(endian + "3f", -10.0, 5.0, 3.0))  # qoffset
    h.write(struct.pack(endian + "4f", 0, 2, 0, -4))  # srow_x
    h.write(struct.pack(endian + "4f", 2, 0, 0, 5))  # srow_y
    h.write(struct.pack(endian + "4f", 0, 0, 2, 6))  # srow_z
    h.write(b"\0" * 16)  # intent_name
    h.write(magic)
    assert h.tell() == 348
    if magic == b"n+1\0":
        h.write(extension)
    return h.getvalue() + data


def put(target, name, data):
    d = ROOT / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def gz(data, mtime=0):
    return gzip.compress(data, compresslevel=6, mtime=mtime)


def main():
    u8 = nifti((2, 2, 2), 2, 8, bytes(range(8)))
    f32 = nifti((2, 1, 1, 3), 16, 32, struct.pack("<6f", 1, 2, 0, -1.5, float("nan"), 3e38))
    i16 = nifti((3, 2, 1), 4, 16, struct.pack("<6h", -3, 0, 7, 32767, -32768, 1), slope=0.5, inter=10,
                qform=1, pixdim0=-1.0)
    f64_be = nifti((1, 2, 2, 2), 64, 64, struct.pack(">8d", *range(8)), endian=">", sform=1, qform=2)
    u16_5d = nifti((1, 1, 2, 2, 2), 512, 16, struct.pack("<8H", *range(8)))
    i64 = nifti((2, 1, 1), 1024, 64, struct.pack("<2q", -(2**62), 2**62))
    ld = nifti((1, 1, 1), 1536, 128, b"\0" * 8 + b"\xff\x3f" + b"\0" * 6)
    analyze = nifti((2, 1, 1), 2, 8, bytes(2), magic=b"\0\0\0\0", vox_offset=0)
    for name, data in [("u8_3d.nii", u8), ("f32_4d.nii", f32), ("i16_scaled_qform.nii", i16),
                       ("f64_bigendian_sform.nii", f64_be), ("u16_5d.nii", u16_5d), ("i64.nii", i64),
                       ("float128.nii", ld), ("analyze.nii", analyze)]:
        put("nifti", name, data)
    put("nifti", "u8_3d.nii.gz", gz(u8))
    put("nifti", "f32_4d.nii.gz", gz(f32))
    put("nifti", "i16_two_members.nii.gz", gz(i16[:200]) + gz(i16[200:]))
    put("nifti", "f32_truncated.nii.gz", gz(f32)[:-9])
    put("nifti", "u8_short_data.nii", u8[:-3])
    put("nifti", "bomb.nii.gz", gz(u8 + bytes(200000)))

    put("fsl", "row_layout", b"0 1000 1000 1000\n\0 0 1 0 0\n0 0 1 0\n0 0 0 1\n")
    put("fsl", "column_layout", b"0\t1000\t2000\r\n\0 0 0 0\n1 0 0\n0 0.7071068 0.7071068\n")
    put("fsl", "numbers", b"+1.5e3 -0 .5 5. inf -Infinity NaN 1e-400 1e400 0007\n\0 \xc2\xa0\xe2\x80\x83 \xe3\x80\x80 1 2 3\n")
    put("fsl", "bad_token", b"0 1000 1,5\n\0 0 1\n\"x\\y\"\x01\xff\n")
    put("fsl", "mismatch", b"0 1000\n\0 0 1 0\n0 0 1\n")

    put("mrtrix", "table", b"# comment\n0 0 0 0\n1 0 0 1000\n0 1 0 1000 extra\n\n0 0 1 1000\r\n")
    put("mrtrix", "faults", b"1 2 3\n1 x 3 4\n\xe2\x80\x8a1 2 3 4\xe2\x80\xa9\n")
    put("mrtrix", "numbers", b"-0 +.5 5.E+2 1e-330\nInf -nan 1e309 0\n")

    # table: first byte even for a grad file, odd for "<bval>\0<bvec>".
    put("table", "grad", b"\0# scanner export\n0 0 0 0\n1 0 0 1000\r\n0 1 0 1000\n0 0 1 1000\n")
    put("table", "grad_faults", b"\0\xef\xbb\xbf0 0 0 0\n1 0 0\n0 1 0 -5\n0 0 1 nan\n1 2 3 4 5\n")
    put("table", "grad_cr", b"\0" + b"0 0 0 0\r1 0 0 1000\r0 1 0 1000\r")
    put("table", "fsl_rows", b"\1" + b"0 1000 1000\n\0" + b"0 1 0\n0 0 1\n0 0 0\n")
    put("table", "fsl_columns", b"\1" + b"0\n1000\n1000\n\0" + b"0 0 0\n1 0 0\n0 1 0\n")
    put("table", "fsl_faults", b"\1" + b"0 1000\n1000 2000\n\0" + b"# x y z\n0 1;0\n0 0 1\n")
    put("table", "fsl_long_token", b"\1" + b"0 " + "\u00e9".encode() * 200 + b"\n\0" + b"0 0 1\n")
    put("table", "fsl_mrtrix_like", b"\1" + b"0 1000\n\0" + b"0 0 0 0\n1 0 0 1000\n")

    put("bids_names", "session", b"ds/sub-01/ses-2/dwi/sub-01_dwi.nii.gz")
    put("bids_names", "session_named", b"ds/sub-01/ses-2/dwi/sub-01_ses-2_acq-x_dwi.nii")
    put("bids_names", "no_subject", b"ses-pre/scan_dwi.nii\0{\"dwi\": 1}")
    put("bids_names", "entry", b"sub-a_b/ses-1_x/sub-a_dwi.nii\0{\"dwi\": \"a\", \"bvec\": \"b\", "
        b"\"bval\": \"c\", \"masks\": [], \"sidecar\": null, \"base\": \"a\", \"stem\": \"s\"}")
    put("bids_names", "escapes", b"sub-\xc3\xa9/ses-\"\\/x\n_dwi.nii.gz")

    put("sidecar", "full.json", b'{"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0542, '
        b'"MultibandAccelerationFactor": 3, "EchoTime": [0.1, {"a": null}]}')
    put("sidecar", "nulls.json", b'{"PhaseEncodingDirection": null, "TotalReadoutTime": 1e400, '
        b'"MultibandAccelerationFactor": 4294967295}')
    put("sidecar", "wrong_types.json", b'{"MultibandAccelerationFactor": 2.0, "TotalReadoutTime": "1"}')
    put("sidecar", "duplicate.json", b'{"TotalReadoutTime": 1, "TotalReadoutTime": 2}')
    put("sidecar", "not_object.json", b'[{"PhaseEncodingDirection": "i"}]  ')
    put("sidecar", "nested.json", b'{"x": {"TotalReadoutTime": "y", "z": [[[]]]}, "MultibandAccelerationFactor": -0}\n')

    put("nifti_base", "gz", b"sub-01/dwi/sub-01_dwi.nii.gz")
    put("nifti_base", "plain", b"/data/sub-01_acq-1.5mm_dwi.nii")
    put("nifti_base", "pair", b"a/b\0a-b")
    put("nifti_base", "hidden", b"._sub-01_dwi.nii.gz\0sub-01_DWI.nii.gz")
    put("nifti_base", "odd", b"//.//_dwi.nii\0/\xff_dwi.nii")


if __name__ == "__main__":
    main()
