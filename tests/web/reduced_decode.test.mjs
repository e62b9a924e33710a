// A reduced decode of a whole chunk copies into the decoder only what it
// reads (header, index, each plane's prefix): it equals the decode of the
// chunk compacted to them, and an index that lies is refused, with the
// message of the chunk as given, without a read outside the chunk.
import { test } from "node:test";
import assert from "node:assert/strict";

import { container, load } from "../../web/varnel.js";
import { bytesOf, fixtures } from "./helpers.mjs";

const { manifest, read } = fixtures();

test("a reduced decode of a whole chunk equals that of its compaction, at every level", async () => {
  const decoder = await load();
  let levels = 0;
  for (const c of manifest.chunks.filter((c) => c.index)) {
    const bytes = new Uint8Array(read(c.chunk));
    const head = container.parseHead(bytes);
    const [y, x] = c.shape.slice(-2);
    for (let r = 0; r <= c.levels; r++) {
      const found = container.entries(bytes, head, r), top = c.levels - r;
      const planes = found.map((_, k) => k);
      const compacted = container.compact(bytes, head, found, planes, found.map((e) => bytes.subarray(e.offset, e.offset + e.prefixes[top])), r);
      const plan = container.reducedPlan(bytes, r);
      assert.equal(plan.size, compacted.length - container.headerSize(3) + head.headerEnd, `${c.name} reduce ${r}`);
      if (c.shape.length === 3) {
        const written = new Uint8Array(plan.size);
        container.writeCompacted(written, bytes, plan);
        assert.ok(bytesOf(written).equals(bytesOf(compacted)), `${c.name} reduce ${r}`);
      }
      const whole = bytesOf(decoder.decodeReduced(bytes, c.shape, c.dtype, r));
      assert.ok(whole.equals(bytesOf(decoder.decodeReduced(compacted, [planes.length, y, x], c.dtype, r))), `${c.name} reduce ${r}`);
      levels++;
    }
  }
  assert.ok(levels > 150);
});

// A three-plane chunk with checksums, read at reduce 1 (resolution 2); each
// lie is written into a copy that the true chunk follows in memory, so a
// read past the chunk's end would find plausible bytes.
const c = manifest.chunks.find((c) => c.name === "uint16_3x37x53_L3_sums");
const good = new Uint8Array(read(c.chunk));
const head = container.parseHead(good);
const found = container.entries(good, head, 0);
const entryAt = (k) => head.headerEnd + k * container.entrySize(head.levels, head.checksums);
const top = 2;

function lie(edit, length = good.length) {
  const memory = new Uint8Array(2 * good.length);
  memory.set(good);
  memory.set(good, good.length);
  edit(new DataView(memory.buffer), memory);
  return memory.subarray(0, length);
}

// [lie, chunk, message]
const lies = [
  ["a chunk cut inside the last prefix", lie(() => {}, found[2].offset + found[2].prefixes[top] - 1), /plane prefix exceeds the chunk/],
  ["a chunk cut inside the index", lie(() => {}, entryAt(1) + 3), /truncated coefficient-plane index/],
  ["a prefix length past the chunk's end", lie((v) => {
    v.setUint32(entryAt(2) + 8, good.length, true);
    for (let r = top; r <= head.levels; r++) v.setUint32(entryAt(2) + 12 + 4 * r, good.length, true);
  }), /plane prefix exceeds the chunk/],
  ["an offset past the chunk's end", lie((v) => v.setBigUint64(entryAt(2), BigInt(good.length + 8), true)), /plane prefix exceeds the chunk/],
  ["an offset beyond 2**53", lie((v) => v.setBigUint64(entryAt(2), 2n ** 64n - 1n, true)), /plane byte range overflows/],
  ["an offset into the index", lie((v) => v.setBigUint64(entryAt(0), BigInt(head.headerEnd), true)), /overlap or precede the index/],
  ["overlapping planes", lie((v) => v.setBigUint64(entryAt(1), BigInt(found[0].offset), true)), /overlap or precede the index/],
  ["decreasing prefix lengths", lie((v) => v.setUint32(entryAt(1) + 16, found[1].prefixes[0] - 1, true)), /prefix lengths are inconsistent/],
  ["a prefix longer than its plane", lie((v) => v.setUint32(entryAt(1) + 8, found[1].prefixes[top] - 1, true)), /prefix lengths are inconsistent/],
  ["a changed byte in a prefix", lie((_, m) => { m[found[1].offset + found[1].prefixes[top] - 1] ^= 1; }),
    new RegExp(`at byte ${found[1].offset}: plane 1: resolution ${top} prefix checksum mismatch`)],
];

for (const [what, chunk, message] of lies) {
  test(`a reduced decode refuses ${what}, naming its place in the chunk given`, async () => {
    const decoder = await load();
    assert.throws(() => decoder.decodeReducedView(chunk, c.shape, c.dtype, 1), (e) => e.kind === "malformed" && message.test(e.message));
  });
}
