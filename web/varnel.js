// varnel.js: the varnel.htj2k decoder for browsers and Node, as a plain ES
// module (no bundler, no dependencies) over varnel.wasm, the native decoder
// compiled to WebAssembly (scripts/wasm.sh).
//
// Decoding a chunk (the bytes a varnel.htj2k codec wrote for one zarr chunk):
//
//   import { decode, decodeReduced } from "./varnel.js";
//   const full = await decode(bytes, [2, 512, 512], "uint16");       // Uint16Array
//   const half = await decodeReduced(bytes, [2, 512, 512], "uint16", 1);
//   // half holds 2 planes of 256 x 256: y and x are ceil(n / 2**reduce)
//
// Each result is the decoder's output copied once into a new typed array.
// The synchronous decoder of `load()` also offers decodeView and
// decodeReducedView: the output in place, in the decoder's memory, valid
// until its next decode (no copy; the array reader below takes its rows so).
//
// The codec for zarrita.js (an array-to-bytes codec; decode only):
//
//   import * as zarr from "zarrita";
//   import { registerCodec } from "./varnel.js";
//   registerCodec(zarr.registry);        // registry.set("varnel.htj2k", ...)
//
// Reading a zarr v3 array over HTTP at a reduced resolution, fetching only the
// chunk headers, plane indexes and the leading bytes of each plane that the
// level needs (plain chunks in two rounds of requests, sharded ones in three;
// servers that ignore Range are handled: each object is then fetched whole,
// once per read):
//
//   import { openArray } from "./varnel.js";
//   const array = await openArray("http://host/data.zarr/image");
//   const { data, shape, stats } = await array.read(2, [0, null, null]);
//   // selection per dimension: an index, [start, stop) or null (all),
//   // in the coordinates of the level; shape drops the indexed dimensions.
//
// Element types: uint8, int8, uint16, int16, uint32, int32 (little-endian,
// as every browser and Node platform is). Outputs are sized from the shape
// the caller declares, and a shape whose output would exceed `maxBytes`
// (setMaxBytes; 512 MiB by default) is refused before anything is allocated.
// The decoder keeps all of the native decoder's checks; a damaged chunk is
// an Error whose message says why (and, from the reader, which chunk).

const DTYPES = {
  uint8: { code: 0, Array: Uint8Array },
  int8: { code: 1, Array: Int8Array },
  uint16: { code: 2, Array: Uint16Array },
  int16: { code: 3, Array: Int16Array },
  uint32: { code: 4, Array: Uint32Array },
  int32: { code: 5, Array: Int32Array },
};
const ERROR_KINDS = ["", "invalid argument", "malformed", "unsupported"];
const MAX_EXTENT = 0xffffffff;
let maxBytes = 512 * 1024 * 1024;

/** The largest decoded output (bytes) a call accepts; larger shapes are refused. */
export function setMaxBytes(bytes) {
  if (!Number.isSafeInteger(bytes) || bytes <= 0) throw new RangeError("maxBytes must be a positive integer");
  maxBytes = bytes;
}

export function dtypeInfo(dtype) {
  const info = DTYPES[dtype];
  if (!info) throw new TypeError(`varnel.htj2k: no integer path for dtype ${JSON.stringify(dtype)} (uint8, int8, uint16, int16, uint32 or int32)`);
  return info;
}

// --- the WebAssembly module ---------------------------------------------------

let wasmSource = new URL("./varnel.wasm", import.meta.url);
let modulePromise = null;
let instance = null;

/** Where varnel.wasm is loaded from (a URL, or its bytes), before the first decode. */
export function setWasmSource(source) {
  wasmSource = source;
  modulePromise = null;
  instance = null;
}

async function wasmBytes(source) {
  if (source instanceof ArrayBuffer || ArrayBuffer.isView(source)) return source;
  const url = new URL(source, import.meta.url);
  if (url.protocol === "file:") {
    const { readFile } = await import("node:fs/promises");
    return readFile(url);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`varnel: cannot load ${url}: HTTP ${response.status}`);
  return response.arrayBuffer();
}

// The few WASI calls libc++ keeps: no environment, no files, no exit.
const wasiStubs = {
  environ_sizes_get: (count, size) => {
    const view = new DataView(instance.exports.memory.buffer);
    view.setUint32(count, 0, true);
    view.setUint32(size, 0, true);
    return 0;
  },
  environ_get: () => 0,
  fd_close: () => 8,
  fd_seek: () => 8,
  fd_write: () => 8,
  proc_exit: (code) => {
    throw new WebAssembly.RuntimeError(`varnel.wasm exited with ${code}`);
  },
};

async function compiled() {
  modulePromise ??= wasmBytes(wasmSource).then((bytes) => WebAssembly.compile(bytes));
  return modulePromise;
}

function instantiate(module) {
  instance = new WebAssembly.Instance(module, { wasi_snapshot_preview1: wasiStubs });
  instance.exports.__wasm_call_ctors();
  scratch = { input: [0, 0], dims: [0, 0], output: [0, 0] };
  return instance;
}

// The instance's buffers for a call (the chunk's bytes, the shape, the
// samples), each [pointer, capacity]: kept from call to call, so a decode
// allocates nothing in the decoder's memory once they are large enough. A
// buffer above 64 MiB is given back when a call needs under a quarter of it.
let scratch = null;

