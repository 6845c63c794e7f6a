#!/usr/bin/env python3
"""Install benchmark under Wine: our silent install against its two floors.

    python3 bench/run.py [--sizes 2000,20000] [--runs 3] [--mib 100] [--settle 45] ...

For every size it generates a payload (deterministic from --seed: log-normal file sizes, a few
components, about 40 nested folders), builds its package with tools/zspack.py once (cached in
build/bench/), and then measures, in rounds, each subject as a whole process from its creation
to its end (bench/zsbtime.cpp times it inside the prefix):

    ours     setup.exe /SILENTMODE into a fresh prefix
    floor A  libunrar extracting the same archives into a new folder, the decoded files written
             by two threads (bench/zsbunrar.cpp)
    floor B  CopyFileA (fail-if-exists) of that extracted tree into the install's folders by two
             threads (bench/zsbcopy.cpp)
    NSIS     a single-pass installer of the same files built with makensis, run with /S
    MSI      a Windows Installer package of the same files built with wixl, msiexec /i /qn

Our setup program creates its files on two worker threads, so it is held against floors that do
the same; --extra adds both floors on one thread, as they were measured before, and other
explanatory rows.

The peers (NSIS, MSI) are built once per payload too, from the payload's files made again from the
seed; bench/bootstrap.sh installs makensis and wixl when they are missing (--no-peers skips them).

Each round gives every size a fresh copy of the template prefix, measured after a settle wait:
freshly deleted files make file creation on this machine's file system several times slower for
a while, and every round starts by deleting the previous round's prefix. The table shows medians
and the ratios against the goals. Other subjects (peers such as other installers) are one more
Subject in SUBJECTS (own_prefix=True for an installer: it gets a fresh prefix of its own) and, when
they have goals, one more Ratio in RATIOS.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable
from xml.sax.saxutils import quoteattr

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "testbed"))
sys.path.insert(0, str(ROOT / "tools"))

import winebed  # noqa: E402
import zspack  # noqa: E402

BENCH_TOOLS = winebed.BUILD_WIN / "bench"
CACHE = ROOT / "build" / "bench"
SETUP = winebed.BUILD_WIN / "src" / "driver" / "setup.exe"
SETUP_COPY = CACHE / "setup.exe"
GENERATOR = 1  # bump when the payload generator changes, so cached packages are rebuilt
PEER_BUILDER = 1  # bump when the peers' scripts change, so cached peer installers are rebuilt
TARGETS = ["setup", "zsbtime", "zsbcopy", "zsbunrar", "zslaunch", "zsexit"]

COMPONENT_NAMES = ["Core", "Mail", "Web", "Tools", "Update", "Rescue", "Lang", "Extra"]
FOLDER_WORDS = ["Data", "Lang", "Help", "Modules", "Drivers", "Skins", "Plugins", "Res", "Cache",
                "Bases", "Logs", "Tpl"]
FILE_WORDS = ["scan", "sig", "lang", "help", "mod", "drv", "upd", "gui", "res", "core"]
EXTENSIONS = ["dll", "dat", "txt", "exe", "xml", "bin", "sys", "ini"]


def say(text: str) -> None:
    print(text, flush=True)


# ---- Payload and package ------------------------------------------------------------------------


@dataclass
class Payload:
    files: int
    mib: int
    seed: int
    components: int
    folders: int
    sigma: float
    # Filled in by prepare(): the package folder and, per file, (component archive stem, entry
    # name, target below the install folder with backslashes, size).
    package: Path | None = None
    entries: list = field(default_factory=list)
    peers: dict = field(default_factory=dict)  # peer key -> its built installer (prepare_peers)

    @property
    def key(self) -> str:
        return (f"g{GENERATOR}-n{self.files}-m{self.mib}-s{self.seed}-c{self.components}"
                f"-d{self.folders}-l{self.sigma:g}")

    @property
    def total(self) -> int:
        return sum(e[3] for e in self.entries)


def file_sizes(rng: random.Random, count: int, total: int, sigma: float) -> list:
    """Log-normal sizes scaled to add up to total bytes (each at least one byte)."""
    raw = [rng.lognormvariate(0.0, sigma) for _ in range(count)]
    scale = total / sum(raw)
    sizes = [max(1, int(r * scale)) for r in raw]
    biggest = max(range(count), key=lambda i: sizes[i])
    sizes[biggest] = max(1, sizes[biggest] + total - sum(sizes))
    return sizes


def generate(p: Payload, source: Path) -> dict:
    """Writes the payload's files below source and returns the package manifest."""
    rng = random.Random(f"zorva-bench-{p.seed}-{p.files}")
    names = (COMPONENT_NAMES + [f"Comp{i}" for i in range(len(COMPONENT_NAMES), 26)])
    per_component = max(1, p.folders // p.components)
    components = []
    for c in range(p.components):
        name = names[c]
        # Folders nest: each one below a random earlier folder of the component (parents first,
        # as the setup program creates them in document order).
        folders = [name]
        for j in range(1, per_component):
            parent = folders[rng.randrange(len(folders))]
            folders.append(f"{parent}\\{rng.choice(FOLDER_WORDS)}{j}")
        components.append({"name": name, "display": f"{name} module", "build": "10000100",
                           "folders": ["%INSTALLDIR%\\" + f for f in folders], "files": [],
                           "_folders": folders})
    sizes = file_sizes(rng, p.files, p.mib << 20, p.sigma)
    for i, size in enumerate(sizes):
        comp = components[i % p.components]
        entry = f"{rng.choice(FILE_WORDS)}{i:05d}.{rng.choice(EXTENSIONS)}"
        target = f"{rng.choice(comp['_folders'])}\\{entry}"
        # Half of every file is random, the other half repeats it: about 2:1 for the archiver,
        # so the library really decodes.
        half = rng.randbytes(size // 2)
        data = half + half[:size - len(half)]
        if len(data) < size:
            data += rng.randbytes(size - len(data))
        rel = Path(comp["name"]) / entry
        (source / rel).parent.mkdir(parents=True, exist_ok=True)
        (source / rel).write_bytes(data)
        comp["files"].append({"source": str(rel), "target": "%INSTALLDIR%\\" + target})
        p.entries.append((comp["name"], entry, target, size))
    for comp in components:
        del comp["_folders"]
    return {"title": "ZORVA Benchmark", "required_os": "NT", "install_path": "%PROGRAMFILES%\\Vesk",
            "language": "ENGLISH", "line": 1, "components": components}


def prepare(p: Payload) -> None:
    """Builds the payload's package once; later runs reuse it from build/bench/<key>/."""
    home = CACHE / p.key
    package = home / "package"
    index = home / "entries.json"
    if (home / "complete").exists():
        p.package = package
        p.entries = [tuple(e) for e in json.loads(index.read_text())]
        return
    say(f"payload {p.files} files: generating and packing into {home} (once)")
    shutil.rmtree(home, ignore_errors=True)
    source = home / "source"
    source.mkdir(parents=True)
    start = time.monotonic()
    manifest = generate(p, source)
    (home / "manifest.json").write_text(json.dumps(manifest, indent=1))
    built = zspack.build_package(manifest, package, base=source, setup=SETUP)
    if built.code != 0:
        raise SystemExit(f"package builder: {built.error}")
    shutil.rmtree(source)  # the package holds everything; the sources can be made again
    index.write_text(json.dumps(p.entries))
    (home / "complete").write_text("")
    p.package = package
    say(f"  built in {time.monotonic() - start:.0f} s")


# ---- Peers: other installers of the same payload ------------------------------------------------

# zlib: NSIS's default, and the quickest of its compressors to decode, so the peer installs as
# fast as NSIS can (the strict comparison); it also builds in seconds where lzma takes minutes on
# this shared machine. Its 32 KiB window finds less of the payload's repetition than rar does, so
# its installer is larger than our package: more to read, less to decode.
NSIS_COMPRESSOR = "zlib"
PRODUCT = "ZORVA Benchmark"
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\ZorvaBenchmark"
GUIDS = uuid.UUID("5a0c4d1e-2b7f-4c36-9e0a-7d1b3f2c8e41")  # namespace of the MSI's GUIDs


def bootstrap_peers() -> None:
    if shutil.which("makensis") and shutil.which("wixl"):
        return
    done = subprocess.run(["sh", str(ROOT / "bench" / "bootstrap.sh")])
    if done.returncode != 0 or not (shutil.which("makensis") and shutil.which("wixl")):
        raise SystemExit("makensis and wixl are needed for the peers (bench/bootstrap.sh as root, "
                         "or --no-peers)")


def by_folder(p: Payload) -> dict:
    """Target folder below the install folder -> [(component, entry)], in payload order."""
    folders: dict = {}
    for comp, entry, target, _ in p.entries:
        folders.setdefault(target.rpartition("\\")[0], []).append((comp, entry))
    return folders


def nsis_script(p: Payload, source: Path, out: Path) -> str:
    """An ordinary single-pass installer: every file below its folder with SetOutPath/File, an
    uninstaller that deletes exactly those files and folders, and its Add/Remove entry."""
    folders = by_folder(p)
    lines = [f"; Generated by bench/run.py for payload {p.key}", "Unicode true",
             f"SetCompressor {NSIS_COMPRESSOR}", f'Name "{PRODUCT}"', f'OutFile "{out}"',
             r'InstallDir "$PROGRAMFILES\Vesk"', "RequestExecutionLevel admin",
             "Page directory", "Page instfiles", "UninstPage instfiles", "", 'Section "Install"']
    for folder, files in folders.items():
        lines.append(f'  SetOutPath "$INSTDIR\\{folder}"')
        lines.extend(f'  File "{source / comp / entry}"' for comp, entry in files)
    lines += [r'  WriteUninstaller "$INSTDIR\uninstall.exe"',
              f'  WriteRegStr HKLM "{UNINSTALL_KEY}" "DisplayName" "{PRODUCT}"',
              f'  WriteRegStr HKLM "{UNINSTALL_KEY}" "UninstallString" '
              r"'" + r'"$INSTDIR\uninstall.exe"' + "'",
              "SectionEnd", "", 'Section "Uninstall"']
    for folder, files in folders.items():
        lines.extend(f'  Delete "$INSTDIR\\{folder}\\{entry}"' for _, entry in files)
    lines.append(r'  Delete "$INSTDIR\uninstall.exe"')
    # Every folder on the way, deepest first; RMDir keeps one that still holds something.
    every = {"\\".join(f.split("\\")[:i]) for f in folders for i in range(1, f.count("\\") + 2)}
    for folder in sorted(every, key=lambda f: (-f.count("\\"), f)):
        lines.append(f'  RMDir "$INSTDIR\\{folder}"')
    lines += ['  RMDir "$INSTDIR"', f'  DeleteRegKey HKLM "{UNINSTALL_KEY}"', "SectionEnd", ""]
    return "\n".join(lines)


def wxs_document(p: Payload, source: str) -> str:
    """A per-machine MSI as WiX authors it: one component per file (the file its key path), the
    folders as Directory rows below ProgramFilesFolder\\Vesk, one feature, the cabinet embedded.
    source: the payload's folder relative to the document (wixl takes no absolute paths)."""
    def guid(name: str) -> str:
        return str(uuid.uuid5(GUIDS, f"{p.key}/{name}")).upper()

    tree: dict = {}  # folder name -> (subtree, [(component, entry)])
    for folder, files in by_folder(p).items():
        node = tree
        parts = folder.split("\\")
        for i, part in enumerate(parts):
            sub = node.setdefault(part, ({}, []))
            if i == len(parts) - 1:
                sub[1].extend(files)
            node = sub[0]
    lines = ['<?xml version="1.0" encoding="utf-8"?>',
             '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
             f'<Product Id="{guid("product")}" UpgradeCode="{guid("upgrade")}" '
             f'Name="{PRODUCT}" Language="1033" Codepage="1252" Version="1.0.0" '
             'Manufacturer="ZORVA">',
             '<Package Id="*" InstallerVersion="200" Compressed="yes" InstallScope="perMachine" '
             'Languages="1033" SummaryCodepage="1252" Manufacturer="ZORVA" />',
             '<Media Id="1" Cabinet="payload.cab" EmbedCab="yes" />',
             '<Directory Id="TARGETDIR" Name="SourceDir">',
             '<Directory Id="ProgramFilesFolder">', '<Directory Id="INSTALLDIR" Name="Vesk">']
    components = []

    def emit(node: dict, path: str) -> None:
        for name, (sub, files) in node.items():
            here = f"{path}\\{name}" if path else name
            lines.append(f'<Directory Id="d{len(lines)}" Name={quoteattr(name)}>')
            for comp, entry in files:
                n = len(components)
                components.append(f'<ComponentRef Id="c{n}" />')
                lines.append(f'<Component Id="c{n}" Guid="{guid(here + chr(92) + entry)}">'
                             f'<File Id="f{n}" Name={quoteattr(entry)} KeyPath="yes" '
                             f'Source={quoteattr(f"{source}/{comp}/{entry}")} /></Component>')
            emit(sub, here)
            lines.append("</Directory>")

    emit(tree, "")
    lines += ["</Directory>", "</Directory>", "</Directory>",
              '<Feature Id="Complete" Level="1">', *components, "</Feature>",
              "</Product>", "</Wix>", ""]
    return "\n".join(lines)


def build_nsis(p: Payload, source: Path, out: Path) -> None:
    script = out.with_suffix(".nsi")
    script.write_text(nsis_script(p, source, out), encoding="utf-8")
    done = subprocess.run(["makensis", "-V2", "-INPUTCHARSET", "UTF8", str(script)],
                          capture_output=True, text=True)
    if done.returncode != 0 or not out.exists():
        raise SystemExit(f"makensis {script}: {(done.stdout + done.stderr)[-2000:]}")


def build_msi(p: Payload, source: Path, out: Path) -> None:
    document = out.with_suffix(".wxs")
    document.write_text(wxs_document(p, os.path.relpath(source, out.parent)), encoding="utf-8")
    done = subprocess.run(["wixl", "-a", "x86", "-o", out.name, document.name], cwd=out.parent,
                          capture_output=True, text=True)
    if done.returncode != 0 or not out.exists():
        raise SystemExit(f"wixl {document}: {(done.stdout + done.stderr)[-2000:]}")


PEER_BUILDS = {"nsis": ("nsis-setup.exe", build_nsis), "msi": ("bench.msi", build_msi)}


def prepare_peers(p: Payload, keys: list) -> None:
    """Builds the peers' installers once per payload (build/bench/<key>/peers<N>/). The package
    build deleted the payload's files: they are made again from the seed and checked against the
    package's entries, so the peers install exactly what ours does. They are made in memory where
    the machine has /dev/shm, so that deleting them frees no inodes on the measured file system."""
    home = CACHE / p.key / f"peers{PEER_BUILDER}"
    scratch = None
    try:
        for key in keys:
            name, builder = PEER_BUILDS[key]
            out = home / key / name
            if not (home / key / "complete").exists():
                if scratch is None:
                    say(f"payload {p.files} files: making the files again for the peers")
                    shm = Path("/dev/shm")
                    scratch = Path(tempfile.mkdtemp(prefix="zs-peers.", dir=shm if
                                                    os.access(shm, os.W_OK) else CACHE))
                    again = Payload(p.files, p.mib, p.seed, p.components, p.folders, p.sigma)
                    generate(again, scratch)
                    if again.entries != p.entries:
                        raise SystemExit(f"payload {p.key}: made again, it differs from the "
                                         f"package's (delete {CACHE / p.key} to rebuild both)")
                say(f"payload {p.files} files: building the {key} peer into {out.parent} (once)")
                shutil.rmtree(out.parent, ignore_errors=True)
                out.parent.mkdir(parents=True)
                start = time.monotonic()
                builder(p, scratch, out)
                (home / key / "complete").write_text("")
                say(f"  built in {time.monotonic() - start:.0f} s "
                    f"({out.stat().st_size / 1048576:.1f} MiB)")
            p.peers[key] = out
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


# ---- The machine --------------------------------------------------------------------------------


def settle(path: Path, minimum: float, maximum: float) -> float:
    """Waits after bulk deletes: at least `minimum` seconds, then until the free inode count has
    not moved for 10 s (other users' activity can keep it moving: `maximum` caps the wait)."""
    os.sync()
    start = time.monotonic()
    last = os.statvfs(path).f_ffree
    stable_since = start
    while True:
        now = time.monotonic()
        if now - start >= maximum or (now - start >= minimum and now - stable_since >= 10):
            break
        time.sleep(2)
        free = os.statvfs(path).f_ffree
        if abs(free - last) > 64:
            stable_since = time.monotonic()
        last = free
    os.sync()
    return time.monotonic() - start


def machine() -> dict:
    def first_line(cmd):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True).stdout
            return next((l.strip() for l in out.splitlines() if l.strip()), "?")
        except OSError:
            return "?"

    mem = next((l.split()[1] for l in Path("/proc/meminfo").read_text().splitlines()
                if l.startswith("MemTotal")), "0")
    unrar = sorted((ROOT / "build" / "unrar" / "fetch").glob("unrar-nonfree*"))
    fs = first_line(["findmnt", "-no", "FSTYPE,OPTIONS", "-T", str(ROOT)])
    return {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
            "cpus": os.cpu_count(), "memory_gib": round(int(mem) / 1048576, 1),
            "kernel": platform.release(), "file_system": fs,
            "wine": first_line(["wine", "--version"]),
            "rar": first_line(["sh", "-c", "rar | grep -m1 RAR"]),
            "unrar": unrar[-1].name if unrar else "?",
            "makensis": first_line(["makensis", "-VERSION"]),
            "wixl": first_line(["wixl", "--version"]),
            "load_at_start": Path("/proc/loadavg").read_text().split()[:3],
            "commit": first_line(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"]),
            "src_changes": first_line(["sh", "-c", f"cd '{ROOT}' && git status --porcelain src "
                                       "| wc -l"])}


def load_average() -> float:
    return float(Path("/proc/loadavg").read_text().split()[0])


# ---- Subjects -----------------------------------------------------------------------------------


@dataclass
class Cell:
    """One size in one round: a fresh prefix with the package and the tools in C:\\bench."""
    bed: winebed.WineBed
    payload: Payload

    @property
    def bench(self) -> Path:
        return self.bed.c / "bench"

    def win(self, *parts) -> str:
        return self.bed.winpath(self.bench.joinpath(*parts))

    def archives(self) -> list:
        return sorted({e[0] for e in self.payload.entries})


@dataclass
class Subject:
    key: str
    label: str
    command: Callable[[Cell], tuple]  # -> (Windows command line, Unix cwd or None)
    check: Callable[[Cell], str]  # -> "" when the subject's output is complete, else what is not
    ok_codes: tuple = (0,)
    env: dict = field(default_factory=dict)  # for the measured process
    own_prefix: bool = False  # an installer: a fresh prefix of its own, after a settle wait
    peer: str = ""  # a peer installer: staged into C:\bench\peer instead of our package


def check_tree(expected: dict, folder: Path) -> str:
    """expected: relative Unix path -> size. Names the first missing or wrong file."""
    for rel, size in expected.items():
        path = folder / rel
        try:
            actual = path.stat().st_size
        except OSError:
            return f"{path} is missing"
        if actual != size:
            return f"{path} has {actual} bytes, not {size}"
    return ""


def extracted(cell: Cell) -> dict:
    return {f"{c}/{e}": s for c, e, _, s in cell.payload.entries}


def ours_command(cell: Cell) -> tuple:
    return f'"{cell.win("pkg", "setup.exe")}" /SILENTMODE', cell.bench / "pkg"


def install_folder(cell: Cell) -> Path:
    return cell.bed.c / "Program Files" / "Vesk"


def ours_check(cell: Cell) -> str:
    return check_tree(installed(cell), install_folder(cell))


def unrar_command(cell: Cell, options: str, folder: str) -> tuple:
    names = " ".join(f'"{cell.win("pkg", c + ".rar")}"' for c in cell.archives())
    return f'"{cell.win("tools", "zsbunrar.exe")}" {options} "{cell.win(folder)}" {names}', None


def floor_a_command(cell: Cell) -> tuple:
    return unrar_command(cell, "--workers 2", "a")


def floor_a_serial_command(cell: Cell) -> tuple:
    return unrar_command(cell, "--workers 1", "a1")


def like_setup_command(cell: Cell) -> tuple:
    return unrar_command(cell, "--like-setup --workers 2", "a2")


def floor_b_command(cell: Cell, workers: int = 2, folder: str = "b") -> tuple:
    # Into the install's layout: how many files share a folder matters under Wine, since creating
    # a file that is not there yet reads its whole folder (names compare without case).
    return (f'"{cell.win("tools", "zsbcopy.exe")}" --workers {workers} "{cell.win("a")}" '
            f'"{cell.win(folder)}" "{cell.win("layout.txt")}"', None)


def floor_b_serial_command(cell: Cell) -> tuple:
    return floor_b_command(cell, 1, "b1")


def flat_copy_command(cell: Cell) -> tuple:
    return (f'"{cell.win("tools", "zsbcopy.exe")}" --workers 2 "{cell.win("a")}" '
            f'"{cell.win("b2")}"', None)


def installed(cell: Cell) -> dict:
    return {t.replace("\\", "/"): s for _, _, t, s in cell.payload.entries}


def nsis_command(cell: Cell) -> tuple:
    return f'"{cell.win("peer", PEER_BUILDS["nsis"][0])}" /S', None


def nsis_check(cell: Cell) -> str:
    if not (install_folder(cell) / "uninstall.exe").exists():
        return "the NSIS installer wrote no uninstall.exe"
    return ours_check(cell)


def msi_command(cell: Cell) -> tuple:
    return f'msiexec /i "{cell.win("peer", PEER_BUILDS["msi"][0])}" /qn', None


SUBJECTS = [
    # The floors share a prefix (B copies what A extracted). Every installer, ours included, runs
    # first in a fresh prefix of its own after the settle wait, as the peers do: the first run in a
    # new prefix is the slowest, and ours deletes its extraction folders when it ends.
    Subject("a", "floor A: libunrar callback extraction (CREATE_NEW), two threads",
            floor_a_command, lambda cell: check_tree(extracted(cell), cell.bench / "a")),
    Subject("b", "floor B: CopyFileA of that tree into the install's folders, two threads",
            floor_b_command, lambda cell: check_tree(installed(cell), cell.bench / "b")),
    Subject("ours", "ours: setup.exe /SILENTMODE", ours_command, ours_check, ok_codes=(0, 3010),
            own_prefix=True),
]


@dataclass
class Ratio:
    label: str
    numerator: list
    denominator: list
    goal: float


# Rows that explain rather than judge (--extra): both floors on one thread (what they were before
# our install created files on two), floor A with the file flags the setup program's extraction
# uses today, and floor B copying the extracted tree as it is (a few big folders).
EXTRA = [
    Subject("a_1", "extra: floor A, one thread", floor_a_serial_command,
            lambda cell: check_tree(extracted(cell), cell.bench / "a1")),
    Subject("b_1", "extra: floor B, one thread", floor_b_serial_command,
            lambda cell: check_tree(installed(cell), cell.bench / "b1")),
    Subject("a_flags", "extra: floor A with CREATE_ALWAYS + write-through, two threads",
            like_setup_command, lambda cell: check_tree(extracted(cell), cell.bench / "a2")),
    Subject("b_flat", "extra: floor B into the extracted tree's own layout, two threads",
            flat_copy_command, lambda cell: check_tree(extracted(cell), cell.bench / "b2")),
    Subject("ours_1", "extra: ours with one worker (ZS_WORKERS=1)", ours_command, ours_check,
            ok_codes=(0, 3010), env={"ZS_WORKERS": "1"}, own_prefix=True),
]

# Installers of the same payload by other means, each in a prefix of its own (--no-peers: not).
PEERS = [
    Subject("nsis", f"peer: NSIS ({NSIS_COMPRESSOR}) installer /S", nsis_command, nsis_check,
            own_prefix=True, peer="nsis"),
    Subject("msi", "peer: MSI (wixl), msiexec /i /qn", msi_command, ours_check,
            ok_codes=(0, 3010), own_prefix=True, peer="msi"),
]

RATIOS = [Ratio("ours / (A + B)", ["ours"], ["a", "b"], 1.1)]  # A and B: the two-thread floors
PEER_RATIOS = [Ratio("ours / NSIS", ["ours"], ["nsis"], 1.0),
               Ratio("ours / MSI", ["ours"], ["msi"], 0.4)]
LINEAR = [("ours", 10.5)]  # subject, goal for t(largest size) / t(smallest size)


# ---- Measuring ----------------------------------------------------------------------------------


def timed(cell: Cell, command: str, cwd: Path | None, name: str, env=None) -> tuple:
    """Runs command in the cell's prefix through the timer; returns (exit code, seconds)."""
    cmd_file = cell.bed.root / f"{name}.cmd"
    cmd_file.write_bytes(command.encode("latin-1") + b"\r\n")
    proc = cell.bed.wine(cell.bench / "tools" / "zsbtime.exe", "@" + cell.bed.winpath(cmd_file),
                         cwd=str(cwd) if cwd else None, timeout=3600, env=env)
    code = re.search(r"^exit code: (-?\d+)", proc.stdout, re.M)
    elapsed = re.search(r"^elapsed: ([\d.]+)", proc.stdout, re.M)
    if not code or not elapsed:
        raise SystemExit(f"timer failed on {command}: {proc.stdout!r} {proc.stderr!r}")
    return int(code.group(1)), float(elapsed.group(1))


def new_cell(p: Payload, peers: list = ()) -> Cell:
    """A prefix with the tools and our package, or, given peers, with their installers instead."""
    cell = Cell(winebed.WineBed(), p)
    (cell.bench / "tools").mkdir(parents=True)
    for tool in ("zsbtime.exe", "zsbunrar.exe", "zsbcopy.exe"):
        shutil.copy(BENCH_TOOLS / tool, cell.bench / "tools" / tool)
    shutil.copy(winebed.TOOLS / "zsexit.exe", cell.bench / "tools" / "zsexit.exe")
    (cell.bench / "layout.txt").write_text(
        "".join(f"{c}\\{e}\t{t}\n" for c, e, t, _ in p.entries), encoding="latin-1")
    if peers:
        (cell.bench / "peer").mkdir()
        for key in peers:
            shutil.copy(p.peers[key], cell.bench / "peer" / p.peers[key].name)
    else:
        shutil.copytree(p.package, cell.bench / "pkg")
        shutil.copy(SETUP_COPY, cell.bench / "pkg" / "setup.exe")  # this run's build
    # The first process in a prefix pays for loading Wine's files; an empty run takes that
    # before anything is timed, and a second one measures the bare process cost.
    timed(cell, f'"{cell.win("tools", "zsexit.exe")}" 0', None, "warm")
    os.sync()
    return cell


def measure(payloads: list, runs: int, settle_s: tuple) -> dict:
    """times[key][files] = list of seconds, one per round."""
    times: dict = {s.key: {p.files: [] for p in payloads} for s in SUBJECTS}
    times["empty"] = {p.files: [] for p in payloads}
    shared = [s for s in SUBJECTS if not s.own_prefix]
    for rnd in range(1, runs + 1):
        for p in payloads:
            # The subjects that share a prefix, then each one that needs a prefix of its own.
            for group in [shared] + [[s] for s in SUBJECTS if s.own_prefix]:
                waited = settle(CACHE, *settle_s)
                cell = new_cell(p, [s.peer for s in group if s.peer])
                try:
                    if group is shared:
                        _, empty = timed(cell, f'"{cell.win("tools", "zsexit.exe")}" 0', None,
                                         "empty")
                        times["empty"][p.files].append(empty)
                    row = [f"round {rnd}/{runs}, {p.files} files (settled {waited:.0f} s, "
                           f"load {load_average():.1f}):"]
                    for s in group:
                        os.sync()
                        command, cwd = s.command(cell)
                        code, seconds = timed(cell, command, cwd, s.key, env=s.env)
                        if code not in s.ok_codes:
                            raise SystemExit(f"{s.label}: exit code {code} ({command})")
                        problem = s.check(cell)
                        if problem:
                            raise SystemExit(f"{s.label}: incomplete output: {problem}")
                        times[s.key][p.files].append(seconds)
                        row.append(f"{s.key} {seconds:.2f} s")
                    say(" ".join(row))
                finally:
                    cell.bed.close()
    return times


# ---- Phases of our install ----------------------------------------------------------------------

STAMP = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\] (.*)$")


def phases(p: Payload, settle_s: tuple) -> list:
    """One more install with /TEST; returns (seconds, what) from the log's stamps: each line's
    share is the time since the line before it, i.e. the step that the line closes."""
    settle(CACHE, *settle_s)
    cell = new_cell(p)
    try:
        command, cwd = ours_command(cell)
        code, total = timed(cell, command + " /TEST", cwd, "phases")
        if code not in (0, 3010):
            raise SystemExit(f"setup.exe /SILENTMODE /TEST: exit code {code}")
        lines = (cell.bench / "pkg" / "zsetup.log").read_text(errors="replace").splitlines()
    finally:
        cell.bed.close()
    stamped = []
    for line in lines:
        m = STAMP.match(line)
        if m:
            at = datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f")
            stamped.append((at, m.group(2)))
    rows = []
    for (before, _), (at, text) in zip(stamped, stamped[1:]):
        rows.append(((at - before).total_seconds(), text))
    span = (stamped[-1][0] - stamped[0][0]).total_seconds() if stamped else 0.0
    rows.append((total - span, "(outside the log: process start to first line, last line to exit)"))
    rows.append((total, "(total)"))
    return rows


def print_phases(p: Payload, rows: list) -> None:
    total = rows[-1][0]
    say(f"\nPhases of our install, {p.files} files (one run with /TEST, {total:.2f} s; each line's "
        f"time is the step that ends with it):")
    shown = 0.0
    for seconds, text in rows[:-2]:
        if seconds >= max(0.05, 0.01 * total):
            say(f"  {seconds:8.2f} s  {text}")
            shown += seconds
    say(f"  {total - shown - rows[-2][0]:8.2f} s  (all other log lines)")
    say(f"  {rows[-2][0]:8.2f} s  {rows[-2][1]}")


# ---- The table ----------------------------------------------------------------------------------


def table(times: dict, payloads: list) -> str:
    sizes = [p.files for p in payloads]
    med = {k: {n: statistics.median(v) for n, v in per.items() if v} for k, per in times.items()}
    head = "| what | " + " | ".join(f"{n:,} files" for n in sizes) + " |"
    out = [head, "|---" * (len(sizes) + 1) + "|"]

    def cell_of(k, n):
        runs = times[k][n]
        spread = f" ({min(runs):.2f}–{max(runs):.2f})" if len(runs) > 1 else ""
        return f"{med[k][n]:.2f} s{spread}"

    for s in SUBJECTS:
        out.append(f"| {s.label} | " + " | ".join(cell_of(s.key, n) for n in sizes) + " |")
    out.append("| empty process (start-up cost, included in every row) | " +
               " | ".join(cell_of("empty", n) for n in sizes) + " |")
    for r in RATIOS:
        values = []
        for n in sizes:
            v = sum(med[k][n] for k in r.numerator) / sum(med[k][n] for k in r.denominator)
            values.append(f"**{v:.2f}** {'meets' if v <= r.goal else 'misses'}")
        out.append(f"| {r.label} (goal ≤ {r.goal}) | " + " | ".join(values) + " |")
    if len(sizes) > 1:
        lo, hi = min(sizes), max(sizes)
        for k, goal in LINEAR:
            label = next(s.label.split(":")[0] for s in SUBJECTS if s.key == k)
            v = med[k][hi] / med[k][lo]
            goal_at = goal * (hi / lo) / 10  # the goal is stated for ten times the files
            verdict = "meets" if v <= goal_at else "misses"
            cells = [""] * (len(sizes) - 1) + [f"**{v:.2f}** {verdict}"]
            out.append(f"| {label}({hi:,}) / {label}({lo:,}) (goal ≤ {goal_at:g}) | " +
                       " | ".join(cells) + " |")
    return "\n".join(out)


# ---- Main ---------------------------------------------------------------------------------------


def build() -> None:
    if not (winebed.BUILD_WIN / "build.ninja").exists():
        subprocess.run(["bash", str(ROOT / "scripts" / "build.sh")], check=True)
    else:
        subprocess.run(["cmake", "--build", str(winebed.BUILD_WIN), "--target", *TARGETS],
                       check=True, stdout=subprocess.DEVNULL)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="2000,20000", help="file counts, comma-separated")
    ap.add_argument("--runs", type=int, default=3, help="rounds (the table shows medians)")
    ap.add_argument("--mib", type=int, default=100, help="payload size in MiB at every size")
    ap.add_argument("--components", type=int, default=4)
    ap.add_argument("--folders", type=int, default=40, help="nested folders in all")
    ap.add_argument("--sigma", type=float, default=1.5, help="log-normal sigma of the sizes")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--settle", type=float, default=45,
                    help="least wait in seconds after bulk deletes before a round's size")
    ap.add_argument("--settle-max", type=float, default=120)
    ap.add_argument("--no-phases", action="store_true",
                    help="skip the extra /TEST install per size that times the log's steps")
    ap.add_argument("--extra", action="store_true",
                    help="also measure the explanatory rows (the one-thread floors among them)")
    ap.add_argument("--no-peers", action="store_true", help="leave out the NSIS and MSI installers")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--json", type=Path, help="also write the figures here")
    args = ap.parse_args(argv)

    if not args.no_build:
        build()
    if args.extra:
        SUBJECTS[2:2] = EXTRA  # after the floors, whose output the extra floor rows reuse
    if not args.no_peers:
        bootstrap_peers()
        SUBJECTS.extend(PEERS)
        RATIOS.extend(PEER_RATIOS)
    # The run uses one copy of setup.exe throughout, whatever is rebuilt meanwhile.
    CACHE.mkdir(parents=True, exist_ok=True)
    # Replaced, not overwritten: a run that is going on may be copying the previous one.
    staged = SETUP_COPY.with_name(f"setup.{os.getpid()}.exe")
    shutil.copy(SETUP, staged)
    os.replace(staged, SETUP_COPY)
    winebed.make_template()
    payloads = [Payload(int(n), args.mib, args.seed, args.components, args.folders, args.sigma)
                for n in args.sizes.split(",")]
    for p in payloads:
        prepare(p)
        if not args.no_peers:
            prepare_peers(p, [s.peer for s in PEERS])
    info = machine()
    say(f"machine: {info}")
    settle_s = (args.settle, max(args.settle, args.settle_max))
    start = time.monotonic()
    times = measure(payloads, args.runs, settle_s)
    result = table(times, payloads)
    say(f"\nMedians of {args.runs} run(s), seconds from process creation to exit (min–max):\n")
    say(result)
    profile = {}
    if not args.no_phases:
        for p in payloads:
            profile[p.files] = phases(p, settle_s)
            print_phases(p, profile[p.files])
    say(f"\nmeasured in {(time.monotonic() - start) / 60:.1f} min; load at the end "
        f"{load_average():.1f}")
    if args.json:
        args.json.write_text(json.dumps({"machine": info, "args": vars(args) | {"json": None},
                                         "times": times, "table": result,
                                         "phases": profile}, indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
