"""Running setup.exe on packages made by the package builder: shared by the scenarios."""

import sys
from pathlib import Path

import winebed

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import zspack  # noqa: E402,F401

DOUBLES = winebed.BUILD_WIN / "tests" / "doubles"
SETUP = winebed.BUILD_WIN / "src" / "driver" / "setup.exe"
PRODUCT = r"HKLM\Software\Vesk\Zrv\CurrentVersion"


def crc16_xmodem(text: str) -> int:
    """The check value of a settings lock password, as the product stores it."""
    crc = 0
    for byte in text.encode("latin-1"):
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def temp_folder(bed) -> Path:
    return next(p for p in (bed.c / "users").glob("*/Temp"))


def lib(name):
    return {"name": name, "source": str(DOUBLES / "comp.dll")}


def component(name, display, build, libs, gui=(), settings=None):
    c = {"name": name, "display": display, "build": build, "exe": [lib(n) for n in libs],
         "gui": [lib(n) for n in gui], "files": [{"content": f"{name} payload", "name": f"{name}.txt"}]}
    if settings:
        c["settings"] = settings
    return c


class Run:
    """setup.exe of a package folder, with the component double's script and journal."""

    def __init__(self, bed, folder: Path):
        self.bed, self.folder = bed, folder
        self.zs = bed.c / "zs"
        self.zs.mkdir(exist_ok=True)
        self.env = {"ZS_COMP_SCRIPT": "C:\\zs\\comp_script.txt",
                    "ZS_COMP_JOURNAL": "C:\\zs\\comp_journal.txt",
                    "ZS_VIS_SCRIPT": "C:\\zs\\vis_script.txt",
                    "ZS_VIS_JOURNAL": "C:\\zs\\vis_journal.txt"}

    def __call__(self, *args, script="", vis="", cwd=None) -> int:
        for name in ("comp_journal.txt", "vis_journal.txt"):
            (self.zs / name).unlink(missing_ok=True)
        (self.folder / "zsetup.log").unlink(missing_ok=True)
        (self.zs / "comp_script.txt").write_text(script)
        (self.zs / "vis_script.txt").write_text(vis)
        return self.bed.run(self.folder / "setup.exe", *args, env=self.env, cwd=cwd).code

    def journal(self, which="comp"):
        path = self.zs / f"{which}_journal.txt"
        return path.read_text().splitlines() if path.exists() else []

    def log(self):
        # The log is written in the ANSI code page, windows-1252 in the test prefix.
        text = (self.folder / "zsetup.log").read_text(encoding="cp1252", errors="replace")
        return [line.split("] ", 1)[1] for line in text.splitlines() if "] " in line]


def build(bed, manifest, name="pkg", setup=SETUP, **kw) -> Path:
    result = zspack.build_package(manifest, bed.c / name, setup=setup, **kw)
    assert result.code == 0, result.error
    return result.folder


