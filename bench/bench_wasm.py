"""The WebAssembly decoder (web/varnel.js in Node) against varnel's native
decode, single thread, on the same codestreams.

    python bench/bench_wasm.py [--rounds 7] [--reps 5]

Planes: 2048 x 2048 uint16 holding 12 bits and 2048 x 2048 uint8, each a
one-plane chunk (xy_levels 5, with the plane index), decoded whole and at
reduce 2. Each round times REPS decodes on one side, then on the other,
alternating which goes first; the medians of the rounds give the ratios
(wasm speed / native speed: 1.0 is parity). The wasm side runs twice:
`decode` (the samples copied once into a new typed array, as the native
call returns new bytes) and `decodeView` (the samples left in the decoder's
memory). With build/wasm-peers/openjph.wasm
(bench/peers/openjph_wasm.sh) and build/wasm-peers/openhtj2k.wasm
(bench/peers/openhtj2k_wasm.sh), OpenJPH's and OpenHTJ2K's WebAssembly
decoders run in the same rounds, on each chunk's codestream, and the table
adds varnel's speed (decode) over each. Needs web/varnel.wasm (scripts/wasm.sh), node and an importable varnel.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

import varnel

ROOT = Path(__file__).resolve().parents[1]


def plane(dtype: str, bits: int, seed: int) -> np.ndarray:
    """A microscopy-like plane: smooth structure plus shot-like noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:2048, 0:2048] / 2048
    top = (1 << bits) - 1
    base = 0.45 + 0.25 * np.sin(9 * x) * np.cos(7 * y) + 0.15 * np.sin(40 * (x + y) ** 2)
    values = base * top + rng.normal(0, top / 60, base.shape)
    return np.clip(values, 0, top).astype(dtype)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    cases = [("u16_12bit", "uint16", 12), ("u8", "uint8", 8)]
    wasm = ROOT / "web" / "varnel.wasm"
    print(f"web/varnel.wasm: {wasm.stat().st_size} bytes")
    with tempfile.TemporaryDirectory() as tmp:
        node = subprocess.Popen(["node", str(ROOT / "bench" / "bench_wasm.mjs")], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, bufsize=1)

        def ask(line: str) -> str:
            node.stdin.write(line + "\n")
            node.stdin.flush()
            return node.stdout.readline().strip()

        peers = [name for name, file in (("OpenJPH", "openjph.wasm"), ("OpenHTJ2K", "openhtj2k.wasm"))
                 if (ROOT / "build" / "wasm-peers" / file).exists()
                 and ask(f"peer {name} {ROOT / 'build' / 'wasm-peers' / file}") == "ok"]
        blobs = {}
        for seed, (name, dtype, bits) in enumerate(cases):
            data = plane(dtype, bits, seed)
            blob = varnel.htj2k_encode(data.tobytes(), data.shape, dtype, xy_levels=5)
            (Path(tmp) / name).write_bytes(blob)
            blobs[name] = (blob, data.shape, dtype)
            assert ask(f"load {name} {Path(tmp) / name} 2048x2048 {dtype}") == "ok"
            print(f"{name}: {len(blob)} bytes coded ({len(blob) * 8 / data.size:.2f} bits/sample)")

        def native(name: str, reduce: int | None) -> float:
            blob, shape, dtype = blobs[name]
            call = (lambda: varnel.htj2k_decode(blob, shape, dtype)) if reduce is None else (
                lambda: varnel.htj2k_decode_reduced(blob, shape, dtype, reduce))
            call()
            t0 = time.perf_counter()
            for _ in range(args.reps):
                call()
            return (time.perf_counter() - t0) * 1000

        def in_wasm(name: str, reduce: int | None, cmd: str = "time") -> float:
            return float(ask(f"{cmd} {name} {args.reps}" + ("" if reduce is None else f" {reduce}")))

        def in_wasm_view(name: str, reduce: int | None) -> float:
            return in_wasm(name, reduce, "viewtime")

        def in_peer(peer: str):
            return lambda name, reduce: float(ask(f"peertime {peer} {name} {args.reps} {reduce or 0}"))

        print(f"{'case':<22}{'native ms':>11}{'wasm ms':>11}{'Msamples/s wasm':>17}{'wasm/native speed':>19}"
              f"{'view ms':>9}{'view/native':>13}"
              + "".join(f"{p + ' ms':>14}{'vs ' + p:>14}" for p in peers))
        for name, _, _ in cases:
            for reduce in (None, 2):
                times = {"native": [], "wasm": [], "view": [], **{p: [] for p in peers}}
                for r in range(args.rounds):
                    order = [("native", native), ("wasm", in_wasm), ("view", in_wasm_view)] + [
                        (p, in_peer(p)) for p in peers]
                    for side, fn in (order if r % 2 == 0 else order[::-1]):
                        times[side].append(fn(name, reduce) / args.reps)
                    nat, was = statistics.median(times["native"]), statistics.median(times["wasm"])
                label = f"{name} {'full' if reduce is None else f'reduce {reduce}'}"
                samples = 2048 * 2048 / (1 if reduce is None else 16)
                view = statistics.median(times["view"])
                line = (f"{label:<22}{nat:>11.2f}{was:>11.2f}{samples / was / 1000:>17.0f}{nat / was:>19.2f}"
                        f"{view:>9.2f}{nat / view:>13.2f}")
                for p in peers:
                    pe = statistics.median(times[p])
                    line += f"{pe:>14.2f}{pe / was:>14.2f}"
                print(line)
        node.stdin.close()
        node.wait()


if __name__ == "__main__":
    main()