function reserve(w, name, n) {
  const [p, capacity] = scratch[name];
  if (n <= capacity && !(capacity > 64 * 1024 * 1024 && n < capacity / 4)) return p;
  if (p !== 0) w.varnel_free(p);
  scratch[name] = [0, 0];
  const q = w.varnel_alloc(n);
  if (q === 0) throw new RangeError(`varnel.htj2k: cannot allocate ${n} bytes in the decoder's memory`);
  scratch[name] = [q, n];
  return q;
}

/** Loads varnel.wasm; returns the synchronous decoder (decode, decodeReduced and their View forms). */
export async function load() {
  const module = await compiled();
  if (!instance) instantiate(module);
  return new Decoder(module);
}

function shapeInfo(shape, dtype) {
  const info = dtypeInfo(dtype);
  if (!Array.isArray(shape) && !ArrayBuffer.isView(shape)) throw new TypeError("varnel.htj2k: shape must be an array of integers");
  if (shape.length < 2 || shape.length > 32) throw new RangeError(`varnel.htj2k: chunks have 2 to 32 dimensions; got ${shape.length}`);
  for (const n of shape)
    if (!Number.isInteger(n) || n < 1 || n > MAX_EXTENT) throw new RangeError(`varnel.htj2k: chunk extents are integers in 1..2**32-1; got ${shape}`);
  return info;
}

function outputBytes(shape, itemsize, reduce) {
  let bytes = itemsize;
  shape.forEach((n, i) => {
    bytes *= i >= shape.length - 2 ? Math.ceil(n / 2 ** reduce) : n;
    if (bytes > maxBytes) throw new RangeError(`varnel.htj2k: a chunk of shape [${shape}] decodes to more than ${maxBytes} bytes (setMaxBytes)`);
  });
  return bytes;
}

class Decoder {
  constructor(module) {
    this.module = module;
  }

  /** The chunk's samples at full resolution, as a typed array of `dtype`. */
  decode(chunk, shape, dtype) {
    return this.#run(chunk, shape, dtype, null).slice();
  }

  /** Every plane at resolution xy_levels - reduce: y and x are ceil(n / 2**reduce). */
  decodeReduced(chunk, shape, dtype, reduce) {
    return this.#run(chunk, shape, dtype, checkReduce(reduce)).slice();
  }

  /** `decode` without the copy: a typed array over the decoder's own memory,
   *  valid until the next call of any decode (which reuses or moves it). For
   *  callers that take the samples from it at once. */
  decodeView(chunk, shape, dtype) {
    return this.#run(chunk, shape, dtype, null);
  }

  /** `decodeReduced` without the copy, valid as `decodeView`'s result is. */
  decodeReducedView(chunk, shape, dtype, reduce) {
    return this.#run(chunk, shape, dtype, checkReduce(reduce));
  }

  // The samples, decoded into the output scratch of the instance; the view
  // over it is the result. A reduced decode of a whole chunk copies into the
  // decoder's memory only what it reads: the chunk compacted to header, index
  // and each plane's prefix (container.reducedPlan). The decoder refers to
  // byte offsets in the chunk it was given, so a compacted chunk it refuses is
  // decoded whole for the message: errors are those of the chunk as passed.
  #run(chunk, shape, dtype, reduce) {
    const info = shapeInfo(shape, dtype);
    const bytes = chunk instanceof Uint8Array ? chunk : new Uint8Array(chunk.buffer ?? chunk, chunk.byteOffset ?? 0, chunk.byteLength);
    const out = outputBytes(shape, info.Array.BYTES_PER_ELEMENT, reduce ?? 0);
    const plan = reduce === null ? null : container.reducedPlan(bytes, reduce);
    const w = (instance ?? instantiate(this.module)).exports;
    try {
      const dims = reserve(w, "dims", 4 * shape.length);
      const output = reserve(w, "output", out);
      const call = (copy, length) => {
        const input = reserve(w, "input", length);
        // (Views taken after the allocations: one of them may have grown the memory.)
        copy(new Uint8Array(w.memory.buffer, input, length));
        new Uint32Array(w.memory.buffer, dims, shape.length).set(shape);
        return reduce === null
          ? w.varnel_decode(input, length, dims, shape.length, info.code, output, out)
          : w.varnel_decode_reduced(input, length, dims, shape.length, info.code, reduce, output, out);
      };
      const whole = () => call((to) => to.set(bytes), bytes.length);
      let status = plan ? call((to) => container.writeCompacted(to, bytes, plan), plan.size) : whole();
      if (status !== 0 && plan) status = whole();
      if (status !== 0) {
        const text = new TextDecoder().decode(new Uint8Array(w.memory.buffer, w.varnel_error_message(), w.varnel_error_length()));
        const error = new Error(`varnel.htj2k: ${text}`);
        error.kind = ERROR_KINDS[status] ?? "error";
        throw error;
      }
      return new info.Array(w.memory.buffer, output, out / info.Array.BYTES_PER_ELEMENT);
    } catch (e) {
      if (e instanceof WebAssembly.RuntimeError) {
        instance = null; // a trapped instance is not reused: the next call starts afresh
        scratch = null;
        const error = new Error(`varnel.htj2k: the decoder stopped (${e.message}); the chunk is too large for its memory or damaged`);
        error.kind = "trap";
        throw error;
      }
      throw e;
    }
  }
}

