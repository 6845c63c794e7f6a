"""The wait dialog's bar moves with the work, as a person watches it: it fills with the bytes
written while the package is prepared (the second archive coming from another disk), with the
files copied while it is installed and with the entries removed while it is uninstalled; it never
goes back, is full only once the dialog's work is done, and the line under it names the file at
hand.

The package's program is setup_fault.exe (setup.exe with the test build's change observer), told
to wait a little at every change to the disk, as a slow disk would, so that the work lasts long
enough to be watched; the program itself is the one that ships. With ZS_DOCS_SHOTS=1 the wait
dialog of the copy is written to docs/wait-dialog.png."""

import json
import os
import re
import shutil
import time

import winebed
from test_ui import DRIVER, END, SAMPLE, SETUP, TITLE, UI, WAIT, zspack
from xscreen import Background

ITEM = 1012  # the wait dialog's line under the bar (src/ui/resource.h)
PARTS = 120
FILES = [f"part{i:03}.dat" for i in range(PARTS)]
CORE = ["readme.txt", "signatures.dat", "setupc.xml", "zsample.dll", "zsamplefmt.dll"]
ENV = {"ZS_FAULT_DELAY_MS": "30", "ZS_WORKERS": "1"}
VESK = "C:\\Program Files\\Vesk\\"


def package(bed):
    manifest = json.loads((SAMPLE / "manifest.json").read_text())
    manifest["components"][1]["files"] += [{"name": n, "content": os.urandom(20000)} for n in FILES]
    built = zspack.build_package(manifest, bed.c / "pkg", base=SAMPLE,
                                 setup=DRIVER / "setup_fault.exe", main=UI / "main.dll",
                                 mainlang=UI / "en" / "mainlang.dll")
    assert built.code == 0, built.error
    return built.folder


def bar(bed):
    """(position, top, item) of the wait dialog, or None while it cannot be read."""
    read = bed.run(winebed.TOOLS / "zswin.exe", WAIT)
    controls = [line.split("\t") for line in read.stdout.splitlines()
                if line.startswith("control\t")]
    bars = [c[-1] for c in controls if c[1] == "msctls_progress32" and c[4] == "1"]
    items = [c[-1] for c in controls if c[2] == str(ITEM)]
    if read.code != 0 or not bars:
        return None
    position, top = (int(n) for n in bars[0].split("/"))
    return position, top, items[0] if items else ""


def watch(bed, screen, until, photograph=None):
    """Reads the wait dialog until the window titled until shows. photograph: the wait dialog's
    picture for docs/, taken once its bar stands between a tenth and a half."""
    samples = []
    deadline = time.time() + 240
    while time.time() < deadline:
        titles = screen.titles()
        if until in titles:
            return samples
        sample = bar(bed) if WAIT in titles else None
        if sample is None:
            time.sleep(0.2)
            continue
        samples.append(sample)
        if photograph and 100 < sample[0] < 500:
            screen.photograph(WAIT, "progress", docs=photograph)
            photograph = None
    raise TimeoutError(until)


def check_step(samples, named, start=0, parts=False):
    """The bar of one stretch from start: it counts, moves on, never back, is full only at its very
    end, and names the stretch's items; with parts, it stands where the part named stands among
    the parts (each as large as the next) within a tenth of the stretch."""
    assert len(samples) >= 3, samples
    positions = [p for p, _, _ in samples]
    assert positions == sorted(positions) and positions[0] >= start, samples
    assert all(top == 1000 for _, top, _ in samples), samples
    assert any(start < p < 1000 for p in positions), samples
    full = [i for i, p in enumerate(positions) if p == 1000]
    assert not full or {s[2] for s in samples[full[0]:]} == {samples[-1][2]}, samples
    items = [item for _, _, item in samples if item]
    assert items and all(named(item) for item in items), [i for i in items if not named(i)]
    if parts:
        at = [(p, int(m.group(1))) for p, _, item in samples
              if (m := re.search(r"part(\d{3})\.dat$", item))]
        assert len(at) >= 3, samples
        for p, n in at:
            assert abs(p - (start + (1000 - start) * n / PARTS)) <= (1000 - start) / 10, samples


def test_the_bar_fills_with_the_extraction_the_copy_and_the_removal(bed, screen):
    pkg = package(bed)
    # The mail shield's archive is on the next disk: the bar keeps it a share as large as the
    # core's archive (under the disk prompt, the core's done is half the bar), and fills the rest
    # with its own bytes once it is there.
    shutil.move(pkg / "Mail.rar", bed.root / "Mail.rar")
    run = Background(lambda: bed.run(pkg / "setup.exe", cwd=pkg, env=ENV).code)
    core = watch(bed, screen, TITLE)
    half = bar(bed)[0]
    # A sample taken before the first item is named shows the empty bar.
    assert half == 500 and all(p <= half and (i in CORE or (p, i) == (0, "")) for p, _, i in core), (
        half, core)
    shutil.move(bed.root / "Mail.rar", pkg / "Mail.rar")
    screen.keys(TITLE, "Return")
    check_step(watch(bed, screen, SETUP), lambda item: item in CORE + FILES + ["mail.txt"],
               start=half, parts=True)

    screen.keys(SETUP, "Return")
    installing = watch(bed, screen, END, photograph="wait-dialog.png")
    check_step(installing, lambda item: item.startswith(VESK), parts=True)
    screen.keys(END, "alt+r", "Return")
    assert run.result() == 3010

    uninstaller = bed.c / "Program Files" / "Vesk" / "Setup" / "setup.exe"
    run = Background(lambda: bed.run(uninstaller, "/UNINSTALL", env=ENV).code)
    screen.keys(TITLE, "y")
    check_step(watch(bed, screen, END), lambda item: item.upper().startswith(VESK.upper()))
    screen.keys(END, "alt+r", "Return")
    assert run.result() == 3010
