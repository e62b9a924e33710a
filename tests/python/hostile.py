"""Small htj2k chunks built by hand whose declared geometry (image size,
precincts, code-blocks, planes) is far beyond what their bytes can hold."""

from __future__ import annotations

import struct


def codestream(width, height, *, levels=0, precincts=None, progression=2, xcb=4, ycb=4,
               body=b"\x00", psot=True, prefix=False):
    """One HTJ2K codestream of one unsigned 8-bit component: SIZ, COD
    (explicit precinct exponents (ppx, ppy) per resolution when given), QCD,
    one tile-part whose body is `body`, EOC (left out when `prefix`)."""
    siz = struct.pack(">HIIIIIIIIH", 0x4000, width, height, 0, 0, width, height, 0, 0, 1) + b"\x07\x01\x01"
    scod = 1 if precincts else 0
    cod = struct.pack(">BBHBBBBBB", scod, progression, 1, 0, levels, xcb - 2, ycb - 2, 0x40, 1)
    if precincts:
        cod += bytes((ppy << 4) | ppx for ppx, ppy in precincts)
    qcd = bytes([2 << 5]) + bytes([9 << 3] * (3 * levels + 1))
    main = b"\xff\x4f"
    for code, payload in ((0xFF51, siz), (0xFF52, cod), (0xFF5C, qcd)):
        main += struct.pack(">HH", code, len(payload) + 2) + payload
    tile = 12 + 2 + len(body)
    sot = struct.pack(">HHHIBB", 0xFF90, 10, 0, tile if psot else 0, 0, 1)
    return main + sot + b"\xff\x93" + body + (b"" if prefix else b"\xff\xd9")


def container(shape, streams, *, levels=0, index=None):
    """A chunk container: header, an index when `index` lists each plane's
    prefix lengths (levels + 1 of them), then the codestreams."""
    head = b"vrht" + bytes([1, 1 if index is not None else 0, levels, len(shape)])
    head += b"".join(struct.pack("<I", e) for e in shape)
    if index is None:
        return head + b"".join(streams)
    at = len(head) + len(streams) * (16 + 4 * levels)
    entries = b""
    for s, prefixes in zip(streams, index):
        entries += struct.pack("<QI", at, len(s)) + b"".join(struct.pack("<I", p) for p in prefixes)
        at += len(s)
    return head + entries + b"".join(streams)
