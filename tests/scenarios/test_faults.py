"""Every change the program makes to the machine, made to fail in turn and made the last one in
turn (the process ends there), in the four runs of the product's life: a fresh installation, an
upgrade, an /UPDATE engine run and the uninstallation. setup_fault.exe numbers the changes
(src/system/testtools/faulthook.cpp); a counting run gives their number first.

A failed run leaves the machine as it found it, or, when the failure was one the run may go past,
the complete product; a failed uninstallation is finished by a second one. After a crash the same
command run again gives the complete product (or removes it), whose uninstallation leaves nothing.

Each loop takes a fixed spread of the changes (see points); ZS_FAULT_POINTS=all takes every one
(the long run), a number that many spread evenly, "a-b" those from a to b."""

import os
import xml.etree.ElementTree as ET

import pytest

import winebed
from setup_runs import Run, build, lib

FAULT_EXE = winebed.BUILD_WIN / "src" / "driver" / "setup_fault.exe"
CRASHED = 0xDEAD
RECORD = "C:\\zs\\record.txt"
POINTS = os.environ.get("ZS_FAULT_POINTS", "")
KINDS = ("install", "upgrade", "update", "uninstall")


def manifest(version, engine_build=7):
    """Two components with folders, a new file and a shared one in the System folder, settings
    and an engine."""
    return {
        "title": "ZORVA Antivirus System", "language": "ENGLISH", "required_os": "NT",
        "settings": [{"id": "10", "data": {"Level": 60, "Server": "update.example.com"}}],
        "engines": [{"file": "scan.upd", "content": f"scan engine {engine_build}",
                     "filename": "scan.dat", "build": engine_build, "buildregname": "ScanBuild"}],
        "components": [
            {"name": "core", "display": "Core protection", "build": "10000002",
             "exe": [lib("core.dll")], "gui": [{"name": "core.dll"}],
             "folders": ["%INSTALLDIR%\\Data", "%INSTALLDIR%\\Data\\Sub", "%SYSTEMDIR%"],
             "settings": [{"id": "10", "data": {"Level": 40, "Deep": 1}}],
             "files": [
                 {"content": f"scanner {version}", "name": "scanner.exe"},
                 {"content": f"rules {version}", "name": "rules.dat",
                  "target": "%INSTALLDIR%\\Data\\Sub\\rules.dat"},
                 {"content": f"driver {version}", "name": "zsfault.sys",
                  "target": "%SYSTEMDIR%\\zsfault.sys"},
                 {"content": f"shared {version}", "name": "zsshared.dll",
                  "target": "%SYSTEMDIR%\\zsshared.dll"}]},
            {"name": "mail", "display": "Mail shield", "build": "10000002",
             "exe": [lib("mail.dll"), lib("mail2.dll")],
             "files": [{"content": f"mail {version}", "name": "mail.txt"}]},
        ],
    }


class Life:
    """One bed with the product's packages (setup_fault.exe as their setup.exe) and its runs."""

    def __init__(self, bed, what):
        self.bed, self.what = bed, what
        # Another program's library in the System folder, and another product of the maker.
        (bed.c / "windows" / "system32" / "zsshared.dll").write_text("shared 0")
        bed.reg_add(r"HKLM\Software\Vesk\Other", "Keep", "1")
        packages = {"install": manifest("1"), "upgrade": manifest("2"),
                    "update": manifest("1", engine_build=8)}
        self.packages = {kind: Run(bed, build(bed, m, kind, setup=FAULT_EXE))
                         for kind, m in packages.items()}
        (bed.c / "zs" / "zorva.xml").write_text(
            '<?xml version="1.0"?>\n<ZORVA><SETUPINFO><SETTINGS><PLUGIN ID="10"><DATA>'
            '<NODE NAME="Dept" TYPE="STRING" VALUE="East"/></DATA></PLUGIN></SETTINGS>'
            "</SETUPINFO></ZORVA>\n")
        self.clean = bed.snapshot()

    def run(self, what=None, **env):
        """One run of a kind (default the loop's), with the observer's variables: its exit code."""
        what = what or self.what
        (self.bed.c / "zs" / "record.txt").unlink(missing_ok=True)
        env = {f"ZS_FAULT_{k.upper()}": str(v) for k, v in env.items()}
        if what == "uninstall":
            program = self.bed.c / "Program Files" / "Vesk" / "Setup" / "setup.exe"
            return self.bed.run(program, "/UNINSTALL", "/SILENTMODE", env=env).code
        run = self.packages[what]
        args = {"install": ("/SILENTMODE", "/CFG=C:\\zs\\zorva.xml"), "upgrade": ("/SILENTMODE",),
                "update": ("/SILENTMODE", "/UPDATE")}[what]
        saved = dict(run.env)
        run.env.update(env)
        try:
            return run(*args)
        finally:
            run.env = saved

    def hit(self, n):
        """The record's line of the change the run was made to fail or end at."""
        path = self.bed.c / "zs" / "record.txt"
        lines = path.read_text().splitlines() if path.exists() else []
        marked = [line for line in lines if line.endswith((" FAIL", " CRASH"))]
        assert len(marked) == 1, f"{self.what}: change {n} was not reached"
        return marked[0]

    def settle(self):
        """The restart that puts the waiting files in place, when something waits for one."""
        if self.bed.reg_query(winebed.PENDING_KEY, "PendingFileRenameOperations"):
            self.bed.restart()

    def begin(self):
        """The machine before a run of the loop's kind (nothing, or the first build)."""
        if self.what != "install":
            assert self.run("install") == 3010
            self.settle()
        return self.machine()

    def machine(self):
        """The snapshot a failed run must leave as it was. An update keeps its extraction folders
        and global.xml in the temporary folder, also when it fails; the uninstallation takes them."""
        kept = ("/Temp/zrvtmp", "/Temp/global.xml")
        return {k: v for k, v in self.bed.snapshot().items()
                if self.what != "update" or not any(part in k for part in kept)}

    def left(self):
        """What differs from the machine before the product came, the shared library aside: an
        installation updates it for good."""
        return [line for line in winebed.WineBed.snapshot_diff(self.clean, self.bed.snapshot())
                if not line.endswith("zsshared.dll")]

    def uninstall_leaves_nothing(self, where):
        assert self.run("uninstall") in (0, 3010), where
        self.settle()
        assert self.left() == [], where

    def product(self):
        """The installed product, settled: its files (by content), registry and pending renames,
        with uninst.xml as its set of entries; the temporary folder aside."""
        self.settle()
        state = {}
        for key, value in self.bed.snapshot().items():
            path = key[len("file:"):]
            if "/Temp/" in key:
                continue
            if key.startswith("file:") and "/system32/" in key:
                # Taken by size and time there; the product's own by content.
                value = open(path, "rb").read() if os.path.basename(path).startswith("zs") else ""
            elif key.endswith("uninst.xml"):
                value = sorted((e.tag, e.get("NAME").lower())
                               for e in ET.parse(path).getroot().find("UNINSTALL/COMMON"))
            state[key] = value
        return state

    def reference(self):
        """Records the changes of a run of the loop's kind and takes the complete product it
        makes; the machine is back at the loop's start afterwards."""
        self.begin()
        code = self.run(record=RECORD)
        assert code in (0, 3010), f"{self.what}: the counting run ended with {code}"
        record = (self.bed.c / "zs" / "record.txt").read_text().splitlines()
        complete = self.product()
        if self.what == "uninstall":
            assert self.left() == []
        else:
            self.uninstall_leaves_nothing(f"{self.what}: counted run")
        return complete, record


