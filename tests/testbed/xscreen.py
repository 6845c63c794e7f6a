"""A virtual screen for the dialogs: Xvfb on a free display, windows found by title with xdotool,
driven with the keyboard, photographed with ImageMagick's import, and read back control by control
with tools/zswin.exe.

Wine draws the title bars itself (X11 "Decorated"=N), because there is no window manager.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import winebed

CONVERT = "/usr/bin/convert"  # another convert may come first in PATH
DOCS = winebed.ROOT / "docs"


def _title_regex(title: str) -> str:
    special = set(".^$*+?()[]{}|\\")
    return "^" + "".join("\\" + c if c in special else c for c in title) + "$"


@dataclass
class Control:
    cls: str
    id: int
    enabled: bool
    visible: bool
    checked: int
    text: str
    style: int = 0  # the window style bits (WS_*, and the class's own: SS_NOPREFIX, ES_READONLY)


@dataclass
class Window:
    """What zswin read from a window: its controls and, for a list view, its columns and rows."""
    title: str
    controls: list = field(default_factory=list)
    columns: list = field(default_factory=list)
    rows: list = field(default_factory=list)
    selected: int = 0  # rows selected in the list view

    def control(self, ident: int) -> Control:
        return next(c for c in self.controls if c.id == ident)

    def texts(self) -> list:
        return [c.text for c in self.controls if c.visible and c.text]


class Background:
    """A call run on a thread (a program whose windows the test drives meanwhile)."""

    def __init__(self, fn):
        self._out = {}
        self._thread = threading.Thread(target=self._run, args=(fn,), daemon=True)
        self._thread.start()

    def _run(self, fn):
        try:
            self._out["value"] = fn()
        except BaseException as e:  # handed to the test by result()
            self._out["error"] = e

    def done(self) -> bool:
        return not self._thread.is_alive()

    def result(self, timeout: float = 180):
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise TimeoutError("the program did not end")
        if "error" in self._out:
            raise self._out["error"]
        return self._out["value"]


class XScreen:
    """One Xvfb display for one test."""

    WIDTH, HEIGHT = 1024, 768

    def __init__(self) -> None:
        self.dir = Path(tempfile.mkdtemp(prefix="zs-screen."))
        read, write = os.pipe()
        # -displayfd: the server takes the first free display number and reports it, so parallel
        # tests never race for one.
        self._proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", f"{self.WIDTH}x{self.HEIGHT}x24",
             "-nolisten", "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        with os.fdopen(read, "rb") as pipe:
            while not number.endswith(b"\n"):
                byte = pipe.read(1)
                if not byte:
                    raise RuntimeError("Xvfb did not start")
                number += byte
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.empty = self.shot("empty")
        self._bed = None

    def close(self) -> None:
        self._proc.terminate()
        try:
            self._proc.wait(10)
        except subprocess.TimeoutExpired:
            self._proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "XScreen":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def attach(self, bed) -> None:
        """Shows the bed's programs on this screen. Must come before the bed's first program."""
        self._bed = bed
        bed.env["DISPLAY"] = self.display
        bed.reg_add(r"HKCU\Software\Wine\X11 Driver", "Decorated", "N")

    # Windows -----------------------------------------------------------------------------------

    def _xdotool(self, *args) -> str:
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True,
                              text=True).stdout

    def find(self, title: str, timeout: float = 90) -> str:
        """The X window id of the window titled exactly title, waiting for it to appear."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            ids = self._xdotool("search", "--onlyvisible", "--name", _title_regex(title)).split()
            if ids:
                time.sleep(0.5)  # let it finish painting
                return ids[0]
            time.sleep(0.3)
        raise TimeoutError(f"no window titled {title!r}; shown: {self.titles()}")

    def gone(self, title: str, timeout: float = 60) -> None:
        deadline = time.time() + timeout
        while self._xdotool("search", "--onlyvisible", "--name", _title_regex(title)).split():
            if time.time() > deadline:
                raise TimeoutError(f"window {title!r} stays")
            time.sleep(0.3)

    def titles(self) -> list:
        ids = self._xdotool("search", "--onlyvisible", "--name", ".").split()
        return [self._xdotool("getwindowname", i).strip() for i in ids]

    def read(self, title: str, timeout: float = 90) -> Window:
        """The controls of the window titled exactly title, read inside the prefix (waiting for
        the window, which may be between two showings)."""
        deadline = time.time() + timeout
        while True:
            self.find(title, timeout)
            result = self._bed.run(winebed.TOOLS / "zswin.exe", title)
            if result.code == 0:
                break
            if time.time() > deadline:
                raise TimeoutError(f"zswin: {result.stderr}")
        window = Window(title)
        for line in result.stdout.splitlines():
            kind, *rest = line.rstrip("\r").split("\t")
            if kind == "control":
                cls, ident, enabled, visible, checked, style, text = (rest + [""])[:7]
                window.controls.append(Control(cls, int(ident), enabled == "1", visible == "1",
                                               int(checked), text, int(style, 16)))
            elif kind == "column":
                window.columns.append(rest[1])
            elif kind == "row":
                window.rows.append(tuple(rest[1:]))
            elif kind == "selected":
                window.selected = int(rest[0])
        return window

    # Keyboard ----------------------------------------------------------------------------------

    def keys(self, title: str, *keys: str) -> None:
        """Presses keys (xdotool names: Return, Escape, alt+b, ...) in the window titled title."""
        wid = self.find(title)
        self._xdotool("windowfocus", wid)
        time.sleep(0.2)
        self._xdotool("key", "--delay", "150", *keys)
        time.sleep(0.3)

    def type(self, title: str, text: str) -> None:
        wid = self.find(title)
        self._xdotool("windowfocus", wid)
        time.sleep(0.2)
        self._xdotool("type", "--delay", "60", text)
        time.sleep(0.3)

    # Pictures ----------------------------------------------------------------------------------

    def shot(self, name: str, window: str | None = None) -> Path:
        path = self.dir / f"{name}.png"
        subprocess.run(["import", "-window", window or "root", str(path)], env=self.env,
                       check=True, capture_output=True)
        return path

    def rgb(self, path: Path, x: int, y: int, w: int, h: int) -> bytes:
        return subprocess.run([CONVERT, str(path), "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                               "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout

    def geometry(self, wid: str) -> tuple:
        values = dict(line.split("=", 1) for line in
                      self._xdotool("getwindowgeometry", "--shell", wid).split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def photograph(self, title: str, name: str, docs: str | None = None) -> Path:
        """A screenshot with the window titled title, checked to show it: the window's area
        differs from the empty desktop, and its title bar holds drawn text. With ZS_DOCS_SHOTS=1
        the window alone is also kept as docs/<docs>."""
        wid = self.find(title)
        shot = self.shot(name)
        x, y, w, h = self.geometry(wid)
        x, y = max(x, 0), max(y, 0)
        w, h = min(w, self.WIDTH - x), min(h, self.HEIGHT - y)
        now, before = self.rgb(shot, x, y, w, h), self.rgb(self.empty, x, y, w, h)
        changed = sum(now[i:i + 3] != before[i:i + 3] for i in range(0, len(now), 3))
        assert changed > 0.5 * w * h, f"{title}: the window's area is blank"
        assert self._caption_text_columns(shot, x, y, w) >= 40, f"{title}: no title text drawn"
        if docs and os.environ.get("ZS_DOCS_SHOTS") == "1":
            DOCS.mkdir(exist_ok=True)
            subprocess.run(["import", "-window", wid, str(DOCS / docs)], env=self.env, check=True)
        return shot

    def _caption_text_columns(self, shot: Path, x: int, y: int, w: int) -> int:
        """Columns of the title bar (left of its close box) that carry text: pixels far from the
        bar's own colour, which is the commonest colour of the window's top rows."""
        rows = 30
        rgb = self.rgb(shot, x, y, w, rows)
        pixel = [[rgb[(r * w + c) * 3:(r * w + c) * 3 + 3] for c in range(w)] for r in range(rows)]
        counts = {}
        for row in pixel:
            for p in row[4:w - 30]:
                counts[p] = counts.get(p, 0) + 1
        bar = max(counts, key=counts.get)
        bar_rows = [row for row in pixel if sum(p == bar for p in row[4:w - 30]) > 0.5 * (w - 34)]

        def far(p):
            return sum(abs(a - b) for a, b in zip(p, bar)) > 150

        return sum(any(far(row[c]) for row in bar_rows) for c in range(4, w - 30))
