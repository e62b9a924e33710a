"""Stores for the reduced-read tests and benchmarks, with every request counted
where it reaches the data.

- `CountingStore`: a zarr store wrapper (MemoryStore, LocalStore) that logs
  each ``get`` and holds it for a fixed latency, so that requests issued
  together overlap in time and sequential rounds show.
- `RangeServer`: a local HTTP server of a directory that serves byte ranges
  (``bytes=a-b``, ``bytes=a-``, ``bytes=-n``), or, with ``ranges=False``,
  ignores them and sends whole files (as ``python -m http.server`` does);
  a `fault` may answer any request its own way (an error status, a short
  or shifted body, no answer at all).
- `moto_server()`: moto's standalone S3-compatible server, run as a
  subprocess on a free port (as zarr-python's and s3fs's own tests do), and
  `S3Proxy`, a counting HTTP proxy in front of it that adds a fixed latency
  per request (the benchmarks' way of making a local server look remote).

`RequestLog.rounds()` counts sequential round trips: the times the reader
had nothing in flight and then asked again.
"""

from __future__ import annotations

import asyncio
import contextlib
import http.client
import os
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path


@dataclass
class Request:
    method: str
    key: str
    start: float
    end: float
    nbytes: int
    range: str | None


@dataclass
class RequestLog:
    """Requests as they reached the data; `latency` (seconds) is added to each
    request by the servers and the store wrapper, and may change between reads."""

    latency: float = 0.0
    requests: list[Request] = field(default_factory=list)
    lock: threading.Lock = field(default_factory=threading.Lock)

    def add(self, r: Request) -> None:
        with self.lock:
            self.requests.append(r)

    def clear(self) -> None:
        with self.lock:
            self.requests.clear()

    def gets(self) -> list[Request]:
        return [r for r in self.requests if r.method == "GET"]

    @property
    def count(self) -> int:
        return len(self.requests)

    @property
    def nbytes(self) -> int:
        return sum(r.nbytes for r in self.requests)

    def timeline(self) -> list[tuple[float, float, str, str | None]]:
        """(start, end, key, range) of every request, in ms from the first
        start: what a failed round count shows."""
        t0 = min((r.start for r in self.requests), default=0.0)
        return [(round(1e3 * (r.start - t0)), round(1e3 * (r.end - t0)), r.key, r.range)
                for r in sorted(self.requests, key=lambda r: r.start)]

    def distinct(self) -> tuple[int, int]:
        """Requests and bytes with each (method, key, range) once: a request
        the client's transport sent again (aiohttp does so when a connection
        drops under load) is the same request to the reader."""
        seen = {(r.method, r.key, r.range): r.nbytes for r in self.requests}
        return len(seen), sum(seen.values())

    def rounds(self) -> int:
        """The waves of requests: a request that starts when none is in
        flight begins a new one. (Requests a reader issues together can reach
        the server tens of ms apart on a loaded machine, a late one after an
        early one has ended; counting chains of requests would take such a
        straggler for a round of its own.)"""
        waves, busy_until = 0, float("-inf")
        for r in sorted(self.requests, key=lambda r: r.start):
            if r.start >= busy_until:
                waves += 1
            busy_until = max(busy_until, r.end)
        return waves


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- a zarr store wrapper ---------------------------------------------------------


def counting_store(inner, log: RequestLog):
    """`inner` with every get logged and delayed by ``log.latency`` seconds."""
    from zarr.abc.store import Store
    from zarr.storage import WrapperStore

    class CountingStore(WrapperStore):
        async def get(self, key, prototype, byte_range=None):
            t0 = time.monotonic()
            await asyncio.sleep(log.latency)
            buf = await self._store.get(key, prototype, byte_range)
            log.add(Request("GET", key, t0, time.monotonic(), 0 if buf is None else len(buf.to_bytes()),
                            None if byte_range is None else repr(byte_range)))
            return buf

        async def getsize(self, key):
            log.add(Request("SIZE", key, time.monotonic(), time.monotonic(), 0, None))
            return await self._store.getsize(key)

        if hasattr(Store, "get_ranges"):  # zarr >= 3.4: the coalescer over self.get
            get_ranges = Store.get_ranges

    return CountingStore(inner)


# --- HTTP ------------------------------------------------------------------------