def points(record, crashes=False):
    """The changes a loop takes: every one with ZS_FAULT_POINTS=all, those from a to b with "a-b";
    by default a fixed spread: for failures the middle change of each kind (a write, a copy, a
    key...) and the last one, for crashes four spread over the run."""
    total = len(record)
    if POINTS == "all":
        return list(range(1, total + 1))
    if "-" in POINTS:
        first, last = POINTS.split("-")
        return list(range(int(first), min(int(last or total), total) + 1))
    if POINTS or crashes:
        k = min(int(POINTS or 4), total)
        return sorted({1 + round(i * (total - 1) / max(k - 1, 1)) for i in range(k)})
    kinds = {}
    for n, line in enumerate(record, 1):
        kinds.setdefault(line.split()[1], []).append(n)
    return sorted({ns[len(ns) // 2] for ns in kinds.values()} | {total})


def without_list(product):
    return {k: (v if not k.endswith("uninst.xml") else "") for k, v in product.items()}


def diff(before, after):
    return winebed.WineBed.snapshot_diff(before, after)


@pytest.mark.parametrize("what", KINDS)
def test_a_failure_at_every_change_leaves_the_machine_as_it_was(bed, what):
    life = Life(bed, what)
    complete, record = life.reference()
    before = life.begin()
    for n in points(record):
        code = life.run(record=RECORD, fail_at=n)
        where = f"{what}: change {life.hit(n)} -> exit code {code}"
        if what == "uninstall":
            # A failed uninstallation is finished by a second one.
            if code not in (0, 3010):
                assert life.run() in (0, 3010), where
            life.settle()
            assert life.left() == [], where
            before = life.begin()
        elif code in (0, 3010):
            # Gone past: the product is complete.
            assert diff(complete, life.product()) == [], where
            life.uninstall_leaves_nothing(where)
            before = life.begin()
        else:
            assert diff(before, life.machine()) == [], where
    if what in ("upgrade", "update"):
        # The earlier build, there after each failed run as it was before, goes cleanly.
        life.uninstall_leaves_nothing(f"{what}: the earlier build after the failures")


@pytest.mark.parametrize("what", KINDS)
def test_a_crash_at_every_change_is_finished_by_the_same_command(bed, what):
    life = Life(bed, what)
    complete, record = life.reference()
    for n in points(record, crashes=True):
        life.begin()
        code = life.run(record=RECORD, crash_at=n)
        where = f"{what}: crash at change {life.hit(n)}"
        assert code == CRASHED, f"{where} -> exit code {code}"
        again = life.run()
        assert again in (0, 3010), f"{where}, run again -> exit code {again}"
        if what == "uninstall":
            life.settle()
            assert life.left() == [], where
            continue
        # Its uninst.xml may name more than the one of a run never cut short (an alternate the
        # first run left waiting, say): what it names is proven by the uninstallation.
        assert diff(without_list(complete), without_list(life.product())) == [], where
        life.uninstall_leaves_nothing(where)