function checkReduce(reduce) {
  if (!Number.isInteger(reduce) || reduce < 0 || reduce > 32) throw new RangeError(`varnel.htj2k: reduce must be an integer in 0..32; got ${reduce}`);
  return reduce;
}

/** `decode` of a chunk, loading varnel.wasm first if needed. */
export async function decode(chunk, shape, dtype) {
  return (await load()).decode(chunk, shape, dtype);
}

/** `decodeReduced` of a chunk, loading varnel.wasm first if needed. */
export async function decodeReduced(chunk, shape, dtype, reduce) {
  return (await load()).decodeReduced(chunk, shape, dtype, reduce);
}

// --- the chunk container ---------------------------------------------------------
//
// "vrht" | version 1 | flags | xy_levels L | ndim n | n x u32 extents
// | with flags bit 0, per plane: u64 offset, u32 length, L + 1 x u32 prefix
//   lengths [, with flags bit 1: L + 1 x u32 prefix checksums]
// | the planes' codestreams. Little-endian. Prefix r of a plane: the leading
// bytes of its codestream holding resolutions 0..r.

const FLAG_INDEX = 1;
const FLAG_CHECKSUMS = 2;

export const container = {
  headerSize: (ndim) => 8 + 4 * ndim,
  entrySize: (levels, checksums) => 12 + 4 * (levels + 1) * (checksums ? 2 : 1),
  indexSize(shape, levels, checksums) {
    return this.headerSize(shape.length) + planeCount(shape) * this.entrySize(levels, checksums);
  },

  /** The fixed header at the start of `bytes`: shape, levels, flags, planes, index end. */
  parseHead(bytes) {
    const fail = (m) => { throw new Error(`htj2k chunk: ${m}`); };
    if (bytes.length < 8) fail("header too short");
    if (bytes[0] !== 0x76 || bytes[1] !== 0x72 || bytes[2] !== 0x68 || bytes[3] !== 0x74) fail("not an htj2k chunk (bad magic)");
    if (bytes[4] !== 1) fail(`unsupported container version ${bytes[4]}`);
    const flags = bytes[5], levels = bytes[6], ndim = bytes[7];
    if (flags > (FLAG_INDEX | FLAG_CHECKSUMS) || flags === FLAG_CHECKSUMS) fail(`unknown container flags ${flags}`);
    if (levels > 32) fail(`${levels} wavelet levels declared, at most 32 exist`);
    if (ndim < 2 || ndim > 32) fail(`ndim ${ndim} outside 2..=32`);
    if (bytes.length < this.headerSize(ndim)) fail("header truncated");
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const shape = Array.from({ length: ndim }, (_, i) => view.getUint32(8 + 4 * i, true));
    if (shape.includes(0)) fail("zero chunk dimension");
    const planes = planeCount(shape);
    if (planes > 2 ** 24) fail("more planes than supported");
    const indexed = (flags & FLAG_INDEX) !== 0, checksums = (flags & FLAG_CHECKSUMS) !== 0;
    const headerEnd = this.headerSize(ndim);
    return { shape, levels, flags, indexed, checksums, planes, headerEnd,
             indexEnd: indexed ? headerEnd + planes * this.entrySize(levels, checksums) : headerEnd };
  },

  /** Per plane {offset, length, prefixes, sums} of a head holding the whole index;
   *  the prefixes up to resolution levels - reduce must be consistent. */
  entries(bytes, head, reduce) {
    if (!head.indexed) throw new Error("htj2k chunk: a reduced read needs the plane index (written with index=False)");
    if (reduce > head.levels) throw new Error(`htj2k chunk: reduce ${reduce} exceeds its ${head.levels} wavelet levels`);
    if (bytes.length < head.indexEnd) throw new Error(`htj2k chunk: ${bytes.length} bytes where header and index need ${head.indexEnd}`);
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const size = this.entrySize(head.levels, head.checksums), count = head.levels + 1;
    const top = head.levels - reduce;
    const out = [];
    for (let k = 0; k < head.planes; k++) {
      const at = head.headerEnd + k * size;
      const offset = Number(view.getBigUint64(at, true));
      const length = view.getUint32(at + 8, true);
      const prefixes = Array.from({ length: count }, (_, r) => view.getUint32(at + 12 + 4 * r, true));
      const sums = head.checksums ? Array.from({ length: count }, (_, r) => view.getUint32(at + 12 + 4 * (count + r), true)) : null;
      for (let r = 1; r <= top; r++) if (prefixes[r - 1] > prefixes[r]) throw new Error(`htj2k plane ${k}: prefix lengths are inconsistent`);
      if (prefixes[top] > length) throw new Error(`htj2k plane ${k}: prefix lengths are inconsistent`);
      out.push({ offset, length, prefixes, sums });
    }
    return out;
  },

  /** A container of the picked planes (shape [planes.length, y, x]) holding only
   *  the prefixes a decode at `reduce` reads; `parts` holds one prefix per picked plane. */
  compact(bytes, head, found, planes, parts, reduce) {
    const top = head.levels - reduce;
    const headerEnd = this.headerSize(3);
    let total = headerEnd + planes.length * this.entrySize(head.levels, head.checksums);
    planes.forEach((k, i) => {
      const needed = found[k].prefixes[top];
      if (parts[i].length !== needed) throw new Error(`htj2k plane ${k}: prefix of ${parts[i].length} bytes, the index names ${needed}`);
      total += needed;
    });
    const out = new Uint8Array(total);
    const view = new DataView(out.buffer);
    out.set(bytes.subarray(0, 7));
    out[7] = 3;
    view.setUint32(8, planes.length, true);
    view.setUint32(12, head.shape[head.shape.length - 2], true);
    view.setUint32(16, head.shape[head.shape.length - 1], true);
    this.packPrefixes(out, headerEnd, head, planes.map((k) => found[k]), parts, top);
    return out;
  },

  /** For a decode at `reduce` of the whole chunk `bytes`, what it reads:
   *  {head, found, top, size}, `size` the bytes of the chunk compacted to them
   *  (writeCompacted). Null unless header and index pass the decoder's own
   *  checks for that decode (every plane's prefix lengths non-decreasing up
   *  to resolution `top` and within its length, the prefixes in plane order
   *  after the index and within `bytes`), or when compacting saves nothing. */
  reducedPlan(bytes, reduce) {
    let head, found;
    try {
      head = this.parseHead(bytes);
      if (!head.indexed || reduce > head.levels) return null;
      found = this.entries(bytes, head, reduce);
    } catch {
      return null; // the decoder says what is wrong, of the chunk as given
    }
    const top = head.levels - reduce;
    let bound = head.indexEnd;
    for (const e of found) {
      const end = e.offset + e.prefixes[top];
      if (e.offset < bound || end > bytes.length) return null;
      bound = end;
    }
    const size = head.indexEnd + found.reduce((n, e) => n + e.prefixes[top], 0);
    return size < bytes.length ? { head, found, top, size } : null;
  },

  /** The chunk of a reducedPlan compacted into `out` (its `size` bytes): the
   *  header as it is, then index and prefixes as packPrefixes writes them. */
  writeCompacted(out, bytes, plan) {
    out.set(bytes.subarray(0, plan.head.headerEnd));
    const parts = plan.found.map((e) => bytes.subarray(e.offset, e.offset + e.prefixes[plan.top]));
    this.packPrefixes(out, plan.head.headerEnd, plan.head, plan.found, parts, plan.top);
  },

  // Writes at `at` in `out` an index of `entries` re-pointed at `parts`, their
  // prefixes to resolution `top` (each its length, the prefix lengths and
  // checksums above `top` those of `top`), then the parts, back to back.
  packPrefixes(out, at, head, entries, parts, top) {
    const view = new DataView(out.buffer, out.byteOffset, out.byteLength);
    const size = this.entrySize(head.levels, head.checksums), count = head.levels + 1;
    let position = at + entries.length * size;
    entries.forEach((e, i) => {
      const needed = e.prefixes[top], where = at + i * size;
      view.setBigUint64(where, BigInt(position), true);
      view.setUint32(where + 8, needed, true);
      for (let r = 0; r < count; r++) {
        view.setUint32(where + 12 + 4 * r, r <= top ? e.prefixes[r] : needed, true);
        if (head.checksums) view.setUint32(where + 12 + 4 * (count + r), e.sums[Math.min(r, top)], true);
      }
      out.set(parts[i], position);
      position += needed;
    });
  },
};

