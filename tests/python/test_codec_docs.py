"""docs/codecs: every configuration the codec classes write validates against
the codec's schema.json, and malformed ones do not."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

jsonschema = pytest.importorskip("jsonschema")
pytest.importorskip("zarr")
import varnel.zarr  # noqa: E402

DOCS = Path(__file__).resolve().parents[2] / "docs" / "codecs"

HTJ2K_SETTINGS = [
    {}, {"xy_levels": 0}, {"xy_levels": 32}, {"index": False}, {"checksums": False},
    *({"progression": p} for p in ("LRCP", "RLCP", "RPCL", "PCRL", "CPRL")),
]
ZFP_SETTINGS = [
    {"mode": "reversible"}, {"mode": "fixed_rate", "rate": 0.5}, {"mode": "fixed_rate", "rate": 64.0},
    {"mode": "fixed_accuracy", "tolerance": 0.0}, {"mode": "fixed_accuracy", "tolerance": 1e-3},
    {"mode": "fixed_precision", "precision": 1}, {"mode": "fixed_precision", "precision": 64},
    {"mode": "reversible", "dims": 2}, {"mode": "fixed_rate", "rate": 4.0, "dims": 4},
]
MALFORMED = {
    "varnel.htj2k": [
        {"xy_levels": 33, "progression": "RPCL", "index": True},
        {"xy_levels": -1, "progression": "RPCL", "index": True},
        {"xy_levels": 5, "progression": "rpcl", "index": True},
        {"xy_levels": 5, "index": True},
        {"xy_levels": 5.5, "progression": "RPCL", "index": True},
        {"xy_levels": 5, "progression": "RPCL", "index": "yes"},
        {"xy_levels": 5, "progression": "RPCL", "index": False, "checksums": True},
        {"xy_levels": 5, "progression": "RPCL", "index": True, "reversible": True},
    ],
    "varnel.zfp": [
        {"mode": "lossless"}, {}, {"mode": "fixed_rate"}, {"mode": "fixed_rate", "rate": 0},
        {"mode": "fixed_accuracy", "tolerance": -1}, {"mode": "fixed_precision", "precision": 65},
        {"mode": "reversible", "rate": 8.0}, {"mode": "fixed_rate", "rate": 8.0, "precision": 3},
        {"mode": "reversible", "dims": 5}, {"mode": "reversible", "level": 3},
    ],
}


def schema(name: str) -> dict:
    return json.loads((DOCS / name / "schema.json").read_text())


@pytest.mark.parametrize("settings", HTJ2K_SETTINGS, ids=str)
def test_htj2k_configurations_written_validate(settings):
    jsonschema.validate(varnel.zarr.Htj2k(**settings).to_dict(), schema("varnel.htj2k"))


@pytest.mark.parametrize("settings", ZFP_SETTINGS, ids=str)
def test_zfp_configurations_written_validate(settings):
    jsonschema.validate(varnel.zarr.Zfp(**settings).to_dict(), schema("varnel.zfp"))


@pytest.mark.parametrize("name,configuration",
                         [(n, c) for n, cs in MALFORMED.items() for c in cs], ids=str)
def test_malformed_configurations_fail(name, configuration):
    with pytest.raises(jsonschema.ValidationError):
        jsonschema.validate({"name": name, "configuration": configuration}, schema(name))


@pytest.mark.parametrize("name", ["varnel.htj2k", "varnel.zfp"])
def test_schema_is_a_valid_schema_and_the_readme_names_its_parameters(name):
    s = schema(name)
    jsonschema.Draft202012Validator.check_schema(s)
    readme = (DOCS / name / "README.md").read_text()
    for parameter in s["properties"]["configuration"]["properties"]:
        assert f"`{parameter}`" in readme


# --- varnel.htj2k: an independent reader written from the README alone ------
# It parses the container, checks the prefix checksums and hands each plane's
# codestream (or, completed, the prefix a reduced decode reads) to
# imagecodecs' JPEG 2000 decoders. varnel only writes the chunks (through
# zarr) and gives the reduced reference.

import struct  # noqa: E402

import numpy as np  # noqa: E402


def _crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 & -(crc & 1))
    return crc ^ 0xFFFFFFFF


def _codestream_end(b: bytes, at: int) -> int:
    """The end of the codestream at `at`: marker segments up to SOT, the tile-part
    its Psot covers, then EOC."""
    assert b[at:at + 2] == b"\xff\x4f", "SOC"
    at += 2
    while b[at:at + 2] != b"\xff\x90":
        at += 2 + struct.unpack_from(">H", b, at + 2)[0]
    psot = struct.unpack_from(">I", b, at + 6)[0]
    assert psot > 0, "a tile-part running to EOC"
    at += psot
    assert b[at:at + 2] == b"\xff\xd9", "EOC"
    return at + 2


def _complete(prefix: bytes) -> bytes:
    """A prefix as a codestream of its own: Psot of its tile-part, then EOC."""
    out = bytearray(prefix)
    at = 2
    while out[at:at + 2] != b"\xff\x90":
        at += 2 + struct.unpack_from(">H", out, at + 2)[0]
    struct.pack_into(">I", out, at + 6, len(out) - at)
    return bytes(out) + b"\xff\xd9"


def _decode_plane(stream: bytes, reduce: int) -> np.ndarray:
    """Full resolution through OpenJPH; reduced ones through OpenJPEG, which clips
    the low-pass samples to the codestream's range as the README says (OpenJPH
    wraps them). OpenJPEG refuses 32-bit samples and code-blocks of more than
    30 bit-planes: those planes go through OpenJPH, exact wherever no sample
    needs clipping."""
    import imagecodecs

    if reduce == 0:
        return imagecodecs.htj2k_decode(stream)
    try:
        return imagecodecs.jpeg2k_decode(stream, skipres=reduce)
    except imagecodecs.Jpeg2kError as e:  # "prec=32", or more than 30 bit-planes
        assert "32" in str(e), e
        return imagecodecs.htj2k_decode(stream, skipres=reduce)


def read_htj2k_chunk(blob: bytes, shape, dtype: str, reduce: int = 0) -> np.ndarray:
    assert blob[:4] == b"vrht" and blob[4] == 1
    flags, levels, ndim = blob[5], blob[6], blob[7]
    assert flags in (0, 1, 3) and levels <= 32 and 2 <= ndim <= 32 and 0 <= reduce <= levels
    extents = struct.unpack_from(f"<{ndim}I", blob, 8)
    assert list(extents) == list(shape)
    planes = int(np.prod(extents[:-2], dtype=np.int64))
    at = 8 + 4 * ndim
    streams = []
    if flags & 1:
        words = 2 if flags & 2 else 1
        entry = 12 + 4 * words * (levels + 1)
        for k in range(planes):
            offset, length = struct.unpack_from("<QI", blob, at + k * entry)
            prefix = struct.unpack_from(f"<{levels + 1}I", blob, at + k * entry + 12)
            stream = blob[offset:offset + length]
            assert len(stream) == length and list(prefix) == sorted(prefix) and prefix[-1] <= length
            r = levels - reduce
            if flags & 2:
                sums = struct.unpack_from(f"<{levels + 1}I", blob, at + k * entry + 12 + 4 * (levels + 1))
                assert _crc32c(stream[:prefix[r]]) == sums[r]
            streams.append(stream if reduce == 0 else _complete(stream[:prefix[r]]))
    else:
        assert reduce == 0, "reduced decodes need the index"
        for _ in range(planes):
            end = _codestream_end(blob, at)
            streams.append(blob[at:end])
            at = end
        assert at == len(blob)
    y, x = (-(-n // (1 << reduce)) for n in extents[-2:])
    out = np.empty((planes, y, x), dtype)
    for k, stream in enumerate(streams):
        plane = _decode_plane(stream, reduce)
        assert plane.shape == (y, x)
        out[k] = plane
    return out.reshape(*extents[:-2], y, x)


HTJ2K_DTYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32"]
# (shape, xy_levels, index, checksums, span): odd and thin shapes, several
# planes, levels from none to more than a plane holds; samples over the
# dtype's range, or the lowest 1/span of it (a smaller depth).
HTJ2K_CHUNKS = [
    ((37, 53), 0, True, True, 1),
    ((3, 31, 29), 3, True, False, 1),
    ((2, 2, 17, 9), 5, True, True, 1),
    ((1, 200), 2, False, False, 1),
    ((64, 64), 6, True, True, 1),
    ((64, 64), 6, True, False, 16),
    ((2, 45, 70), 4, False, False, 16),
    ((2, 45, 70), 4, True, True, 300),
    ((117, 3), 1, True, False, 1),
]


def _samples(shape, dtype, seed, span=1):
    rng = np.random.default_rng(seed)
    info = np.iinfo(dtype)
    y = np.linspace(0, 1, shape[-2])[:, None]
    x = np.linspace(0, 1, shape[-1])[None, :]
    lo = float(info.min)
    hi = lo + (float(info.max) - lo) / span
    values = lo + np.broadcast_to((y + x) / 2, shape) * (hi - lo) + rng.normal(0, (hi - lo) / 40, shape)
    values = np.clip(values, lo, hi)
    flat = values.reshape(-1)
    flat[::7], flat[3::11] = hi, lo  # the extremes
    return values.astype(dtype)


def _written_chunk(tmp_path, data, levels, index, checksums) -> bytes:
    """The chunk varnel.zarr.Htj2k writes for `data`, an array of one chunk."""
    import zarr

    codec = varnel.zarr.Htj2k(xy_levels=levels, index=index, checksums=checksums)
    a = zarr.create_array(zarr.storage.LocalStore(tmp_path), shape=data.shape, chunks=data.shape,
                          dtype=data.dtype, serializer=codec, compressors=None, fill_value=0,
                          config={"write_empty_chunks": True})
    a[...] = data
    return tmp_path.joinpath("c", *["0"] * data.ndim).read_bytes()


@pytest.mark.parametrize("dtype", HTJ2K_DTYPES)
@pytest.mark.parametrize("shape,levels,index,checksums,span", HTJ2K_CHUNKS, ids=str)
def test_readme_reader_decodes_every_level(tmp_path, dtype, shape, levels, index, checksums, span):
    pytest.importorskip("imagecodecs")
    data = _samples(shape, dtype, levels, span)
    blob = _written_chunk(tmp_path, data, levels, index, checksums)
    np.testing.assert_array_equal(read_htj2k_chunk(blob, shape, dtype), data)
    planes = data.reshape(-1, *shape[-2:])
    for reduce in range(1, levels + 1 if index else 1):
        want = np.frombuffer(varnel.htj2k_decode_reduced(blob, shape, dtype, reduce), dtype)
        got = read_htj2k_chunk(blob, shape, dtype, reduce)
        for k, (w, g) in enumerate(zip(want.reshape(len(planes), -1), got.reshape(len(planes), -1))):
            if np.iinfo(dtype).bits == 32:  # maybe OpenJPH's plane: compare what is not clipped
                lo, hi = _depth_range(planes[k])
                w, g = w[(w > lo) & (w < hi)], g[(w > lo) & (w < hi)]
            np.testing.assert_array_equal(g, w, err_msg=f"reduce {reduce} plane {k}")


def _depth_range(plane: np.ndarray) -> tuple[int, int]:
    """The sample range of the smallest depth holding the plane's values."""
    lo, hi = int(plane.min()), int(plane.max())
    if np.iinfo(plane.dtype).min < 0:
        depth = max(lo.bit_length() if lo >= 0 else (-lo - 1).bit_length(), hi.bit_length()) + 1
        return -(1 << (depth - 1)), (1 << (depth - 1)) - 1
    return 0, (1 << max(1, hi.bit_length())) - 1
