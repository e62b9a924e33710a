// The module's decodes equal Python varnel's, chunk by chunk and level by level.
import { test } from "node:test";
import assert from "node:assert/strict";

import { Htj2kCodec, decode, decodeReduced, load, registerCodec, setMaxBytes } from "../../web/varnel.js";
import { bytesOf, fixtures } from "./helpers.mjs";

const { manifest, read } = fixtures();

test("decodes every chunk of the table as Python varnel does", async () => {
  assert.ok(manifest.chunks.length >= 60);
  for (const c of manifest.chunks) {
    const got = await decode(read(c.chunk), c.shape, c.dtype);
    assert.equal(got.constructor.name, { uint8: "Uint8Array", int8: "Int8Array", uint16: "Uint16Array", int16: "Int16Array", uint32: "Uint32Array", int32: "Int32Array" }[c.dtype]);
    assert.ok(bytesOf(got).equals(read(c.full)), c.name);
  }
});

test("decodes every level of every indexed chunk as Python varnel does", async () => {
  let levels = 0;
  for (const c of manifest.chunks) {
    for (const [r, file] of Object.entries(c.reduced)) {
      const got = await decodeReduced(read(c.chunk), c.shape, c.dtype, Number(r));
      assert.ok(bytesOf(got).equals(read(file)), `${c.name} reduce ${r}`);
      levels++;
    }
  }
  assert.ok(levels > 150);
});

test("narrows a chunk decoded as another dtype, or refuses it, as Python varnel does", async () => {
  const { createHash } = await import("node:crypto");
  const decoder = await load();
  const verdicts = manifest.mismatched.map((c) => {
    try {
      const out = c.reduce === null ? decoder.decode(read(c.chunk), c.shape, c.dtype) : decoder.decodeReduced(read(c.chunk), c.shape, c.dtype, c.reduce);
      return { sha256: createHash("sha256").update(out).digest("hex") };
    } catch (e) {
      return { error: e.message.replace(/^varnel\.htj2k: /, "") };
    }
  });
  assert.deepEqual(verdicts, manifest.mismatched.map(({ sha256, error }) => (error ? { error } : { sha256 })));
  assert.ok(verdicts.filter((v) => v.error).length >= 4 && verdicts.filter((v) => v.sha256).length >= 4);
});

// Table of refusals: [what, call, message part].
const first = manifest.chunks.find((c) => c.index && c.levels >= 2 && c.shape.length === 3);
const unindexed = manifest.chunks.find((c) => !c.index);
const refusals = [
  ["a shape the container does not declare", (d) => d.decode(read(first.chunk), [first.shape[0], first.shape[1] + 1, first.shape[2]], first.dtype), /shape|declares/],
  ["a dtype htj2k does not code", (d) => d.decode(read(first.chunk), first.shape, "float32"), /no integer path/],
  ["a reduce beyond the levels", (d) => d.decodeReduced(read(first.chunk), first.shape, first.dtype, first.levels + 1), /exceeds/],
  ["a reduced decode without the index", (d) => d.decodeReduced(read(unindexed.chunk), unindexed.shape, unindexed.dtype, 1), /index/],
  ["a truncated chunk", (d) => d.decode(read(first.chunk).subarray(0, 200), first.shape, first.dtype), /malformed|truncated/],
  ["bad magic", (d) => d.decode(Buffer.concat([Buffer.from("xxxx"), read(first.chunk).subarray(4)]), first.shape, first.dtype), /magic/],
  ["one dimension", (d) => d.decode(read(first.chunk), [5], first.dtype), /2 to 32 dimensions/],
  ["a zero extent", (d) => d.decode(read(first.chunk), [0, 4, 4], first.dtype), /extents/],
  ["an output above the limit", (d) => d.decode(read(first.chunk), [65536, 65536, 65536], "uint8"), /more than/],
];

for (const [what, call, message] of refusals) {
  test(`refuses ${what}`, async () => {
    const decoder = await load();
    assert.throws(() => call(decoder), message);
  });
}

test("the decoder keeps working after refusals and after its output limit changes", async () => {
  const decoder = await load();
  assert.throws(() => decoder.decode(new Uint8Array(3), [2, 2], "uint8"));
  setMaxBytes(64);
  assert.throws(() => decoder.decode(read(first.chunk), first.shape, first.dtype), /more than 64 bytes/);
  setMaxBytes(512 * 1024 * 1024);
  assert.ok(bytesOf(decoder.decode(read(first.chunk), first.shape, first.dtype)).equals(read(first.full)));
});

test("the zarrita.js codec registers and decodes a chunk with its C-order strides", async () => {
  const registry = new Map();
  registerCodec(registry);
  const Codec = await registry.get("varnel.htj2k")();
  assert.equal(Codec, Htj2kCodec);
  const codec = Codec.fromConfig({ xy_levels: first.levels, progression: "RPCL", index: true }, { data_type: first.dtype, shape: first.shape });
  assert.equal(codec.kind, "array_to_bytes");
  const chunk = await codec.decode(read(first.chunk));
  const [p, y, x] = first.shape;
  assert.deepEqual(chunk.shape, [p, y, x]);
  assert.deepEqual(chunk.stride, [y * x, x, 1]);
  assert.ok(bytesOf(chunk.data).equals(read(first.full)));
  assert.throws(() => Codec.fromConfig({}, { data_type: "float64", shape: [4, 4] }), /no integer path/);
});
