"""Independent JPEG 2000 decoders and encoders used as black boxes.

OpenJPH (`ojph_compress`, `ojph_expand`) and OpenJPEG (`opj_decompress`) run
as separate processes on files in a temporary directory. Their known
limitations decide which peer judges which case:
- `ojph_expand` clamps signed samples at 0 in raw output, so signed images
  are judged by `opj_decompress`;
- `ojph_compress` misreads signed raw input, so codestreams it writes from
  signed input are judged by comparing varnel with `opj_decompress`;
- `ojph_expand` mis-decodes or refuses codestreams whose level count
  exceeds log2 of the size, so such cases are judged by `opj_decompress`;
- `ojph_expand` (0.9) fails with "Error decoding a codeblock" on every
  codestream deeper than 16 bits that we tried, and its raw path reads and
  writes such samples as 2 bytes; above 16 bits `opj_decompress` judges.

Grok (`grk_decompress`, 10.0) is a third decoder of varnel's codestreams:
- it reads the CAP segment only where T.800 (2019) puts it, straight after
  SIZ; a CAP later in the main header is ignored and the codestream decodes
  to wrong samples without an error;
- it refuses precisions above 16 bits ("this library only supports
  precisions between 1 and 16"), so deeper cases are judged by the others;
- its raw output misplaces negative samples (-2144 of a 13-bit image comes
  out as -2049), so it is read through PGX output, which is exact;
- it refuses HT code-blocks with the vertically causal style ("Unrecognized
  code-block style byte 0x48"), and its reduced-resolution output (`-r`) is
  wrong in the lower half of the rows for every codestream we tried, its
  own included, so it judges full-resolution decodes of the default style.

Codestreams deeper than 30 bit-planes (K_max > 30, varnel's 64-bit
datapath): `opj_decompress` (2.5) fails with "32 bits are not enough to
decode this codeblock" and refuses 32-bit samples outright ("OpenJpeg only
supports up to 31"), `ojph_expand` (0.9) warns the same and gives wrong
samples, Grok refuses them (above). OpenJPH 0.33 inside imagecodecs decodes
them, and judges them (Python 3.12).
"""

from __future__ import annotations

import shutil
import struct
import subprocess
from pathlib import Path

import numpy as np

HAVE_OJPH = shutil.which("ojph_expand") is not None and shutil.which("ojph_compress") is not None
HAVE_OPJ = shutil.which("opj_decompress") is not None
HAVE_GRK = shutil.which("grk_decompress") is not None


def raw_dtype(depth: int, signed: bool) -> np.dtype:
    """Sample type of a peer's raw output: 1, 2 or 4 bytes, little-endian."""
    size = 1 if depth <= 8 else 2 if depth <= 16 else 4
    return np.dtype(f"<{'i' if signed else 'u'}{size}")


def ojph_expand(tmp: Path, codestream: bytes, shape, depth: int, signed: bool, skip_res: int = 0):
    src, out = tmp / "in.j2c", tmp / "ojph.raw"
    src.write_bytes(codestream)
    out.unlink(missing_ok=True)
    cmd = ["ojph_expand", "-i", str(src), "-o", str(out)]
    if skip_res:
        cmd += ["-skip_res", str(skip_res)]
    subprocess.run(cmd, check=True, capture_output=True, timeout=120)
    return np.fromfile(out, dtype=raw_dtype(depth, signed)).reshape(shape)


def read_pgx(path: Path, shape, depth: int, signed: bool) -> np.ndarray:
    """A PGX file: one header line, then big-endian samples of 1, 2 or 4 bytes."""
    header, body = path.read_bytes().split(b"\n", 1)
    fields = header.split()
    assert fields[0] == b"PG" and fields[1] == b"ML", header
    dtype = raw_dtype(depth, signed).newbyteorder(">")
    return np.frombuffer(body, dtype=dtype).reshape(shape)


def opj_decompress(tmp: Path, codestream: bytes, shape, depth: int, signed: bool, reduce: int = 0):
    """OpenJPEG's decode; PGX output carries every depth up to 32 bits."""
    src, out = tmp / "in.j2k", tmp / "opj.pgx"
    src.write_bytes(codestream)
    for old in tmp.glob("opj*.pgx"):
        old.unlink()
    cmd = ["opj_decompress", "-i", str(src), "-o", str(out)]
    if reduce:
        cmd += ["-r", str(reduce)]
    subprocess.run(cmd, check=True, capture_output=True, timeout=120)
    return read_pgx(out if out.exists() else tmp / "opj_0.pgx", shape, depth, signed)