function planeCount(shape) {
  return shape.slice(0, -2).reduce((a, b) => a * b, 1);
}

// --- the zarrita.js codec ----------------------------------------------------------

/**
 * The varnel.htj2k array-to-bytes codec in zarrita.js's shape. `fromConfig`
 * takes the codec's configuration (xy_levels, progression, index, checksums:
 * a decoder reads all of them from the chunks themselves) and the chunk's
 * metadata ({data_type, shape}); `decode` returns {data, shape, stride}.
 * Encoding is not offered.
 */
export class Htj2kCodec {
  kind = "array_to_bytes";

  constructor(configuration, chunkMetadata, decoder) {
    this.configuration = configuration ?? {};
    this.dtype = chunkMetadata.data_type;
    this.shape = Array.from(chunkMetadata.shape ?? chunkMetadata.chunk_shape);
    this.decoder = decoder;
    dtypeInfo(this.dtype);
    shapeInfo(this.shape, this.dtype);
  }

  static fromConfig(configuration, chunkMetadata) {
    return new Htj2kCodec(configuration, chunkMetadata, null);
  }

  async decode(bytes) {
    this.decoder ??= await load();
    const data = this.decoder.decode(bytes, this.shape, this.dtype);
    return { data, shape: [...this.shape], stride: cOrderStrides(this.shape) };
  }

  encode() {
    throw new Error("varnel.htj2k: this module decodes only (encode with the Python package)");
  }
}

/** Registers Htj2kCodec as "varnel.htj2k" in a zarrita.js registry (a Map of
 *  codec name to a factory, which loads varnel.wasm before it answers). */
export function registerCodec(registry) {
  registry.set("varnel.htj2k", async () => {
    await load();
    return Htj2kCodec;
  });
}

export function cOrderStrides(shape) {
  const stride = new Array(shape.length);
  let s = 1;
  for (let i = shape.length - 1; i >= 0; i--) {
    stride[i] = s;
    s *= shape[i];
  }
  return stride;
}

// --- fetching, in rounds ------------------------------------------------------------

/** Requests and bytes of a read, counted as they arrive. */
export class FetchStats {
  rounds = 0;
  requests = 0;
  bytes = 0;
  wholeObjects = 0; // answers of a whole object to a range request
}

