// The WebAssembly decoder's side of bench/bench_wasm.py: loads web/varnel.js
// in Node, then answers lines on stdin
//   load NAME PATH SHAPE DTYPE    (SHAPE as 2048x2048)
//   time NAME REPS [REDUCE]       -> the milliseconds of REPS decodes, one line
//   viewtime NAME REPS [REDUCE]   the same with decodeView (no copy out)
//   peer PEER WASM                loads a peer decoder (bench/peers/*_wasm.sh) as PEER
//   peertime PEER NAME REPS [REDUCE]  the same for the peer, on the chunk's codestream
// so that the driver can alternate them with the native decode in one run.
// The peer's first decode of each case is checked against varnel's.
import { createInterface } from "node:readline";
import { readFileSync } from "node:fs";

import { container, load } from "../web/varnel.js";

const decoder = await load();
const cases = new Map();
const peers = new Map();
const lines = createInterface({ input: process.stdin });
for await (const line of lines) {
  const [cmd, name, ...rest] = line.trim().split(/\s+/);
  if (cmd === "load") {
    const [path, shape, dtype] = rest;
    cases.set(name, { bytes: new Uint8Array(readFileSync(path)), shape: shape.split("x").map(Number), dtype });
    console.log("ok");
  } else if (cmd === "peer") {
    const module = await WebAssembly.compile(readFileSync(rest[0]));
    const stub = () => 8;
    const wasi = new Proxy({}, { get: (_, k) => (k === "proc_exit" ? () => { throw new Error("exit"); } : stub) });
    const peer = new WebAssembly.Instance(module, { wasi_snapshot_preview1: wasi }).exports;
    peer.__wasm_call_ctors();
    peers.set(name, peer);
    console.log("ok");
  } else if (cmd === "peertime") {
    const peer = peers.get(name), c = cases.get(rest[0]);
    const reps = Number(rest[1]), reduce = Number(rest[2] ?? 0);
    const head = container.parseHead(c.bytes);
    const [e] = container.entries(c.bytes, head, 0);
    const stream = c.bytes.subarray(e.offset, e.offset + e.length);
    const input = peer.peer_alloc(stream.length), out = peer.peer_alloc(4 * c.shape[0] * c.shape[1]);
    new Uint8Array(peer.memory.buffer, input, stream.length).set(stream);
    const once = () => {
      const n = peer.peer_decode(input, stream.length, reduce, out); // may grow (detach) the memory
      return new Int32Array(peer.memory.buffer, out, n).slice();
    };
    const got = once();
    if (!c.checked?.[`${name} ${reduce}`]) {
      const want = reduce ? decoder.decodeReduced(c.bytes, c.shape, c.dtype, reduce) : decoder.decode(c.bytes, c.shape, c.dtype);
      if (got.length !== want.length || got.some((v, i) => v !== want[i])) throw new Error(`${name} decodes ${rest[0]} differently`);
      (c.checked ??= {})[`${name} ${reduce}`] = true;
    }
    const t0 = process.hrtime.bigint();
    for (let i = 0; i < reps; i++) once();
    console.log(Number(process.hrtime.bigint() - t0) / 1e6);
    peer.peer_free(input);
    peer.peer_free(out);
  } else if (cmd === "time" || cmd === "viewtime") {
    const c = cases.get(name);
    const reps = Number(rest[0]), reduce = rest[1] === undefined ? null : Number(rest[1]);
    const [full, reduced] = cmd === "time" ? ["decode", "decodeReduced"] : ["decodeView", "decodeReducedView"];
    const once = () => (reduce === null ? decoder[full](c.bytes, c.shape, c.dtype) : decoder[reduced](c.bytes, c.shape, c.dtype, reduce));
    once(); // warm: the first call grows the memory
    const t0 = process.hrtime.bigint();
    for (let i = 0; i < reps; i++) once();
    console.log(Number(process.hrtime.bigint() - t0) / 1e6);
  }
}