@contextlib.contextmanager
def _serving(server: ThreadingHTTPServer):
    """Serves in a thread while the block runs; yields the server's URL."""
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


def _parse_range(header: str, size: int) -> tuple[int, int] | None:
    if not header or not header.startswith("bytes="):
        return None
    a, _, b = header[6:].partition("-")
    if a == "":
        n = int(b)
        return max(size - n, 0), size
    start = int(a)
    end = size if b == "" else min(int(b) + 1, size)
    return start, end


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 256  # many requests arrive at once (the default backlog is 5)


@contextlib.contextmanager
def RangeServer(root: Path, log: RequestLog, *, ranges: bool = True, fault=None):
    """Serves `root` on http://127.0.0.1:PORT/; yields the base URL.

    `fault(path, span, data)` (span: the (start, end) asked for, None for the
    whole file) may return ``(status, body)`` to send instead of the answer,
    or None to answer as usual; it runs in the server's thread and may block
    (a stalled server)."""

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"  # keep-alive: no connection and thread per request

        def log_message(self, *args):
            pass

        def _serve(self, body: bool):
            t0 = time.monotonic()
            if log.latency:
                time.sleep(log.latency)
            path = root / self.path.lstrip("/").split("?")[0]
            if not path.is_file():
                self.send_response(404)
                self.send_header("Content-Length", "0")
                self.end_headers()
                log.add(Request(self.command, self.path, t0, time.monotonic(), 0, None))
                return
            data = path.read_bytes()
            header = self.headers.get("Range")
            span = _parse_range(header, len(data)) if ranges else None
            if span is not None and span[0] >= len(data) and len(data):
                self.send_response(416)
                self.send_header("Content-Range", f"bytes */{len(data)}")
                self.send_header("Content-Length", "0")
                self.end_headers()
                log.add(Request(self.command, self.path, t0, time.monotonic(), 0, header))
                return
            faulty = None if fault is None else fault(self.path, span, data)
            if faulty is not None:
                status, part = faulty
                self.send_response(status)
                if status == 206:
                    self.send_header("Content-Range",
                                     f"bytes {span[0]}-{span[0] + len(part) - 1}/{len(data)}")
            elif span is not None:
                part = data[span[0]:span[1]]
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {span[0]}-{span[1] - 1}/{len(data)}")
            else:
                part = data
                self.send_response(200)
            self.send_header("Content-Length", str(len(part)))
            self.end_headers()
            if body:
                self.wfile.write(part)
            log.add(Request(self.command, self.path, t0, time.monotonic(), len(part) if body else 0,
                            header))

        def do_GET(self):
            self._serve(True)

        def do_HEAD(self):
            self._serve(False)

    with _serving(_Server(("127.0.0.1", free_port()), Handler)) as url:
        yield url


# --- S3 (moto) ------------------------------------------------------------------