/**
 * Fetches byte ranges of objects under a base URL in rounds. A round takes
 * wants {key, start, end} (end null: to the object's end; start < 0 with end
 * null: that many final bytes) and returns, per want, its bytes or null when
 * the object does not exist. Ranges of one object that lie within `maxGap`
 * bytes of each other go as one request. A server that ignores Range
 * answers with the whole object: it is kept for the rest of the read, so
 * each object is fetched at most once.
 */
export class Fetcher {
  constructor(base, stats = new FetchStats(), { maxGap = 4096, fetch: fetchFn = globalThis.fetch } = {}) {
    this.base = base.endsWith("/") ? base : base + "/";
    this.stats = stats;
    this.maxGap = maxGap;
    this.fetch = (url, init) => fetchFn(url, init); // called unbound: a browser's fetch needs its global
    this.whole = new Map(); // key -> Uint8Array, or null for an absent object
  }

  async round(wants) {
    if (wants.length === 0) return [];
    this.stats.rounds++;
    const results = new Array(wants.length);
    const byKey = new Map();
    wants.forEach((w, i) => {
      if (this.whole.has(key(w))) {
        results[i] = slice(this.whole.get(key(w)), w);
        return;
      }
      if (!byKey.has(w.key)) byKey.set(w.key, []);
      byKey.get(w.key).push(i);
    });
    await Promise.all([...byKey.entries()].map(([k, idx]) => this.#fetchObject(k, idx.map((i) => wants[i])).then((got) => {
      idx.forEach((i, j) => { results[i] = got[j]; });
    })));
    return results;
  }

  // Groups of ranges (merged within maxGap), one request each.
  async #fetchObject(k, wants) {
    const groups = [];
    const sorted = wants.map((w, j) => ({ w, j })).sort((a, b) => a.w.start - b.w.start);
    for (const item of sorted) {
      const { w } = item;
      const last = groups.at(-1);
      if (last && w.start >= 0 && last.start >= 0 && last.end !== null && w.end !== null && w.start <= last.end + this.maxGap) {
        last.end = Math.max(last.end, w.end);
        last.items.push(item);
      } else {
        groups.push({ start: w.start, end: w.end, items: [item] });
      }
    }
    const got = new Array(wants.length);
    for (const group of groups) {
      if (this.whole.has(k)) {
        for (const { w, j } of group.items) got[j] = slice(this.whole.get(k), w);
        continue;
      }
      const answer = await this.#request(k, group.start, group.end);
      for (const { w, j } of group.items) {
        if (answer.whole !== undefined) got[j] = slice(answer.whole, w);
        else got[j] = answer.bytes.subarray(w.start - answer.start, w.end === null ? undefined : w.end - answer.start);
      }
    }
    return got;
  }

  async #request(k, start, end) {
    const range = start < 0 ? `bytes=${start}` : `bytes=${start}-${end === null ? "" : end - 1}`;
    this.stats.requests++;
    const response = await this.fetch(this.base + k, { headers: { Range: range } });
    if (response.status === 404 || response.status === 403) {
      await response.arrayBuffer().catch(() => null);
      this.whole.set(k, null);
      return { whole: null };
    }
    if (response.status === 416) { // a range past the end of the object: nothing there
      await response.arrayBuffer().catch(() => null);
      return { start: Math.max(start, 0), bytes: new Uint8Array(0) };
    }
    if (!response.ok) throw new Error(`${this.base + k}: HTTP ${response.status}`);
    const bytes = new Uint8Array(await response.arrayBuffer());
    this.stats.bytes += bytes.length;
    if (response.status === 206) {
      const m = /bytes (\d+)-(\d+)\/(\d+|\*)/.exec(response.headers.get("Content-Range") ?? "");
      if (!m) throw new Error(`${this.base + k}: a partial answer without a Content-Range`);
      const first = Number(m[1]);
      if (m[3] !== "*" && start < 0 && first === 0 && Number(m[3]) === bytes.length) {
        this.whole.set(k, bytes);
        return { whole: bytes };
      }
      return { start: first, bytes: start < 0 ? bytes : bytes };
    }
    this.stats.wholeObjects++;
    this.whole.set(k, bytes); // 200: the whole object, kept for the rest of the read
    return { whole: bytes };
  }
}

function key(w) {
  return w.key;
}

// The bytes of a want from a whole object (null for an absent one).
function slice(object, w) {
  if (object === null) return null;
  if (w.start < 0) return object.subarray(Math.max(0, object.length + w.start));
  return object.subarray(Math.min(w.start, object.length), w.end === null ? undefined : Math.min(w.end, object.length));
}

// --- a zarr v3 array of varnel.htj2k chunks -------------------------------------------

const SHARD_EMPTY = 0xffffffffffffffffn;

/** Opens the zarr v3 array at `url` (its zarr.json); options: {maxGap, fetch}. */
export async function openArray(url, options = {}) {
  const base = url.endsWith("/") ? url : url + "/";
  const fetchFn = options.fetch ?? globalThis.fetch;
  const response = await fetchFn(base + "zarr.json");
  if (!response.ok) throw new Error(`${base}zarr.json: HTTP ${response.status}`);
  return new Htj2kArray(base, await response.json(), options);
}

/**
 * A varnel.htj2k zarr v3 array, plain or sharded (zarr's sharding_indexed
 * codec around varnel.htj2k), read level by level: `read(reduce, selection)`.
 */
