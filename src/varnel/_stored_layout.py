"""Where a varnel.htj2k zarr v3 array keeps each chunk's bytes.

`stored_layout(array)` reads the array's metadata once: its shape, dtype,
fill value and dimension names, the htj2k settings, the (inner) chunk shape,
and, for a sharded array, the shard shape and how the shard index is stored
(at the end or the start, with or without its crc32c codec). It refuses an
array whose chunks are not htj2k containers with a plane index behind no
other codec, so that a reduced read never serves bytes it cannot check.

Chunks are named by their (inner) chunk coordinates over the whole array:
for a plain array those are the stored chunks; for a sharded one, the inner
chunks of every shard. `locate` tells which store key holds an inner chunk
and which slot of that shard's index points at it; `parse_shard_index`
reads and checks a shard index.
"""

from __future__ import annotations

import json
import math
import struct
from dataclasses import dataclass
from functools import cached_property
from typing import Any, Callable

import numpy as np

from varnel import _config, _container

#: Offset and length of an absent inner chunk in a shard index.
ABSENT = (1 << 64) - 1


def _crc32c(data: bytes) -> int:
    try:
        import google_crc32c
        return int(google_crc32c.value(data))
    except ImportError:
        pass
    try:
        from crc32c import crc32c
        return int(crc32c(data))
    except ImportError:
        pass
    table = _crc_table()
    crc = 0xFFFFFFFF
    for b in data:
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


_TABLE: list[int] = []


def _crc_table() -> list[int]:
    if not _TABLE:
        for n in range(256):
            c = n
            for _ in range(8):
                c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
            _TABLE.append(c)
    return _TABLE


@dataclass(frozen=True)
class Sharding:
    """How a sharded array's shards are laid out."""

    shard_shape: tuple[int, ...]
    per_shard: tuple[int, ...]  # inner chunks per shard, per dimension
    at_end: bool  # index at the end of the shard (else at its start)
    crc32c: bool
    big_endian: bool

    @property
    def slots(self) -> int:
        return math.prod(self.per_shard)

    @property
    def index_size(self) -> int:
        return 16 * self.slots + (4 if self.crc32c else 0)


