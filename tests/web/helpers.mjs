// Shared by the web tests: fixtures written by Python varnel (tests/web/fixtures.py)
// into a temporary directory, once per test process.
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

export const root = join(dirname(fileURLToPath(import.meta.url)), "..", "..");

let cached = null;

// VARNEL_WEB_FIXTURES names a directory written earlier; otherwise the
// interpreter in VARNEL_PYTHON (default python3), which must import varnel,
// zarr and numpy, writes them now.
export function fixtures() {
  if (cached) return cached;
  let dir = process.env.VARNEL_WEB_FIXTURES;
  if (!dir) {
    dir = mkdtempSync(join(tmpdir(), "varnel-web-"));
    execFileSync(process.env.VARNEL_PYTHON ?? "python3", [join(root, "tests/web/fixtures.py"), dir], { stdio: "inherit" });
  }
  cached = { dir, manifest: JSON.parse(readFileSync(join(dir, "manifest.json"))), read: (f) => readFileSync(join(dir, f)) };
  return cached;
}

export function bytesOf(typed) {
  return Buffer.from(typed.buffer, typed.byteOffset, typed.byteLength);
}
