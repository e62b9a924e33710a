// The chunk fuzz corpus and its regressions through the WebAssembly decoder:
// every input decodes or is refused with an error; none stops the decoder.
// Input: a selector byte (bits 0-2 the dtype mod 6, bits 3-7 zero for a full
// decode or reduce + 1), then the chunk, decoded at the shape its header
// declares; outputs above 16 MiB are skipped, as the native fuzz target does.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readdirSync, readFileSync, existsSync } from "node:fs";
import { join } from "node:path";

import { container, load, setMaxBytes } from "../../web/varnel.js";
import { root } from "./helpers.mjs";

const DTYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32"];
const dirs = ["fuzz/corpus/chunk", "tests/data/fuzz-regressions/chunk"];

for (const d of dirs) {
  test(`replays ${d} without a trap`, async () => {
    const path = join(root, d);
    assert.ok(existsSync(path), path);
    const decoder = await load();
    setMaxBytes(16 << 20);
    const tally = { decoded: 0, refused: 0, skipped: 0 };
    try {
      for (const name of readdirSync(path)) {
        const input = new Uint8Array(readFileSync(join(path, name)));
        if (input.length < 1) continue;
        const chunk = input.subarray(1);
        let shape;
        try {
          shape = container.parseHead(chunk).shape;
        } catch {
          tally.skipped++;
          continue;
        }
        const dtype = DTYPES[(input[0] & 7) % 6], sel = input[0] >> 3;
        try {
          const out = sel === 0 ? decoder.decode(chunk, shape, dtype) : decoder.decodeReduced(chunk, shape, dtype, sel - 1);
          const planes = shape.slice(0, -2).reduce((a, b) => a * b, 1);
          const f = sel === 0 ? 1 : 2 ** (sel - 1);
          assert.equal(out.length, planes * Math.ceil(shape.at(-2) / f) * Math.ceil(shape.at(-1) / f), name);
          tally.decoded++;
        } catch (e) {
          assert.notEqual(e.kind, "trap", `${name}: ${e.message}`);
          if (/more than/.test(e.message)) tally.skipped++;
          else tally.refused++;
        }
      }
    } finally {
      setMaxBytes(512 * 1024 * 1024);
    }
    assert.ok(tally.decoded + tally.refused > 0, JSON.stringify(tally));
  });
}

test("decodes or refuses every fuzz input as the native decoder does", async () => {
  const { createHash } = await import("node:crypto");
  const { fixtures } = await import("./helpers.mjs");
  const { manifest } = fixtures();
  const decoder = await load();
  setMaxBytes(16 << 20);
  const tally = { decoded: 0, refused: 0 };
  try {
    for (const [file, { shape, ...want }] of Object.entries(manifest.fuzz)) {
      const input = new Uint8Array(readFileSync(join(root, file)));
      const chunk = input.subarray(1);
      const dtype = DTYPES[(input[0] & 7) % 6], sel = input[0] >> 3;
      let got;
      try {
        const out = sel === 0 ? decoder.decodeView(chunk, shape, dtype) : decoder.decodeReducedView(chunk, shape, dtype, sel - 1);
        got = { sha256: createHash("sha256").update(out).digest("hex") };
        tally.decoded++;
      } catch (e) {
        got = { error: e.message.replace(/^varnel\.htj2k: /, "") };
        tally.refused++;
      }
      assert.deepEqual(got, want, file);
    }
  } finally {
    setMaxBytes(512 * 1024 * 1024);
  }
  assert.ok(tally.decoded > 20 && tally.refused > 20, JSON.stringify(tally));
});
