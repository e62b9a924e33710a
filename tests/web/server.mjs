// A static file server for the web tests: real HTTP on a loopback port, with
// single byte ranges (bytes=a-b, bytes=a-, bytes=-n) or, with ranges: false,
// a server that ignores Range as `python -m http.server` does. It counts the
// requests and body bytes it sends.
import { createServer } from "node:http";
import { readFile } from "node:fs/promises";
import { join, normalize } from "node:path";

export async function serve(root, { ranges = true } = {}) {
  const counts = { requests: 0, bytes: 0, paths: [] };
  const server = createServer(async (req, res) => {
    counts.requests++;
    const path = normalize(decodeURIComponent(new URL(req.url, "http://x").pathname));
    counts.paths.push(path);
    let body;
    try {
      body = await readFile(join(root, path));
    } catch {
      res.writeHead(404).end();
      return;
    }
    const m = ranges && /^bytes=(\d*)-(\d*)$/.exec(req.headers.range ?? "");
    const send = (status, bytes, headers = {}) => {
      counts.bytes += bytes.length;
      res.writeHead(status, { "Content-Length": bytes.length, "Accept-Ranges": ranges ? "bytes" : "none", ...headers });
      res.end(bytes);
    };
    if (!m) return send(200, body);
    let start, end;
    if (m[1] === "") [start, end] = [Math.max(0, body.length - Number(m[2])), body.length - 1];
    else [start, end] = [Number(m[1]), m[2] === "" ? body.length - 1 : Math.min(Number(m[2]), body.length - 1)];
    if (start >= body.length || end < start) {
      res.writeHead(416, { "Content-Range": `bytes */${body.length}` }).end();
      return;
    }
    send(206, body.subarray(start, end + 1), { "Content-Range": `bytes ${start}-${end}/${body.length}` });
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const url = `http://127.0.0.1:${server.address().port}/`;
  return { url, counts, reset: () => Object.assign(counts, { requests: 0, bytes: 0, paths: [] }),
           close: () => new Promise((resolve) => server.close(resolve)) };
}
