// Reduced reads of zarr v3 arrays over real HTTP: values equal Python
// varnel's ReducedReader; requests, rounds and bytes are counted at the server.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { readFileSync, writeFileSync, mkdtempSync, cpSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

import { openArray, cOrderStrides } from "../../web/varnel.js";
import { bytesOf, fixtures } from "./helpers.mjs";
import { serve } from "./server.mjs";

const { dir, manifest, read } = fixtures();
const ranged = await serve(dir, { ranges: true });
const plain = await serve(dir, { ranges: false });
after(() => Promise.all([ranged.close(), plain.close()]));

const byName = Object.fromEntries(manifest.arrays.map((a) => [a.name, a]));

// [array, server, most rounds, requests at most] per read of the whole array.
const cases = [
  ["plain", ranged, 2],
  ["sharded", ranged, 3],
  ["sharded_nosums", ranged, 3],
  ["plain", plain, 2],
  ["sharded", plain, 3],
  ["sharded_nosums", plain, 3],
];

for (const [name, server, rounds] of cases) {
  const a = byName[name];
  const label = `${name} from a server ${server === ranged ? "with" : "without"} ranges`;

  test(`reads every level of ${label} as Python varnel does, in at most ${rounds} rounds`, async () => {
    const array = await openArray(server.url + a.path, { maxGap: 0 });
    const objects = new Set();
    for (const [r, file] of Object.entries(a.reduced)) {
      server.reset();
      const { data, shape, stats } = await array.read(Number(r));
      assert.deepEqual(shape, array.levelShape(Number(r)));
      assert.ok(bytesOf(data).equals(read(file)), `${label} reduce ${r}`);
      assert.ok(stats.rounds <= rounds, `${stats.rounds} rounds`);
      assert.equal(stats.requests, server.counts.requests);
      assert.equal(stats.bytes, server.counts.bytes);
      // Without ranges, each object comes once per read.
      if (server === plain) assert.equal(new Set(server.counts.paths).size, server.counts.paths.length);
      server.counts.paths.forEach((p) => objects.add(p));
    }
  });
}

test("a read at a coarser level fetches fewer bytes, and far fewer than the chunks hold", async () => {
  const a = byName.plain;
  const array = await openArray(ranged.url + a.path, { maxGap: 0 });
  const bytes = [];
  for (const r of Object.keys(a.reduced).map(Number)) {
    ranged.reset();
    await array.read(r);
    bytes.push(ranged.counts.bytes);
  }
  for (let r = 1; r < bytes.length; r++) assert.ok(bytes[r] < bytes[r - 1], `level ${r}: ${bytes}`);
  assert.ok(bytes.at(-1) * 4 < bytes[0], `${bytes}`);
});

test("reads a window of one plane: fewer requests than the whole level, same values", async () => {
  const a = byName.sharded;
  const array = await openArray(ranged.url + a.path, { maxGap: 0 });
  const r = 1;
  const whole = await array.read(r);
  ranged.reset();
  const sel = [1, [10, 70], [5, 90]];
  const { data, shape } = await array.read(r, sel);
  const small = ranged.counts.requests;
  assert.deepEqual(shape, [60, 85]);
  const st = cOrderStrides(whole.shape);
  for (let y = 0; y < 60; y++)
    for (let x = 0; x < 85; x++)
      assert.equal(data[y * 85 + x], whole.data[1 * st[0] + (y + 10) * st[1] + x + 5]);
  ranged.reset();
  await array.read(r);
  assert.ok(small < ranged.counts.requests);
});

// Damaged stores: [what, damage(dir, array), message].
const damages = [
  ["a chunk with a broken header", (d, a) => breakFirstChunk(d, a, (b) => { b[0] = 0x78; }), /chunk c\/0\/1\/1.*magic/],
  ["a chunk cut short", (d, a) => breakFirstChunk(d, a, (b) => b.subarray(0, b.length - 40)), /chunk c\/0\/1\/1/],
];

function breakFirstChunk(d, a, change) {
  const path = join(d, a.path, "c/0/1/1");
  const bytes = readFileSync(path);
  const out = change(bytes) ?? bytes;
  writeFileSync(path, out);
}

for (const [what, damage, message] of damages) {
  test(`names the chunk when it meets ${what}`, async () => {
    const copy = mkdtempSync(join(tmpdir(), "varnel-damaged-"));
    const a = byName.plain;
    cpSync(join(dir, a.path), join(copy, a.path), { recursive: true });
    damage(copy, a);
    const server = await serve(copy);
    try {
      const array = await openArray(server.url + a.path);
      await assert.rejects(array.read(0, [0]), message);
    } finally {
      await server.close();
    }
  });
}