export class Htj2kArray {
  constructor(base, meta, options = {}) {
    this.base = base;
    this.options = options;
    const fail = (m) => { throw new Error(`${base}zarr.json: ${m}`); };
    if (meta.zarr_format !== 3 || meta.node_type !== "array") fail("not a zarr v3 array");
    this.shape = meta.shape;
    this.dtype = meta.data_type;
    if (!DTYPES[this.dtype]) fail(`data type ${this.dtype} is not one varnel.htj2k codes`);
    if (meta.chunk_grid?.name !== "regular") fail("only regular chunk grids are read");
    const outer = meta.chunk_grid.configuration.chunk_shape;
    const enc = meta.chunk_key_encoding ?? { name: "default" };
    this.separator = enc.configuration?.separator ?? (enc.name === "v2" ? "." : "/");
    this.v2Keys = enc.name === "v2";
    this.fillValue = Number(meta.fill_value ?? 0) || 0;
    const codecs = meta.codecs ?? [];
    let inner = codecs;
    this.sharding = null;
    if (codecs.length === 1 && codecs[0].name === "sharding_indexed") {
      const c = codecs[0].configuration;
      inner = c.codecs;
      const indexCodecs = c.index_codecs ?? [{ name: "bytes", configuration: { endian: "little" } }];
      const names = indexCodecs.map((x) => x.name);
      if (names[0] !== "bytes" || (indexCodecs[0].configuration?.endian ?? "little") !== "little" ||
          !(names.length === 1 || (names.length === 2 && names[1] === "crc32c"))) fail("shard index codecs other than little-endian bytes (and crc32c) are not read");
      const perShard = outer.map((n, i) => n / c.chunk_shape[i]);
      if (perShard.some((n) => !Number.isInteger(n))) fail("inner chunks do not tile the shards");
      const count = perShard.reduce((a, b) => a * b, 1);
      this.sharding = { perShard, count, atEnd: (c.index_location ?? "end") === "end",
                        crc: names.length === 2, indexSize: 16 * count + (names.length === 2 ? 4 : 0) };
      this.chunkShape = c.chunk_shape;
      this.shardShape = outer;
    } else {
      this.chunkShape = outer;
    }
    if (inner.length !== 1 || inner[0].name !== "varnel.htj2k") fail("the (inner) codecs must be varnel.htj2k alone");
    const cfg = inner[0].configuration ?? {};
    this.levels = cfg.xy_levels ?? 5;
    this.indexed = cfg.index ?? true;
    this.checksums = cfg.checksums ?? false;
    this.headSize = container.indexSize(this.chunkShape, this.levels, this.indexed && this.checksums);
    this.name = base;
  }

  /** The largest reduce whose chunks tile the level (chunk y and x multiples of 2**reduce). */
  get maxReduce() {
    if (!this.indexed) return 0;
    let r = 0;
    const [cy, cx] = this.chunkShape.slice(-2);
    while (r < this.levels && cy % 2 ** (r + 1) === 0 && cx % 2 ** (r + 1) === 0) r++;
    return r;
  }

  /** The array's shape at `reduce`: y and x ceil-divided by 2**reduce. */
  levelShape(reduce) {
    const f = 2 ** reduce;
    return this.shape.map((n, i) => (i >= this.shape.length - 2 ? Math.ceil(n / f) : n));
  }

  chunkKey(coords) {
    if (this.v2Keys) return coords.join(this.separator);
    return ["c", ...coords].join(this.separator);
  }

  /** Store key and inner-chunk slot of a chunk's grid coordinates. */
  locate(coords) {
    if (!this.sharding) return { key: this.chunkKey(coords), slot: 0 };
    const per = this.sharding.perShard;
    const shard = coords.map((c, i) => Math.floor(c / per[i]));
    let slot = 0;
    coords.forEach((c, i) => { slot = slot * per[i] + (c % per[i]); });
    return { key: this.chunkKey(shard), slot };
  }

  where(coords) {
    const { key: k } = this.locate(coords);
    return this.sharding ? `chunk ${k}, inner chunk (${coords.join(", ")}) of ${this.name}` : `chunk ${k} (chunk (${coords.join(", ")}) of ${this.name})`;
  }

