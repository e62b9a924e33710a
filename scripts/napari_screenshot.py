"""A screenshot of napari's window showing a varnel.htj2k array, opened
through the varnel plugin, under a virtual X display (Xvfb).

    python scripts/napari_screenshot.py STACK.zarr OUT.png

Needs Xvfb (Debian: xvfb, and for Qt's xcb platform libxcb-icccm4
libxcb-keysyms1 libxcb-xinerama0 libxcb-image0 libxcb-render-util0
libxkbcommon-x11-0 libxcb-cursor0 libgl1 libegl1) and napari with a Qt
binding (``pip install 'napari[pyqt5]'``). Prints where the screenshot is,
or "could not start a display" when Xvfb cannot run.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path


def start_xvfb() -> subprocess.Popen | None:
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        return None
    for display in range(91, 99):
        if Path(f"/tmp/.X11-unix/X{display}").exists():
            continue
        proc = subprocess.Popen([xvfb, f":{display}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if Path(f"/tmp/.X11-unix/X{display}").exists():
                os.environ["DISPLAY"] = f":{display}"
                return proc
            if proc.poll() is not None:
                break
            time.sleep(0.1)
        proc.kill()
        proc.wait()
    return None


def main(stack: str, out: str) -> int:
    server = start_xvfb() if not os.environ.get("DISPLAY") else None
    if server is None and not os.environ.get("DISPLAY"):
        print("could not start a display (Xvfb)")
        return 0
    try:
        os.environ.setdefault("QT_QPA_PLATFORM", "xcb")
        import napari
        import npe2
        from napari.plugins import _initialize_plugins

        import varnel

        _initialize_plugins()
        plugins = npe2.PluginManager.instance()
        if "varnel" not in plugins._manifests:  # a build tree: no distribution, no entry point
            plugins.register(npe2.PluginManifest.from_file(Path(varnel.__file__).with_name("napari.yaml")))
        viewer = napari.Viewer(show=True)
        viewer.window.resize(1000, 800)
        viewer.open(stack, plugin="varnel")
        for _ in range(20):  # let the canvas draw
            napari.qt.get_qapp().processEvents()
            time.sleep(0.05)
        viewer.screenshot(out, canvas_only=False)
        viewer.close()
        print(f"screenshot of napari showing {stack}: {out}")
        return 0
    finally:
        if server is not None:
            server.terminate()
            server.wait()


if __name__ == "__main__":
    code = main(*sys.argv[1:3])
    sys.stdout.flush()
    os._exit(code)  # Qt's clean-up at exit would talk to the display just stopped