def grk_decompress(tmp: Path, codestream: bytes, shape, depth: int, signed: bool):
    """Grok's decode to PGX (one thread, so parallel test processes share the
    cores fairly); it names the file of component 0 `grk_0.pgx`."""
    src = tmp / "in.j2k"
    src.write_bytes(codestream)
    for old in tmp.glob("grk*.pgx"):
        old.unlink()
    subprocess.run(["grk_decompress", "-i", str(src), "-o", str(tmp / "grk.pgx"), "-H", "1"],
                   check=True, capture_output=True, timeout=120)
    return read_pgx(tmp / "grk_0.pgx", shape, depth, signed)


def ojph_compress(tmp: Path, image: np.ndarray, depth: int, *, signed=False, levels=5,
                  progression="RPCL", block=(64, 64), precincts=None, colour=False) -> bytes:
    """Writes `image` (H, W) or (H, W, 3) as PGM/PPM (unsigned) or raw input
    (signed) and codes it reversibly."""
    height, width = image.shape[:2]
    comps = 1 if image.ndim == 2 else image.shape[2]
    out = tmp / "ojph.j2c"
    if comps == 1 and not signed:
        src = tmp / "in.pgm"
        maxval = (1 << depth) - 1
        body = image.astype(">u2" if depth > 8 else "u1").tobytes()
        src.write_bytes(f"P5\n{width} {height}\n{maxval}\n".encode() + body)
        extra = []
    elif comps == 3 and not signed:
        src = tmp / "in.ppm"
        maxval = (1 << depth) - 1
        body = image.astype(">u2" if depth > 8 else "u1").tobytes()
        src.write_bytes(f"P6\n{width} {height}\n{maxval}\n".encode() + body)
        extra = []
    else:
        src = tmp / "in.yuv"
        src.write_bytes(image.astype(raw_dtype(depth, signed)).tobytes())
        extra = ["-dims", f"{{{width},{height}}}", "-num_comps", str(comps),
                 "-signed", ",".join(["true" if signed else "false"] * comps),
                 "-bit_depth", ",".join([str(depth)] * comps),
                 "-downsamp", ",".join(["{1,1}"] * comps)]
    cmd = ["ojph_compress", "-i", str(src), "-o", str(out), "-reversible", "true",
           "-num_decomps", str(levels), "-prog_order", progression,
           "-block_size", f"{{{block[0]},{block[1]}}}"] + extra
    if comps == 3:
        cmd += ["-colour_trans", "true" if colour else "false"]
    if precincts:
        cmd += ["-precincts", ",".join(f"{{{p},{p}}}" for p in precincts)]
    subprocess.run(cmd, check=True, capture_output=True, timeout=120)
    return out.read_bytes()


def container_codestreams(chunk: bytes) -> list[bytes]:
    """Splits an htj2k chunk with a plane index into its codestreams."""
    assert chunk[:4] == b"vrht"
    flags, levels, ndim = chunk[5], chunk[6], chunk[7]
    assert flags == 1, "needs the plane index"
    extents = struct.unpack_from(f"<{ndim}I", chunk, 8)
    planes = int(np.prod(extents[:-2], dtype=np.int64)) if ndim > 2 else 1
    pos, entry = 8 + 4 * ndim, 16 + 4 * levels
    out = []
    for k in range(planes):
        offset, length = struct.unpack_from("<QI", chunk, pos + k * entry)
        out.append(chunk[offset:offset + length])
    return out


def single_plane_codestream(chunk: bytes) -> bytes:
    """The codestream of a one-plane chunk, with or without the plane index."""
    assert chunk[:4] == b"vrht" and chunk[7] == 2
    if chunk[5] == 1:
        return container_codestreams(chunk)[0]
    return chunk[16:]


def wrap_codestream(codestream: bytes, height: int, width: int, levels: int) -> bytes:
    """An index-less one-plane htj2k chunk holding a foreign codestream."""
    return b"vrht" + bytes([1, 0, levels, 2]) + struct.pack("<II", height, width) + codestream


def codestream_levels(codestream: bytes) -> int:
    """Number of decomposition levels from the main header's COD segment."""
    pos = 2
    while pos + 4 <= len(codestream):
        marker, length = struct.unpack_from(">HH", codestream, pos)
        if marker == 0xFF52:  # COD: Scod, SGcod (4 bytes), then SPcod's level count
            return codestream[pos + 4 + 5]
        pos += 2 + length
    raise ValueError("no COD segment")