  /**
   * The selection (per dimension an index, [start, stop) or null; in the
   * coordinates of the level) at resolution xy_levels - reduce:
   * {data, shape, stats}. Indexed dimensions are dropped from the shape.
   */
  async read(reduce, selection = [], stats = new FetchStats()) {
    if (!Number.isInteger(reduce) || reduce < 0 || reduce > this.maxReduce)
      throw new RangeError(`reduce ${reduce} is outside 0..=${this.maxReduce} for ${this.name}`);
    const shape = this.levelShape(reduce);
    const ranges = shape.map((n, i) => {
      const s = selection[i] ?? null;
      if (s === null) return [0, n];
      if (Number.isInteger(s)) {
        if (s < 0 || s >= n) throw new RangeError(`index ${s} is out of bounds for an axis of size ${n}`);
        return [s, s + 1];
      }
      const [a, b] = [Math.max(0, s[0]), Math.min(n, s[1])];
      return [a, Math.max(a, b)];
    });
    const info = dtypeInfo(this.dtype);
    const outShape = ranges.map(([a, b]) => b - a);
    outputBytes([1, ...outShape], info.Array.BYTES_PER_ELEMENT, 0);
    const data = new info.Array(outShape.reduce((a, b) => a * b, 1)).fill(this.fillValue);
    const f = 2 ** reduce;
    const rchunk = this.chunkShape.map((n, i) => (i >= shape.length - 2 ? n / f : n));
    const grids = ranges.map(([a, b], i) => (b > a ? [Math.floor(a / rchunk[i]), Math.ceil(b / rchunk[i])] : [0, 0]));
    const wanted = [];
    for (const coords of product(grids)) {
      const src = coords.map((c, i) => [Math.max(ranges[i][0], c * rchunk[i]) - c * rchunk[i], Math.min(ranges[i][1], (c + 1) * rchunk[i]) - c * rchunk[i]]);
      const planes = [];
      for (const lead of product(src.slice(0, -2)))
        planes.push(lead.reduce((acc, v, i) => acc * this.chunkShape[i] + v, 0));
      wanted.push({ coords, planes, src });
    }
    const fetcher = new Fetcher(this.base, stats, this.options);
    const chunks = this.indexed ? await this.#compactChunks(fetcher, wanted, reduce) : await this.#wholeChunks(fetcher, wanted);
    const decoder = await load();
    const outStrides = cOrderStrides(outShape);
    wanted.forEach((w, n) => {
      const bytes = chunks[n];
      if (bytes === null) return;
      let block;
      try {
        // A view: its rows are copied out below, before the next decode.
        block = this.indexed
          ? decoder.decodeReducedView(bytes, [w.planes.length, ...this.chunkShape.slice(-2)], this.dtype, reduce)
          : decoder.decodeView(bytes, this.chunkShape, this.dtype);
      } catch (e) {
        throw new Error(`${this.where(w.coords)}: ${e.message}`);
      }
      const [ry, rx] = rchunk.slice(-2);
      const [[y0, y1], [x0, x1]] = w.src.slice(-2);
      const leadStarts = w.coords.map((c, i) => c * rchunk[i] + w.src[i][0] - ranges[i][0]);
      let p = 0;
      for (const lead of product(w.src.slice(0, -2))) {
        const plane = this.indexed ? p++ : lead.reduce((acc, v, i) => acc * this.chunkShape[i] + v, 0);
        let dst = 0;
        lead.forEach((v, i) => { dst += (leadStarts[i] + v - w.src[i][0]) * outStrides[i]; });
        const nd = outShape.length;
        for (let y = y0; y < y1; y++) {
          const rowDst = dst + (leadStarts[nd - 2] + y - y0) * outStrides[nd - 2] + leadStarts[nd - 1];
          const rowSrc = (plane * ry + y) * rx;
          data.set(block.subarray(rowSrc + x0, rowSrc + x1), rowDst);
        }
      }
    });
    return { data, shape: outShape.filter((_, i) => !Number.isInteger(selection[i])), stats };
  }

