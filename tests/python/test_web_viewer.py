"""The browser viewer (web/viewer.html) in headless Chromium: the pixels it
draws at two levels are the levels' samples under its linear contrast, from
a server with byte ranges and from ``python -m http.server`` (which ignores
them); a damaged chunk shows an error naming it."""

from __future__ import annotations

import functools
import http.server
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
webdriver = pytest.importorskip("selenium.webdriver")
import varnel.zarr  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
WEB = ROOT / "web"
SITE_FILES = ["viewer.html", "viewer.js", "viewer-worker.js", "varnel.js", "varnel.wasm"]
LOW, HIGH = 1000, 50000  # the contrast the page is given


def gray(values: np.ndarray) -> np.ndarray:
    """The viewer's mapping of a sample to a gray (viewer.js, `gray`)."""
    scaled = (values.astype(np.float64) - LOW) * 255 / (HIGH - LOW)
    return np.clip(np.floor(scaled + 0.5), 0, 255).astype(np.uint8)


def wasm() -> Path:
    path = WEB / "varnel.wasm"
    if not path.exists():
        if shutil.which("clang++-19") is None:
            pytest.skip("web/varnel.wasm is not built and clang++-19 is missing (scripts/wasm.sh)")
        subprocess.run([ROOT / "scripts" / "wasm.sh"], check=True)
    return path


@pytest.fixture(scope="module")
def site(tmp_path_factory) -> Path:
    wasm()
    site = tmp_path_factory.mktemp("site")
    for name in SITE_FILES:
        shutil.copy(WEB / name, site / name)
    rng = np.random.default_rng(5)
    y, x = np.mgrid[0:96, 0:80]
    data = np.stack([(y * 400 + x * 150 + k * 9000 + rng.integers(0, 500, y.shape)) for k in range(3)])
    a = zarr.create_array(zarr.storage.LocalStore(site / "image.zarr"), shape=data.shape, chunks=(1, 32, 32),
                          shards=(1, 64, 64), dtype="uint16", serializer=varnel.zarr.Htj2k(xy_levels=3),
                          compressors=None)
    a[...] = data.astype(np.uint16)
    return site


class RangeHandler(http.server.SimpleHTTPRequestHandler):
    """Static files with single byte ranges; counts requests."""

    counts: dict

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.counts["requests"] += 1
        m = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
        path = Path(self.translate_path(self.path))
        if not m or not path.is_file():
            return super().do_GET()
        body = path.read_bytes()
        if m[1] == "":
            start, end = max(0, len(body) - int(m[2])), len(body) - 1
        else:
            start, end = int(m[1]), min(len(body) - 1, int(m[2]) if m[2] else len(body) - 1)
        part = body[start:end + 1]
        self.send_response(206)
        self.send_header("Content-Range", f"bytes {start}-{end}/{len(body)}")
        self.send_header("Content-Length", str(len(part)))
        self.end_headers()
        self.wfile.write(part)
        self.counts["bytes"] += len(part)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module", params=["ranges", "http.server"])
def server(request, site):
    if request.param == "ranges":
        counts = {"requests": 0, "bytes": 0}
        handler = type("Handler", (RangeHandler,), {"counts": counts})
        httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(handler, directory=str(site)))
        thread = threading.Thread(target=httpd.serve_forever, daemon=True)
        thread.start()
        yield f"http://127.0.0.1:{httpd.server_address[1]}/", counts
        httpd.shutdown()
        httpd.server_close()
        return
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
                             "--directory", str(site)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
                break
            except OSError:
                time.sleep(0.05)
        yield f"http://127.0.0.1:{port}/", None
    finally:
        proc.terminate()
        proc.wait()


@pytest.fixture(scope="module")
def browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        pytest.skip("chromium and chromium-driver are not installed")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    yield driver
    driver.quit()


def open_view(browser, url: str) -> str:
    browser.get(url)
    for _ in range(300):
        state = browser.execute_script("return document.body.dataset.state")
        if state in ("ready", "error"):
            return state
        time.sleep(0.05)
    return "timeout"


def canvas_gray(browser, width: int, height: int) -> np.ndarray:
    rgba = browser.execute_script(
        "const c = document.getElementById('view');"
        "return Array.from(c.getContext('2d').getImageData(0, 0, arguments[0], arguments[1]).data);",
        width, height)
    return np.array(rgba, dtype=np.uint8).reshape(height, width, 4)


@pytest.mark.parametrize("reduce", [0, 2])
def test_viewer_pixels_are_the_levels_samples(browser, site, server, reduce):
    base, counts = server
    if counts:
        counts.update(requests=0, bytes=0)
    array = zarr.open_array(zarr.storage.LocalStore(site / "image.zarr"), mode="r")
    expected = gray(varnel.zarr.read_reduced(array, reduce, (1,)))
    h, w = expected.shape
    state = open_view(browser, f"{base}viewer.html?url=image.zarr&reduce={reduce}&index=1"
                               f"&min={LOW}&max={HIGH}&width=128&height=128")
    assert state == "ready", browser.find_element("id", "error").text
    assert browser.execute_script("return document.body.dataset.level") == str(reduce)
    pixels = canvas_gray(browser, w, h)
    assert (pixels[..., 3] == 255).all()
    np.testing.assert_array_equal(pixels[..., 0], expected)
    np.testing.assert_array_equal(pixels[..., 1], expected)
    shown = int(browser.execute_script("return document.body.dataset.requests"))
    assert shown >= 1
    stats = browser.find_element("id", "stats").text
    assert f"{shown} requests" in stats
    if counts:  # the page's count of the view's requests is the server's (the page and module are cached or not counted)
        assert counts["requests"] >= shown


def test_viewer_names_a_damaged_chunk(browser, site, server):
    base, _ = server
    copy = site / "damaged.zarr"
    if not copy.exists():
        shutil.copytree(site / "image.zarr", copy)
        shard = copy / "c" / "2" / "1" / "0"
        damaged = bytearray(shard.read_bytes())
        damaged[:64] = bytes(64)  # the first inner chunk's header
        shard.write_bytes(bytes(damaged))
    state = open_view(browser, f"{base}viewer.html?url=damaged.zarr&reduce=0&index=2&min={LOW}&max={HIGH}"
                               f"&width=128&height=128")
    assert state == "error"
    text = browser.find_element("id", "error").text
    assert "c/2/1/0" in text and "inner chunk (2, 2, 0)" in text, text