@contextlib.contextmanager
def moto_server():
    """moto's standalone server on a free port; yields its endpoint URL."""
    port = free_port()
    env = dict(os.environ, AWS_ACCESS_KEY_ID="testing", AWS_SECRET_ACCESS_KEY="testing")
    proc = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
                conn.request("GET", "/")
                conn.getresponse().read()
                conn.close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("moto server did not start")
                time.sleep(0.1)
        yield f"http://127.0.0.1:{port}"
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@contextlib.contextmanager
def S3Proxy(upstream: str, log: RequestLog, *, cache: bool = False):
    """A counting HTTP proxy in front of `upstream` (host:port URL) that holds
    each request for ``log.latency`` seconds; yields its own URL.

    With `cache`, a GET of a byte range is answered from a copy of the whole
    object, fetched from `upstream` once: moto spends some ms of Python per
    request and serves them one at a time, where S3 serves them in parallel,
    so a read of many small ranges would time moto rather than the reader.
    """
    host, port = upstream.split("//", 1)[1].split(":")
    objects: dict[str, bytes] = {}
    lock = threading.Lock()

    def upstream_request(method, path, body, headers):
        conn = http.client.HTTPConnection(host, int(port), timeout=60)
        conn.request(method, path, body=body, headers=headers)
        resp = conn.getresponse()
        data = resp.read()
        conn.close()
        return resp.status, resp.getheaders(), data

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def _cached(self, headers):
            """(status, headers, body) of a range GET from the cache, or None."""
            rng = self.headers.get("Range")
            if not cache or self.command != "GET" or not rng or "?" in self.path:
                return None
            with lock:
                data = objects.get(self.path)
            if data is None:
                plain = {k: v for k, v in headers.items() if k.lower() != "range"}
                status, _, data = upstream_request("GET", self.path, None, plain)
                if status != 200:
                    return None
                with lock:
                    objects[self.path] = data
            span = _parse_range(rng, len(data))
            if span is None or (span[0] >= len(data) and len(data)):
                return None
            return 206, [("Content-Range", f"bytes {span[0]}-{span[1] - 1}/{len(data)}")], \
                data[span[0]:span[1]]

        def _forward(self):
            t0 = time.monotonic()
            if log.latency:
                time.sleep(log.latency)
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length else None
            headers = {k: v for k, v in self.headers.items() if k.lower() not in ("connection",)}
            got = self._cached(headers)
            status, out_headers, data = got if got is not None else upstream_request(
                self.command, self.path, body, headers)
            self.send_response(status)
            for k, v in out_headers:
                if k.lower() not in ("connection", "transfer-encoding", "content-length", "server", "date"):
                    self.send_header(k, v)
            size = dict((k.lower(), v) for k, v in out_headers).get("content-length", "0")
            self.send_header("Content-Length", size if self.command == "HEAD" else str(len(data)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(data)
            log.add(Request(self.command, self.path, t0, time.monotonic(),
                            len(data) if self.command != "HEAD" else 0, self.headers.get("Range")))

        do_GET = do_HEAD = do_PUT = do_POST = do_DELETE = _forward

    with _serving(_Server(("127.0.0.1", free_port()), Handler)) as url:
        yield url


def upload_dir(endpoint: str, bucket: str, root: Path, prefix: str) -> None:
    """Every file under `root` to s3://bucket/prefix/..., straight to `endpoint`."""
    import boto3

    s3 = boto3.client("s3", endpoint_url=endpoint, aws_access_key_id="testing",
                      aws_secret_access_key="testing", region_name="us-east-1")
    with contextlib.suppress(Exception):
        s3.create_bucket(Bucket=bucket)
    for path in root.rglob("*"):
        if path.is_file():
            s3.put_object(Bucket=bucket, Key=f"{prefix}/{path.relative_to(root).as_posix()}",
                          Body=path.read_bytes())


def s3fs_store(endpoint: str, url: str, pool: int = 64):
    """zarr's FsspecStore of s3fs over `endpoint`, read-only, with a pool of
    `pool` connections."""
    import s3fs
    from zarr.storage import FsspecStore

    fs = s3fs.S3FileSystem(key="testing", secret="testing", asynchronous=True,
                           client_kwargs={"endpoint_url": endpoint, "region_name": "us-east-1"},
                           # botocore's pool holds 10 connections by default: at most 10
                           # requests in flight, so a round of more would take several trips
                           config_kwargs={"max_pool_connections": pool},
                           skip_instance_cache=True, use_listings_cache=False)
    return FsspecStore(fs, path=url, read_only=True)


def obstore_store(endpoint: str, bucket: str, prefix: str):
    """zarr's ObjectStore of obstore's S3Store over `endpoint`, read-only."""
    from obstore.store import S3Store
    from zarr.storage import ObjectStore

    s3 = S3Store(bucket, prefix=prefix, endpoint=endpoint, access_key_id="testing",
                 secret_access_key="testing", region="us-east-1", virtual_hosted_style_request=False,
                 client_options={"allow_http": True})
    return ObjectStore(s3, read_only=True)


def obstore_http_store(url: str):
    """zarr's ObjectStore of obstore's HTTPStore, read-only."""
    from obstore.store import HTTPStore
    from zarr.storage import ObjectStore

    return ObjectStore(HTTPStore.from_url(url, client_options={"allow_http": True}), read_only=True)


def http_store(url: str):
    """zarr's FsspecStore of fsspec's HTTP file system, read-only."""
    import fsspec
    from zarr.storage import FsspecStore

    fs = fsspec.filesystem("http", asynchronous=True, skip_instance_cache=True)
    return FsspecStore(fs, path=url, read_only=True)
