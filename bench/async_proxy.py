"""A counting S3 proxy for the benchmarks, in a process of its own.

`async_proxy(upstream)` runs an asyncio (aiohttp) server in a subprocess
that holds every request for a settable latency, answers byte-range GETs
from a copy of each object it fetched whole from `upstream` (moto) once, and
forwards everything else; `ProxyLog` reads and clears its request log and
sets its latency, with `remote_stores.RequestLog`'s interface. Neither the
proxy's Python nor the reader's then competes for one interpreter lock, and
moto, which spends milliseconds of Python on each request and answers them
one at a time, is out of the timings.
"""

from __future__ import annotations

import asyncio
import contextlib
import http.client
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
from remote_stores import Request, RequestLog, _parse_range, free_port  # noqa: E402


class ProxyLog:
    """`RequestLog`'s interface to the log of a proxy in another process."""

    def __init__(self, url: str):
        self.url = url
        self._latency = 0.0

    def _call(self, method: str, path: str) -> bytes:
        host, port = self.url.split("//", 1)[1].split(":")
        conn = http.client.HTTPConnection(host, int(port), timeout=60)
        conn.request(method, path)
        data = conn.getresponse().read()
        conn.close()
        return data

    @property
    def latency(self) -> float:
        return self._latency

    @latency.setter
    def latency(self, value: float) -> None:
        self._latency = value
        self._call("POST", f"/__proxy/latency?seconds={value}")

    def clear(self) -> None:
        self._call("POST", "/__proxy/clear")

    @property
    def requests(self) -> list[Request]:
        import json
        return [Request(*r) for r in json.loads(self._call("GET", "/__proxy/log"))]

    def __getattr__(self, name: str):
        """The rest of `RequestLog` (count, nbytes, rounds, ...), of the log as
        it stands."""
        return getattr(RequestLog(requests=self.requests), name)


@contextlib.contextmanager
def async_proxy(upstream: str):
    """`S3Proxy(upstream, cache=True)` as an asyncio (aiohttp) server in a
    process of its own, so that neither its Python nor the reader's compete
    for one interpreter lock: yields (url, ProxyLog)."""
    port = free_port()
    proc = subprocess.Popen([sys.executable, __file__, "proxy", upstream, str(port)])
    url = f"http://127.0.0.1:{port}"
    log = ProxyLog(url)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                log.clear()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("proxy did not start")
                time.sleep(0.1)
        yield url, log
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def _serve_proxy(upstream: str, port: int) -> None:
    import json

    from aiohttp import ClientSession, web

    state = {"latency": 0.0, "log": []}
    cache: dict[str, bytes] = {}
    hop = {"connection", "transfer-encoding", "content-length", "content-encoding", "server", "date",
           "keep-alive"}

    async def control(request):
        what = request.match_info["what"]
        if what == "latency":
            state["latency"] = float(request.query["seconds"])
        elif what == "clear":
            state["log"] = []
        elif what == "log":
            return web.Response(body=json.dumps(state["log"]).encode())
        return web.Response(body=b"ok")

    async def handle(request):
        t0 = time.monotonic()
        if state["latency"]:
            await asyncio.sleep(state["latency"])
        session = request.app["session"]
        path = request.path_qs
        rng = request.headers.get("Range")
        headers = {k: v for k, v in request.headers.items() if k.lower() not in hop | {"host"}}
        resp = None
        if request.method == "GET" and rng and "?" not in path:
            data = cache.get(path)
            if data is None:
                plain = {k: v for k, v in headers.items() if k.lower() != "range"}
                async with session.get(upstream + path, headers=plain) as up:
                    if up.status == 200:
                        data = cache[path] = await up.read()
            span = None if data is None else _parse_range(rng, len(data))
            if span is not None and not (span[0] >= len(data) and len(data)):
                resp = web.Response(status=206, body=data[span[0]:span[1]], headers={
                    "Content-Range": f"bytes {span[0]}-{span[1] - 1}/{len(data)}"})
        if resp is None:
            body = await request.read()
            async with session.request(request.method, upstream + path, headers=headers,
                                       data=body or None) as up:
                data = await up.read()
                keep = {k: v for k, v in up.headers.items() if k.lower() not in hop}
                if request.method == "HEAD":  # the object's size, without its body
                    keep["Content-Length"] = up.headers.get("Content-Length", "0")
                    resp = web.Response(status=up.status, headers=keep)
                else:
                    resp = web.Response(status=up.status, body=data, headers=keep)
        nbytes = 0 if request.method == "HEAD" else len(resp.body or b"")
        state["log"].append([request.method, request.path, t0, time.monotonic(), nbytes, rng])
        return resp

    async def start(app):
        app["session"] = ClientSession(auto_decompress=False)

    async def stop(app):
        await app["session"].close()

    app = web.Application(client_max_size=1 << 30)
    app.on_startup.append(start)
    app.on_cleanup.append(stop)
    app.router.add_route("*", "/__proxy/{what}", control)
    app.router.add_route("*", "/{tail:.*}", handle)
    web.run_app(app, host="127.0.0.1", port=port, print=None, access_log=None)


if __name__ == "__main__":
    if sys.argv[1:2] == ["proxy"]:
        _serve_proxy(sys.argv[2], int(sys.argv[3]))