@dataclass(frozen=True)
class StoredLayout:
    """What a reduced read needs to know about a stored array."""

    name: str  # for messages: "array 'path'"
    shape: tuple[int, ...]
    dtype: np.dtype
    fill_value: Any
    dimension_names: tuple[str | None, ...] | None
    chunk_shape: tuple[int, ...]  # of the chunks that are htj2k containers (inner chunks)
    htj2k: dict  # the codec's configuration (xy_levels, progression, index)
    sharding: Sharding | None
    store: Any
    prefix: str
    encode_key: Callable[[tuple[int, ...]], str]
    metadata: dict  # the array's zarr.json, as JSON values

    @property
    def levels(self) -> int:
        return int(self.htj2k["xy_levels"])

    @property
    def grid(self) -> tuple[int, ...]:
        """Chunks per dimension over the whole array."""
        return tuple(-(-n // c) for n, c in zip(self.shape, self.chunk_shape))

    @cached_property
    def head_size(self) -> int:
        """Bytes of header and plane index of every chunk."""
        return _container.index_size(self.chunk_shape, self.levels,
                                     bool(self.htj2k.get("checksums", False)))

    def path(self, key: str) -> str:
        return f"{self.prefix}/{key}" if self.prefix else key

    def locate(self, coords: tuple[int, ...]) -> tuple[str, int]:
        """(store key, slot in that shard's index) of a chunk; slot -1 for a
        plain array, whose chunks are whole objects."""
        if self.sharding is None:
            return self.path(self.encode_key(tuple(coords))), -1
        per = self.sharding.per_shard
        shard = tuple(c // p for c, p in zip(coords, per))
        slot = 0
        for c, p in zip(coords, per):  # the slot: C order within the shard
            slot = slot * p + c % p
        return self.path(self.encode_key(shard)), slot

    def index_entry(self, blob: bytes, slot: int) -> tuple[int, int]:
        """(offset, length) of `slot` in a shard index already checked by
        `parse_shard_index`."""
        sh = self.sharding
        assert sh is not None
        return struct.unpack_from(f"{'>' if sh.big_endian else '<'}QQ", blob, 16 * slot)

    def parse_shard_index(self, key: str, blob: bytes) -> list[tuple[int, int]]:
        """(offset, length) per slot, or (ABSENT, ABSENT); ValueError naming
        the key for an index that is short, fails its checksum or is
        inconsistent."""
        sh = self.sharding
        assert sh is not None
        if len(blob) != sh.index_size:
            raise ValueError(f"{self.name}, shard {key!r}: its index needs {sh.index_size} bytes, "
                             f"the object gave {len(blob)}")
        body = blob[:16 * sh.slots]
        if sh.crc32c:
            (stored,) = struct.unpack_from("<I", blob, 16 * sh.slots)
            if _crc32c(body) != stored:
                raise ValueError(f"{self.name}, shard {key!r}: its index fails its crc32c checksum")
        words = struct.unpack(f"{'>' if sh.big_endian else '<'}{2 * sh.slots}Q", body)
        out = []
        for slot in range(sh.slots):
            offset, length = words[2 * slot], words[2 * slot + 1]
            if (offset == ABSENT) != (length == ABSENT):
                raise ValueError(f"{self.name}, shard {key!r}, inner chunk {slot}: its index entry "
                                 f"({offset}, {length}) is half empty")
            out.append((offset, length))
        return out


def _refuse(name: str, why: str) -> ValueError:
    return ValueError(f"{name}: reduced reads need {why}")


def _htj2k_config(name: str, codecs: list[dict], where: str) -> dict:
    if len(codecs) != 1 or codecs[0].get("name") != _config.HTJ2K:
        names = ", ".join(str(c.get("name")) for c in codecs)
        raise _refuse(name, f"varnel.htj2k as the only codec {where}(a codec after it, such as "
                      f"a compressor or checksum, hides the plane index), not {names}")
    config = dict(codecs[0].get("configuration") or {})
    config.setdefault("xy_levels", 5)
    config.setdefault("index", True)
    if not config["index"]:
        raise _refuse(name, "htj2k chunks with a plane index: its varnel.htj2k chunks have no "
                      "plane index (index=False)")
    return config


def _sharding(name: str, config: dict, shard_shape: tuple[int, ...]) -> tuple[Sharding, list[dict]]:
    inner = tuple(int(c) for c in config["chunk_shape"])
    if len(inner) != len(shard_shape) or any(s % c for s, c in zip(shard_shape, inner)):
        raise _refuse(name, f"inner chunks {list(inner)} that tile the shards {list(shard_shape)}")
    index_codecs = [c if isinstance(c, dict) else {"name": c} for c in config.get("index_codecs", [])]
    names = [c.get("name") for c in index_codecs]
    if names not in (["bytes"], ["bytes", "crc32c"]):
        raise _refuse(name, f"a shard index coded with bytes (and crc32c), not {names}")
    endian = (index_codecs[0].get("configuration") or {}).get("endian", "little")
    location = config.get("index_location", "end")
    if location not in ("start", "end"):
        raise _refuse(name, f"a shard index at the start or the end, not {location!r}")
    sharding = Sharding(shard_shape=shard_shape, per_shard=tuple(s // c for s, c in zip(shard_shape, inner)),
                        at_end=location == "end", crc32c=names[-1] == "crc32c",
                        big_endian=endian == "big")
    return sharding, [c if isinstance(c, dict) else {"name": c} for c in config.get("codecs", [])]


def stored_layout(array: Any) -> StoredLayout:
    """The layout of a zarr v3 array of varnel.htj2k chunks, plain or sharded;
    ValueError for any other array."""
    meta = array.metadata
    name = f"array {array.path or '/'!r}"
    if getattr(meta, "zarr_format", 3) != 3:
        raise _refuse(name, "a zarr v3 array")
    from zarr.core.buffer import default_buffer_prototype
    doc = json.loads(meta.to_buffer_dict(default_buffer_prototype())["zarr.json"].to_bytes())
    grid = doc.get("chunk_grid", {})
    if grid.get("name") != "regular":
        raise _refuse(name, f"a regular chunk grid, not {grid.get('name')!r}")
    outer = tuple(int(c) for c in grid["configuration"]["chunk_shape"])
    codecs = [c if isinstance(c, dict) else {"name": c} for c in doc.get("codecs", [])]
    sharding = None
    if len(codecs) == 1 and codecs[0].get("name") == "sharding_indexed":
        sharding, codecs = _sharding(name, codecs[0].get("configuration") or {}, outer)
        chunk_shape = tuple(s // p for s, p in zip(outer, sharding.per_shard))
        htj2k = _htj2k_config(name, codecs, "inside the shards ")
    else:
        chunk_shape = outer
        htj2k = _htj2k_config(name, codecs, "")
    names = doc.get("dimension_names")
    return StoredLayout(
        name=name, shape=tuple(int(n) for n in array.shape), dtype=np.dtype(array.dtype),
        fill_value=meta.fill_value, dimension_names=tuple(names) if names else None,
        chunk_shape=chunk_shape, htj2k=htj2k, sharding=sharding,
        store=array.store_path.store, prefix=array.store_path.path,
        encode_key=meta.encode_chunk_key, metadata=doc)