  async #wholeChunks(fetcher, wanted) {
    if (!this.sharding) return fetcher.round(wanted.map((w) => ({ key: this.locate(w.coords).key, start: 0, end: null })));
    const spans = await this.#shardSpans(fetcher, wanted);
    const got = await fetcher.round(spans.filter(Boolean).map((s) => ({ key: s.key, start: s.offset, end: s.offset + s.length })));
    let i = 0;
    return spans.map((s) => (s ? got[i++] : null));
  }

  // Round 1 of a sharded read: each shard's index; per wanted chunk its span
  // {key, offset, length} in its shard, or null for an absent chunk.
  async #shardSpans(fetcher, wanted) {
    const sh = this.sharding;
    const located = wanted.map((w) => this.locate(w.coords));
    const keys = [...new Set(located.map((l) => l.key))];
    const blobs = await fetcher.round(keys.map((k) => (sh.atEnd ? { key: k, start: -sh.indexSize, end: null } : { key: k, start: 0, end: sh.indexSize })));
    const indexes = new Map();
    keys.forEach((k, i) => indexes.set(k, blobs[i] === null ? null : this.#parseShardIndex(k, blobs[i], fetcher)));
    return located.map(({ key: k, slot }, i) => {
      const index = indexes.get(k);
      if (index === null) return null;
      const offset = index.getBigUint64(16 * slot, true), length = index.getBigUint64(16 * slot + 8, true);
      if (offset === SHARD_EMPTY && length === SHARD_EMPTY) return null;
      const span = { key: k, offset: Number(offset), length: Number(length) };
      if (offset > BigInt(Number.MAX_SAFE_INTEGER) || length > BigInt(Number.MAX_SAFE_INTEGER) ||
          (!sh.atEnd && span.offset < sh.indexSize) || (sh.objectSize.get(k) !== undefined && span.offset + span.length > sh.objectSize.get(k)))
        throw new Error(`${this.where(wanted[i].coords)}: its shard index entry points outside the shard`);
      return span;
    });
  }

  #parseShardIndex(k, blob, fetcher) {
    const sh = this.sharding;
    sh.objectSize ??= new Map();
    if (fetcher.whole.has(k) && fetcher.whole.get(k)) sh.objectSize.set(k, fetcher.whole.get(k).length);
    else sh.objectSize.delete(k);
    if (blob.length !== sh.indexSize) throw new Error(`shard ${k} of ${this.name}: ${blob.length} bytes where its index needs ${sh.indexSize}`);
    if (sh.crc) {
      const stored = new DataView(blob.buffer, blob.byteOffset + 16 * sh.count, 4).getUint32(0, true);
      if (crc32c(blob.subarray(0, 16 * sh.count)) !== stored) throw new Error(`shard ${k} of ${this.name}: its index fails its crc32c`);
    }
    return new DataView(blob.buffer, blob.byteOffset, 16 * sh.count);
  }

  // The compacted chunk of each wanted chunk (its picked planes' prefixes at
  // `reduce`), or null where none was written: start asks (header, index and
  // an estimate of the first plane's prefix), then what is still missing.
  async #compactChunks(fetcher, wanted, reduce) {
    const spans = this.sharding
      ? await this.#shardSpans(fetcher, wanted)
      : wanted.map((w) => ({ key: this.locate(w.coords).key, offset: 0, length: null }));
    const asks = [], askOf = [];
    spans.forEach((s, i) => {
      if (!s) return;
      askOf[i] = asks.length;
      asks.push({ key: s.key, start: s.offset, end: s.offset + this.#firstAsk(s.length, reduce, wanted[i].planes.includes(0)) });
    });
    const starts = await fetcher.round(asks);
    const plans = [];
    const rest = [];
    spans.forEach((s, i) => {
      if (!s) return;
      const where = this.where(wanted[i].coords);
      const whole = fetcher.whole.get(s.key); // the server sent the whole object
      const head = whole ? whole.subarray(s.offset, s.length === null ? undefined : s.offset + s.length) : starts[askOf[i]];
      if (head === null) return; // a plain chunk never written
      const asked = whole ? Infinity : asks[askOf[i]].end - asks[askOf[i]].start;
      try {
        if (head.length < this.headSize) throw new Error(`${head.length} bytes where header and plane index need ${this.headSize}`);
        const parsed = container.parseHead(head);
        if (parsed.shape.join() !== this.chunkShape.join() || parsed.levels !== this.levels || parsed.indexEnd > head.length)
          throw new Error(`its header (shape [${parsed.shape}], xy_levels ${parsed.levels}) disagrees with the array's chunk shape [${this.chunkShape}] and xy_levels ${this.levels}`);
        const found = container.entries(head, parsed, reduce);
        const top = parsed.levels - reduce;
        const size = s.length ?? (head.length < asked || whole ? head.length : Infinity);
        const parts = wanted[i].planes.map((k) => {
          const { offset: o, prefixes } = found[k];
          const m = prefixes[top];
          if (o < parsed.indexEnd) throw new Error("its plane index points into the index");
          if (o + m > size) throw new Error(`its plane index points past the chunk's ${size} bytes`);
          if (o + m <= head.length) return head.subarray(o, o + m);
          const have = Math.max(o, head.length);
          const part = { head: head.subarray(Math.min(o, head.length)), want: rest.length };
          rest.push({ key: s.key, start: s.offset + have, end: s.offset + o + m });
          return part;
        });
        plans[i] = { head, parsed, found, parts, where };
      } catch (e) {
        throw new Error(`${where}: ${e.message}`);
      }
    });
    const tails = await fetcher.round(rest);
    return spans.map((s, i) => {
      const plan = plans[i];
      if (!plan) return null;
      try {
        const parts = plan.parts.map((p) => {
          if (p instanceof Uint8Array) return p;
          const tail = tails[p.want], w = rest[p.want];
          if (tail === null || tail.length !== w.end - w.start)
            throw new Error(`its plane index points past the end of the object (a prefix to byte ${w.end})`);
          const joined = new Uint8Array(p.head.length + tail.length);
          joined.set(p.head);
          joined.set(tail, p.head.length);
          return joined;
        });
        return container.compact(plan.head, plan.parsed, plan.found, wanted[i].planes, parts, reduce);
      } catch (e) {
        throw new Error(`${plan.where}: ${e.message}`);
      }
    });
  }

  // Bytes to ask from a chunk's start: header and index, and with `first`
  // a guess at the first plane's prefix (a short guess costs a request in the
  // next round, a long one its excess bytes).
  #firstAsk(length, reduce, first) {
    const head = this.headSize;
    if (!first) return length === null ? head : Math.min(head, length);
    const planes = planeCount(this.chunkShape);
    const body = length !== null ? (length - head) / planes
      : this.chunkShape.slice(-2).reduce((a, b) => a * b, 1) * DTYPES[this.dtype].Array.BYTES_PER_ELEMENT * 0.3;
    const weight = [1.0, 1.0, 0.97, 1.06, 1.42, 1.7, 1.8][Math.min(reduce, 6)];
    const share = reduce === 0 ? 1 : Math.min(1, (reduce >= this.levels ? Math.max(weight, 2.1) : weight) / 4 ** reduce);
    const ask = head + Math.floor(160 + 4 * this.levels + body * share) + 1;
    return length !== null && length - ask <= (this.options.maxGap ?? 4096) ? length : ask;
  }
}

function* product(ranges) {
  if (ranges.length === 0) {
    yield [];
    return;
  }
  const [[a, b], ...more] = ranges;
  for (let v = a; v < b; v++) for (const tail of product(more)) yield [v, ...tail];
}

// CRC-32C (Castagnoli), reflected, as zarr's crc32c codec writes it.
const CRC_TABLE = (() => {
  const t = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0x82f63b78 ^ (c >>> 1) : c >>> 1;
    t[n] = c >>> 0;
  }
  return t;
})();

export function crc32c(bytes) {
  let c = 0xffffffff;
  for (let i = 0; i < bytes.length; i++) c = CRC_TABLE[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}
