#!/usr/bin/env python3
"""Benchmark under Wine of a product's whole life: install, upgrade, engine update, uninstall.

    python3 bench/run.py [--sizes 2000,20000] [--runs 3] [--steps install,upgrade,update,uninstall]

For every size it generates a payload (deterministic from --seed: log-normal file sizes, a few
components, about 40 nested folders) and an older build of it in which every file differs, and an
engine package of size/--engine-share update containers in an older and a newer build; builds their
packages with tools/zspack.py once (cached in build/bench/), and then measures, in rounds, each
subject as a whole process from its creation to its end (bench/zsbtime.cpp times it inside the
prefix). The steps and their subjects:

    install    ours: setup.exe /SILENTMODE into a fresh prefix; floors A (libunrar extracting the
               archives into new folders, files written by two threads: bench/zsbunrar.cpp) and
               B (CopyFileA of that tree into the install's folders by two threads:
               bench/zsbcopy.cpp); peers NSIS (makensis, /S) and MSI (wixl, msiexec /i /qn)
    upgrade    the newer build over the older one installed: ours (every file waits beside its
               target and the commit schedules its replacement at the restart); floors A, B'
               (the copies beside the installed files) and R (scheduling the replacements:
               bench/zsbfloor.cpp); peers NSIS over NSIS, MSI major upgrade
    update     ours with /UPDATE on the newer engine package over the older one installed;
               floor E (each container read, checked and written beside its file, the
               replacements scheduled, the builds recorded); no peer does this
    uninstall  ours through the registered QuietUninstallString; floor D (the deletions, two
               threads); peers NSIS's uninstaller /S _?=, msiexec /x /qn

Each installer runs in a fresh prefix of its own (an upgrade or update after the older build was
installed there untimed); the floors share one. The peers are built once per payload too, from the
payload's files made again from the seed; bench/bootstrap.sh installs makensis and wixl when they
are missing (--no-peers skips them).

Every prefix waits first for the file system to settle: freshly deleted files make file creation
on this machine's file system several times slower for a while. The tables show medians per step
and the ratios against the goals. Another subject is one more Subject in a Plan (PLANS); a goal is
one more Ratio in RATIOS.
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
TOOL_COPIES = CACHE / f"tools.{os.getpid()}"  # this run's copies of the tools, as of setup.exe
GENERATOR = 1  # bump when the payload generator changes, so cached packages are rebuilt
PEER_BUILDER = 2  # bump when the peers' scripts change, so cached peer installers are rebuilt
TARGETS = ["setup", "zsbtime", "zsbcopy", "zsbunrar", "zsbfloor", "zslaunch", "zsexit"]

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
    variant: int = 0  # 0: the build measured; 1: the older build it upgrades, every file changed
    engines: int = 0  # above 0: an engine package of that many update containers in mib MiB
    # Filled in by prepare(): the package folder and, per file, (component archive stem, entry
    # name, target below the install folder with backslashes, size); for an engine package
    # ("engines", container name, file name in the install folder, size).
    package: Path | None = None
    entries: list = field(default_factory=list)
    peers: dict = field(default_factory=dict)  # peer key -> its built installer (prepare_peers)

    @property
    def family(self) -> str:
        """The key shared by both builds."""
        kind = f"-e{self.engines}" if self.engines else ""
        return (f"g{GENERATOR}-n{self.files}-m{self.mib}-s{self.seed}-c{self.components}"
                f"-d{self.folders}-l{self.sigma:g}{kind}")

    @property
    def key(self) -> str:
        return self.family + ("-old" if self.variant else "")

    @property
    def total(self) -> int:
        return sum(e[3] for e in self.entries)

    def build(self, older: int = 1) -> Payload:
        """The same payload in another build (variant)."""
        return Payload(self.files, self.mib, self.seed, self.components, self.folders, self.sigma,
                       older, self.engines)


def file_sizes(rng: random.Random, count: int, total: int, sigma: float) -> list:
    """Log-normal sizes scaled to add up to total bytes (each at least one byte)."""
    raw = [rng.lognormvariate(0.0, sigma) for _ in range(count)]
    scale = total / sum(raw)
    sizes = [max(1, int(r * scale)) for r in raw]
    biggest = max(range(count), key=lambda i: sizes[i])
    sizes[biggest] = max(1, sizes[biggest] + total - sum(sizes))
    return sizes


def older(data: bytes) -> bytes:
    """The older build's version of a file: other bytes at its start and one byte shorter, so that
    every file changes and a check by size tells the builds apart."""
    head = bytes(b ^ 0x5A for b in data[:64])
    return (head + data[64:])[:-1] if len(data) > 1 else head


def generate(p: Payload, source: Path) -> dict:
    """Writes the payload's files below source and returns the package manifest."""
    if p.engines:
        return generate_engines(p, source)
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
        components.append({"name": name, "display": f"{name} module",
                           "build": "10000000" if p.variant else "10000100",
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
        if p.variant:
            data = older(data)
        rel = Path(comp["name"]) / entry
        (source / rel).parent.mkdir(parents=True, exist_ok=True)
        (source / rel).write_bytes(data)
        comp["files"].append({"source": str(rel), "target": "%INSTALLDIR%\\" + target})
        p.entries.append((comp["name"], entry, target, len(data)))
    for comp in components:
        del comp["_folders"]
    return {"title": "ZORVA Benchmark", "required_os": "NT", "install_path": "%PROGRAMFILES%\\Vesk",
            "language": "ENGLISH", "line": 1, "components": components}


def generate_engines(p: Payload, source: Path) -> dict:
    """An engine package: p.engines update containers (log-normal sizes, p.mib MiB in all, each
    with its own build value) besides one small component, which every package needs."""
    rng = random.Random(f"zorva-bench-engines-{p.seed}-{p.engines}")
    engines = []
    for i, size in enumerate(file_sizes(rng, p.engines, p.mib << 20, p.sigma)):
        data = rng.randbytes(size)
        if p.variant:
            data = older(data)
        (source / "eng").mkdir(parents=True, exist_ok=True)
        (source / "eng" / f"sig{i:05d}.dat").write_bytes(data)
        engines.append({"file": f"sig{i:05d}.upd", "source": f"eng/sig{i:05d}.dat",
                        "filename": f"sig{i:05d}.dat", "build": 100 - p.variant,
                        "buildregname": f"Sig{i:05d}"})
        p.entries.append(("engines", f"sig{i:05d}.upd", f"sig{i:05d}.dat", len(data)))
    (source / "readme.txt").write_text(f"engine package, build {2 - p.variant}\n")
    component = {"name": "Core", "display": "Core module", "build": "10000100",
                 "files": [{"source": "readme.txt", "target": "%INSTALLDIR%\\readme.txt"}]}
    return {"title": "ZORVA Benchmark", "required_os": "NT", "install_path": "%PROGRAMFILES%\\Vesk",
            "language": "ENGLISH", "line": 1, "components": [component], "engines": engines}


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
    folders as Directory rows below ProgramFilesFolder\\Vesk, one feature, the cabinet embedded,
    and a major upgrade of any earlier build (the older build is 1.0.0, the newer 2.0.0; both
    share the upgrade code and the components' GUIDs, each build has its own product code).
    source: the payload's folder relative to the document (wixl takes no absolute paths)."""
    def guid(name: str) -> str:
        return str(uuid.uuid5(GUIDS, f"{p.family}/{name}")).upper()

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
             f'<Product Id="{guid(f"product{p.variant}")}" UpgradeCode="{guid("upgrade")}" '
             f'Name="{PRODUCT}" Language="1033" Codepage="1252" '
             f'Version="{"1.0.0" if p.variant else "2.0.0"}" Manufacturer="ZORVA">',
             '<Package Id="*" InstallerVersion="200" Compressed="yes" InstallScope="perMachine" '
             'Languages="1033" SummaryCodepage="1252" Manufacturer="ZORVA" />',
             '<MajorUpgrade DowngradeErrorMessage="A newer build is installed." />',
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
                    again = p.build(p.variant)
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
    prefixes = first_line(["findmnt", "-no", "FSTYPE,OPTIONS", "-T", tempfile.gettempdir()])
    return {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
            "cpus": os.cpu_count(), "memory_gib": round(int(mem) / 1048576, 1),
            "kernel": platform.release(), "file_system": fs,
            "prefixes": f"{tempfile.gettempdir()} ({prefixes})",
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


# Processor time, to tell what a run cost from what the machine's other users took meanwhile: the
# wall-clock time of a run on this shared machine moves with their load, its processor time far
# less.
TICKS = os.sysconf("SC_CLK_TCK")
PERF = shutil.which("perf")


def perf_works() -> bool:
    if not PERF:
        return False
    done = subprocess.run([PERF, "stat", "-x,", "-e", "task-clock", "true"], capture_output=True)
    return done.returncode == 0


def machine_busy() -> float:
    """Seconds of processor time the whole machine has spent busy (all cores, all users)."""
    fields = [int(x) for x in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    return (sum(fields[:8]) - idle) / TICKS


def server_pid(bed) -> int | None:
    """The wineserver of the bed's prefix."""
    want = f"WINEPREFIX={bed.prefix}".encode()
    for proc in Path("/proc").iterdir():
        if not proc.name.isdigit():
            continue
        try:
            if (proc / "comm").read_text().startswith("wineserver") and \
                    want in (proc / "environ").read_bytes().split(b"\0"):
                return int(proc.name)
        except OSError:
            continue
    return None


def process_cpu(pid: int | None) -> float:
    if pid is None:
        return 0.0
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS
    except (OSError, IndexError, ValueError):
        return 0.0


# ---- Subjects -----------------------------------------------------------------------------------


@dataclass
class Sizes:
    """One size's payloads: the build measured, its older build, and the engine packages."""
    new: Payload
    old: Payload
    eng: Payload
    eng_old: Payload

    @property
    def files(self) -> int:
        return self.new.files


@dataclass
class Cell:
    """One plan in one round for one size: a fresh prefix with what the plan needs in C:\\bench."""
    bed: winebed.WineBed
    sizes: Sizes

    @property
    def payload(self) -> Payload:
        return self.sizes.new

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
    step: str = "install"
    also: tuple = ()  # other steps whose tables show it (floor A: the upgrade extracts too)
    role: str = "floor"  # floor, extra, ours or peer: the order of the rows
    ok_codes: tuple = (0,)
    env: dict = field(default_factory=dict)  # for the measured process
    deletes: bool = False  # deletes many files: the next timed run waits for the file system
    log: Callable[[Cell], Path] | None = None  # where its log lands with /TEST (ours only)

    def of(self, steps) -> bool:
        return self.step in steps or any(s in steps for s in self.also)


@dataclass
class Prep:
    """Untimed work in a plan's prefix, such as installing the build an upgrade goes over."""
    key: str
    command: Callable[[Cell], tuple]
    ok_codes: tuple = (0,)
    deletes: bool = False
    check: Callable[[Cell], str] = lambda cell: ""


@dataclass
class Plan:
    """What runs, in order, in one fresh prefix; stage names what the prefix is given."""
    key: str
    stage: tuple
    items: list
    peer: bool = False  # left out with --no-peers


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


def alternate(path: str) -> str:
    """The name beside a file under which its replacement waits (C:\\P\\lib.dll -> C:\\P\\_ib.d00),
    as the setup program forms it the first time."""
    folder, slash, name = path.rpartition("\\")
    stem, dot, ext = name.rpartition(".")
    if not dot:
        return path + "_00"
    return f"{folder}{slash}_{stem[1:]}.{ext[:1]}00"


def pending(cell: Cell) -> set:
    """The moves waiting for the restart, as (source, target) in upper case."""
    proc = cell.bed.wine(cell.bench / "tools" / "zsbfloor.exe", "pending", timeout=600)
    pairs = set()
    for line in proc.stdout.splitlines():
        source, _, target = line.rstrip("\r").partition("\t")
        pairs.add((source.upper(), target.upper()))
    return pairs


def check_waiting(cell: Cell, files: dict, root: str, folder: Path) -> str:
    """files: target below root -> (new size, old size). Each new file waits beside its target
    (the older one still in place), and its replacement at the restart is scheduled."""
    waiting = pending(cell)
    for rel, (new, old) in files.items():
        alt = alternate(rel)
        problem = check_tree({alt.replace("\\", "/"): new, rel.replace("\\", "/"): old}, folder)
        if problem:
            return problem
        move = (f"\\??\\{root}\\{alt}".upper(), f"!\\??\\{root}\\{rel}".upper())
        if move not in waiting:
            return f"no move of {move[0]} over {move[1]} waits for the restart"
    return ""


def check_gone(cell: Cell, folder: Path) -> str:
    for _, _, target, _ in cell.payload.entries:
        if (folder / target.replace("\\", "/")).exists():
            return f"{folder / target} is still there"
    return ""


def extracted(cell: Cell) -> dict:
    return {f"{c}/{e}": s for c, e, _, s in cell.payload.entries}


def installed(cell: Cell) -> dict:
    return {t.replace("\\", "/"): s for _, _, t, s in cell.payload.entries}


def upgraded(cell: Cell) -> dict:
    old = {t: s for _, _, t, s in cell.sizes.old.entries}
    return {t: (s, old[t]) for _, _, t, s in cell.payload.entries}


def engines_updated(cell: Cell) -> dict:
    old = {t: s for _, _, t, s in cell.sizes.eng_old.entries}
    return {t: (s, old[t]) for _, _, t, s in cell.sizes.eng.entries}


INSTALL_FOLDER = r"C:\Program Files\Vesk"


def install_folder(cell: Cell) -> Path:
    return cell.bed.c / "Program Files" / "Vesk"


def setup_in(folder: str, *switches: str) -> Callable[[Cell], tuple]:
    """Our setup program started silently from one of the packages in the prefix."""
    def command(cell: Cell) -> tuple:
        tail = "".join(f" {s}" for s in switches)
        return f'"{cell.win(folder, "setup.exe")}" /SILENTMODE{tail}', cell.bench / folder
    return command


def quiet_uninstall(cell: Cell) -> tuple:
    """The command the installation registered for a silent removal."""
    command = cell.bed.reg_query(r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA",
                                 "QuietUninstallString")
    if not command:
        raise SystemExit("ours: no QuietUninstallString registered")
    return command, None


def package_log(folder: str) -> Callable[[Cell], Path]:
    return lambda cell: cell.bench / folder / "zsetup.log"


def temp_log(cell: Cell) -> Path:
    # An uninstaller started from the product's setup folder writes its log into the temporary
    # folder, since it removes its own.
    logs = sorted((cell.bed.c / "users").glob("*/Temp/zsetup.log"))
    return logs[0] if logs else cell.bed.c / "users" / "missing-zsetup.log"


def tool(cell: Cell, name: str, *args: str) -> str:
    return f'"{cell.win("tools", name)}" ' + " ".join(args)


def unrar(cell: Cell, options: str, folder: str, package: str = "pkg") -> tuple:
    names = " ".join(f'"{cell.win(package, c + ".rar")}"' for c in cell.archives())
    return tool(cell, "zsbunrar.exe", options, f'"{cell.win(folder)}"', names), None


def copy(cell: Cell, options: str, source: str, target: str, mapped: bool = True) -> tuple:
    # Into the install's layout: how many files share a folder matters under Wine, since creating
    # a file that is not there yet reads its whole folder (names compare without case).
    layout = f' "{cell.win("layout.txt")}"' if mapped else ""
    return tool(cell, "zsbcopy.exe", options, f'"{cell.win(source)}"', f'"{cell.win(target)}"'
                + layout), None


def engines_into(package: str) -> Callable[[Cell], tuple]:
    def command(cell: Cell) -> tuple:
        (cell.bench / "ue").mkdir(exist_ok=True)
        names = " ".join(f'"{cell.win(package, e)}"' for _, e, _, _ in cell.sizes.eng.entries)
        return tool(cell, "zsbfloor.exe", "engines --workers 2", f'"{cell.win("ue")}"', names), None
    return command


def ours_upgrade_check(cell: Cell) -> str:
    return check_waiting(cell, upgraded(cell), INSTALL_FOLDER, install_folder(cell))


def ours_update_check(cell: Cell) -> str:
    return check_waiting(cell, engines_updated(cell), INSTALL_FOLDER, install_folder(cell))


def nsis_check(cell: Cell) -> str:
    if not (install_folder(cell) / "uninstall.exe").exists():
        return "the NSIS installer wrote no uninstall.exe"
    return check_tree(installed(cell), install_folder(cell))


def peer_installer(name: str) -> Callable[[Cell], tuple]:
    folder = "peer_old" if name.endswith("_old") else "peer"
    if name.startswith("nsis"):
        return lambda cell: (f'"{cell.win(folder, PEER_BUILDS["nsis"][0])}" /S', None)
    return lambda cell: (f'msiexec /i "{cell.win(folder, PEER_BUILDS["msi"][0])}" /qn', None)


def nsis_uninstall(cell: Cell) -> tuple:
    # _?= runs the uninstaller where it is and waits for it, instead of a copy in the temporary
    # folder that the caller would not see end.
    return f'"{INSTALL_FOLDER}\\uninstall.exe" /S _?={INSTALL_FOLDER}', None


def msi_uninstall(cell: Cell) -> tuple:
    return f'msiexec /x "{cell.win("peer", PEER_BUILDS["msi"][0])}" /qn', None


OURS = (0, 3010)
FLOOR_A = Subject("a", "floor A: libunrar callback extraction (CREATE_NEW), two threads",
                  lambda cell: unrar(cell, "--workers 2", "a"),
                  lambda cell: check_tree(extracted(cell), cell.bench / "a"), also=("upgrade",))
FLOOR_B = Subject("b", "floor B: CopyFileA of that tree into the install's folders, two threads",
                  lambda cell: copy(cell, "--workers 2", "a", "b"),
                  lambda cell: check_tree(installed(cell), cell.bench / "b"))
FLOOR_E = Subject("e", "floor E: each container read, checked and written beside its engine "
                  "file, the replacements scheduled, the builds recorded, two threads",
                  engines_into("eng"),
                  lambda cell: check_waiting(cell, engines_updated(cell), cell.win("ue"),
                                             cell.bench / "ue"), step="update")
FLOOR_BESIDE = Subject("b_beside", "floor B': CopyFileA of floor A's tree beside the installed "
                       "older files, two threads",
                       lambda cell: copy(cell, "--workers 2 --beside", "a", "u"),
                       lambda cell: check_tree({alternate(t).replace("\\", "/"): s for
                                                _, _, t, s in cell.payload.entries},
                                               cell.bench / "u"),
                       step="upgrade")
FLOOR_R = Subject("r", "floor R: every replacement scheduled for the restart in one change of the "
                  "list",
                  lambda cell: (tool(cell, "zsbfloor.exe", "schedule", f'"{cell.win("u")}"',
                                     f'"{cell.win("layout.txt")}"'), None),
                  lambda cell: check_waiting(cell, upgraded(cell), cell.win("u"),
                                             cell.bench / "u"), step="upgrade")
FLOOR_D = Subject("d", "floor D: DeleteFileA of floor B's tree and its folders, two threads",
                  lambda cell: (tool(cell, "zsbfloor.exe", "delete --workers 2",
                                     f'"{cell.win("b")}"', f'"{cell.win("layout.txt")}"'), None),
                  lambda cell: check_gone(cell, cell.bench / "b"), step="uninstall", deletes=True)
OLDER_TREE = [Prep("a_old", lambda cell: unrar(cell, "--workers 2", "a_old", "old")),
              Prep("u", lambda cell: copy(cell, "--workers 2", "a_old", "u"))]

# Rows that explain rather than judge (role "extra", measured with --extra): both install floors
# on one thread (what they were before our install created files on two), floor A with the file
# flags the setup program's extraction uses, floor B copying the extracted tree as it is (a few big
# folders); below, ours with one worker and the replacements scheduled one MoveFileExA at a time.
EXTRA_FLOORS = [
    Subject("a_1", "extra: floor A, one thread", lambda cell: unrar(cell, "--workers 1", "a1"),
            lambda cell: check_tree(extracted(cell), cell.bench / "a1"), role="extra"),
    Subject("b_1", "extra: floor B, one thread", lambda cell: copy(cell, "--workers 1", "a", "b1"),
            lambda cell: check_tree(installed(cell), cell.bench / "b1"), role="extra"),
    Subject("a_flags", "extra: floor A with the setup program's flags (write-through), two threads",
            lambda cell: unrar(cell, "--like-setup --workers 2", "a2"),
            lambda cell: check_tree(extracted(cell), cell.bench / "a2"), role="extra"),
    Subject("b_flat", "extra: floor B into the extracted tree's own layout, two threads",
            lambda cell: copy(cell, "--workers 2", "a", "b2", mapped=False),
            lambda cell: check_tree(extracted(cell), cell.bench / "b2"), role="extra"),
    # What the setup program's extraction does beyond floor A, one thing at a time.
    Subject("a_private", "extra: floor A into folders with the setup program's access list",
            lambda cell: unrar(cell, "--private --workers 2", "a3"),
            lambda cell: check_tree(extracted(cell), cell.bench / "a3"), role="extra"),
    Subject("a_ahead", "extra: floor A, two archives at once (two threads each)",
            lambda cell: unrar(cell, "--ahead --workers 2", "a4"),
            lambda cell: check_tree(extracted(cell), cell.bench / "a4"), role="extra"),
]

OURS_INSTALL = Subject("ours", "ours: setup.exe /SILENTMODE", setup_in("pkg"),
                       lambda cell: check_tree(installed(cell), install_folder(cell)),
                       role="ours", ok_codes=OURS, deletes=True, log=package_log("pkg"))

PLANS = [
    # The floors share a prefix: B copies what A extracted, B' copies it beside the older build
    # that the preparation installed, R schedules what B' wrote, D deletes what B wrote.
    Plan("floors", ("pkg", "old", "eng", "eng_old"), [
        *OLDER_TREE, Prep("ue_old", engines_into("eng_old")),
        FLOOR_A, FLOOR_B, *EXTRA_FLOORS, FLOOR_E, FLOOR_BESIDE, FLOOR_R, FLOOR_D]),
    # Every installer runs in a fresh prefix of its own, as the peers do: the first heavy run in
    # a new prefix is the slowest, and ours deletes its extraction folders when it ends.
    Plan("ours", ("pkg",), [
        OURS_INSTALL,
        Subject("ours_un", "ours: the registered QuietUninstallString", quiet_uninstall,
                lambda cell: check_gone(cell, install_folder(cell)), step="uninstall",
                role="ours", ok_codes=OURS, deletes=True, log=temp_log)]),
    Plan("ours_up", ("old", "pkg"), [
        Prep("ours_old", setup_in("old"), OURS, deletes=True),
        Subject("ours_up", "ours: setup.exe /SILENTMODE over the older build", setup_in("pkg"),
                ours_upgrade_check, step="upgrade", role="ours", ok_codes=OURS, deletes=True,
                log=package_log("pkg"))]),
    Plan("ours_eng", ("eng_old", "eng"), [
        Prep("ours_eng_old", setup_in("eng_old"), OURS, deletes=True),
        Subject("ours_eng", "ours: setup.exe /SILENTMODE /UPDATE over the older engines",
                setup_in("eng", "/UPDATE"), ours_update_check, step="update", role="ours",
                ok_codes=OURS, deletes=True, log=package_log("eng"))]),
    Plan("nsis", ("nsis",), [
        Subject("nsis", f"peer: NSIS ({NSIS_COMPRESSOR}) installer /S", peer_installer("nsis"),
                nsis_check, role="peer"),
        Subject("nsis_un", "peer: NSIS uninstaller /S _?=", nsis_uninstall,
                lambda cell: check_gone(cell, install_folder(cell)), step="uninstall",
                role="peer", deletes=True)], peer=True),
    Plan("nsis_up", ("nsis_old", "nsis"), [
        Prep("nsis_old", peer_installer("nsis_old")),
        Subject("nsis_up", "peer: NSIS installer /S over the older build", peer_installer("nsis"),
                nsis_check, step="upgrade", role="peer")], peer=True),
    Plan("msi", ("msi",), [
        Subject("msi", "peer: MSI (wixl), msiexec /i /qn", peer_installer("msi"),
                lambda cell: check_tree(installed(cell), install_folder(cell)), role="peer",
                ok_codes=OURS),
        Subject("msi_un", "peer: MSI, msiexec /x /qn", msi_uninstall,
                lambda cell: check_gone(cell, install_folder(cell)), step="uninstall",
                role="peer", ok_codes=OURS, deletes=True)], peer=True),
    Plan("msi_up", ("msi_old", "msi"), [
        Prep("msi_old", peer_installer("msi_old"), OURS),
        Subject("msi_up", "peer: MSI major upgrade, msiexec /i /qn over the older build",
                peer_installer("msi"), lambda cell: check_tree(installed(cell),
                                                               install_folder(cell)),
                step="upgrade", role="peer", ok_codes=OURS, deletes=True)], peer=True),
    Plan("ours_1", ("pkg",), [
        Subject("ours_1", "extra: ours with one worker (ZS_WORKERS=1)", setup_in("pkg"),
                lambda cell: check_tree(installed(cell), install_folder(cell)), role="extra",
                ok_codes=OURS, env={"ZS_WORKERS": "1"})]),
    Plan("floors_r1", ("pkg", "old"), [
        *OLDER_TREE, Prep("a", FLOOR_A.command), Prep("b_beside", FLOOR_BESIDE.command),
        Subject("r_1", "extra: floor R with one MoveFileExA per file",
                lambda cell: (tool(cell, "zsbfloor.exe", "schedule --one-by-one",
                                   f'"{cell.win("u")}"', f'"{cell.win("layout.txt")}"'), None),
                lambda cell: check_waiting(cell, upgraded(cell), cell.win("u"),
                                           cell.bench / "u"), step="upgrade", role="extra")]),
]
STEPS = ["install", "upgrade", "update", "uninstall"]
STEP_TITLES = {"install": "First installation", "upgrade": "Upgrade over the older build",
               "update": "Engine update (/UPDATE)", "uninstall": "Uninstallation"}


@dataclass
class Ratio:
    label: str
    numerator: list
    denominator: list
    goal: float | None  # None: shown without a verdict


RATIOS = {
    "install": [Ratio("ours / (A + B)", ["ours"], ["a", "b"], 1.1),  # the two-thread floors
                Ratio("ours / NSIS", ["ours"], ["nsis"], 1.0),
                Ratio("ours / MSI", ["ours"], ["msi"], 0.4)],
    "upgrade": [Ratio("ours / (A + B' + R)", ["ours_up"], ["a", "b_beside", "r"], 1.1),
                Ratio("ours / NSIS", ["ours_up"], ["nsis_up"], None),
                Ratio("ours / MSI", ["ours_up"], ["msi_up"], 0.4)],
    "update": [Ratio("ours / E", ["ours_eng"], ["e"], None)],
    "uninstall": [Ratio("ours / D", ["ours_un"], ["d"], 1.1),
                  Ratio("ours / NSIS", ["ours_un"], ["nsis_un"], 1.0),
                  Ratio("ours / MSI", ["ours_un"], ["msi_un"], 0.4)],
}
# Subject and goal for t(largest size) / t(smallest size), the goal stated for ten times the files.
LINEAR = {"install": ("ours", 10.5), "upgrade": ("ours_up", 10.5), "update": ("ours_eng", None),
          "uninstall": ("ours_un", 10.5)}


# ---- Measuring ----------------------------------------------------------------------------------


def run_wine(bed, args: list, cwd=None, env=None, timeout=3600, wrap=()) -> tuple:
    """bed.wine with the command optionally wrapped (perf stat); returns (stdout, stderr)."""
    e = dict(bed.env)
    e.update(env or {})
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        subprocess.run([*wrap, "wine", *[str(a) for a in args]], env=e, cwd=cwd, stdout=out,
                       stderr=err, stdin=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return out.read().decode("latin-1"), err.read().decode("latin-1")


@dataclass
class Timing:
    seconds: float  # wall clock, process creation to exit, inside the prefix
    cpu: float  # processor time of the measured processes and the prefix's wineserver (0: unknown)
    others: float  # processor time the rest of the machine took meanwhile


def timed(cell: Cell, command: str, cwd: Path | None, name: str, env=None) -> tuple:
    """Runs command in the cell's prefix through the timer; returns (exit code, Timing)."""
    cmd_file = cell.bed.root / f"{name}.cmd"
    cmd_file.write_bytes(command.encode("latin-1") + b"\r\n")
    stat_file = cell.bed.root / f"{name}.perf"
    wrap = [PERF, "stat", "-x,", "-e", "task-clock", "-o", str(stat_file), "--"] if USE_PERF else []
    server = server_pid(cell.bed)
    server_before, busy_before = process_cpu(server), machine_busy()
    stdout, stderr = run_wine(cell.bed, [cell.bench / "tools" / "zsbtime.exe",
                                         "@" + cell.bed.winpath(cmd_file)],
                              cwd=str(cwd) if cwd else None, env=env, wrap=wrap)
    busy = machine_busy() - busy_before
    code = re.search(r"^exit code: (-?\d+)", stdout, re.M)
    elapsed = re.search(r"^elapsed: ([\d.]+)", stdout, re.M)
    if not code or not elapsed:
        raise SystemExit(f"timer failed on {command}: {stdout!r} {stderr!r}")
    cpu = 0.0
    if USE_PERF and stat_file.exists():
        clock = re.search(r"^([\d.]+),msec,task-clock", stat_file.read_text(), re.M)
        cpu = float(clock.group(1)) / 1000 + process_cpu(server) - server_before if clock else 0.0
    return int(code.group(1)), Timing(float(elapsed.group(1)), cpu, max(0.0, busy - cpu))


STAGES = {"pkg": "new", "old": "old", "eng": "eng", "eng_old": "eng_old"}


def new_cell(sizes: Sizes, stage: tuple) -> Cell:
    """A prefix with the tools and what the plan stages: packages (pkg, old, eng, eng_old, each
    with this run's setup.exe) or peer installers (nsis, msi; _old for the older build's)."""
    cell = Cell(winebed.WineBed(), sizes)
    (cell.bench / "tools").mkdir(parents=True)
    for tool in TOOL_COPIES.iterdir():
        shutil.copy(tool, cell.bench / "tools" / tool.name)
    (cell.bench / "layout.txt").write_text(
        "".join(f"{c}\\{e}\t{t}\n" for c, e, t, _ in sizes.new.entries), encoding="latin-1")
    for name in stage:
        if name in STAGES:
            shutil.copytree(getattr(sizes, STAGES[name]).package, cell.bench / name)
            shutil.copy(SETUP_COPY, cell.bench / name / "setup.exe")  # this run's build
        else:
            key, _, old = name.partition("_")
            built = (sizes.old if old else sizes.new).peers[key]
            folder = cell.bench / ("peer_old" if old else "peer")
            folder.mkdir(exist_ok=True)
            shutil.copy(built, folder / built.name)
    # The first process in a prefix pays for loading Wine's files; an empty run takes that
    # before anything is timed, and a second one measures the bare process cost.
    timed(cell, f'"{cell.win("tools", "zsexit.exe")}" 0', None, "warm")
    os.sync()
    return cell


def run_plan(cell: Cell, plan: Plan, steps: list, settle_s: tuple, record, test: str = "") -> None:
    """Runs the plan's items in order; record(subject, timing) gets every timed subject of the
    steps asked for. With test set (a subject's key), only up to that subject, which runs with
    /TEST. A subject of another step runs untimed when a later one needs what it leaves."""
    items = plan.items
    if test:
        items = items[:next(i for i, x in enumerate(items) if x.key == test) + 1]
    wanted = [isinstance(x, Subject) and (x.of(steps) or x.key == test) for x in items]
    settle_first = False
    for i, item in enumerate(items):
        if not wanted[i] and not any(wanted[i + 1:]):
            break
        if settle_first and wanted[i]:
            settle(CACHE, *settle_s)
            settle_first = False
        os.sync()
        command, cwd = item.command(cell)
        if test and item.key == test:
            command += " /TEST"
        code, timing = timed(cell, command, cwd, item.key, env=getattr(item, "env", None))
        if code not in item.ok_codes:
            raise SystemExit(f"{item.key}: exit code {code} ({command})")
        problem = item.check(cell)
        if problem:
            raise SystemExit(f"{item.key}: incomplete output: {problem}")
        if wanted[i]:
            record(item, timing)
        settle_first = settle_first or item.deletes


def active_plans(steps: list, extra: bool, peers: bool) -> list:
    """The plans with a subject of the steps asked for, without the extra rows unless asked."""
    plans = []
    for p in PLANS:
        items = [x for x in p.items if extra or getattr(x, "role", "") != "extra"]
        if (peers or not p.peer) and any(isinstance(x, Subject) and x.of(steps)
                                         for x in items):
            plans.append(Plan(p.key, p.stage, items, p.peer))
    return plans


def measure(all_sizes: list, runs: int, settle_s: tuple, plans: list, steps: list) -> dict:
    """times[key][files] = list of Timing, one per round."""
    times: dict = {"empty": {sz.files: [] for sz in all_sizes}}
    for plan in plans:
        for x in plan.items:
            if isinstance(x, Subject):
                times.setdefault(x.key, {sz.files: [] for sz in all_sizes})
    for rnd in range(1, runs + 1):
        for sz in all_sizes:
            for plan in plans:
                waited = settle(CACHE, *settle_s)
                cell = new_cell(sz, plan.stage)
                row = [f"round {rnd}/{runs}, {sz.files} files, {plan.key} (settled {waited:.0f} s, "
                       f"load {load_average():.1f}):"]

                def record(subject, timing, files=sz.files, row=row):
                    times[subject.key][files].append(timing)
                    cpu = f", cpu {timing.cpu:.1f} s, others {timing.others:.1f} s" \
                        if timing.cpu else ""
                    row.append(f"{subject.key} {timing.seconds:.2f} s{cpu}")
                try:
                    if plan is plans[0]:
                        _, empty = timed(cell, f'"{cell.win("tools", "zsexit.exe")}" 0', None,
                                         "empty")
                        times["empty"][sz.files].append(empty)
                    run_plan(cell, plan, steps, settle_s, record)
                finally:
                    cell.bed.close()
                say(" ".join(row))
    return times


# ---- Phases of our runs -------------------------------------------------------------------------

STAMP = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\] (.*)$")


def phases(sz: Sizes, plan: Plan, subject: Subject, settle_s: tuple) -> list:
    """One more run of the subject with /TEST; returns (seconds, what) from the log's stamps: each
    line's share is the time since the line before it, i.e. the step that the line closes."""
    settle(CACHE, *settle_s)
    cell = new_cell(sz, plan.stage)
    got = []
    try:
        run_plan(cell, plan, [], settle_s, lambda s, t: got.append(t.seconds), test=subject.key)
        lines = subject.log(cell).read_text(errors="replace").splitlines()
    finally:
        cell.bed.close()
    total = got[-1]
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


def print_phases(files: int, subject: Subject, rows: list) -> None:
    total = rows[-1][0]
    say(f"\nSteps of {subject.label.split(': ', 1)[1]}, {files} files (one run with /TEST, "
        f"{total:.2f} s; each line's time is the step that ends with it):")
    shown = 0.0
    for seconds, text in rows[:-2]:
        if seconds >= max(0.05, 0.01 * total):
            say(f"  {seconds:8.2f} s  {text}")
            shown += seconds
    say(f"  {total - shown - rows[-2][0]:8.2f} s  (all other log lines)")
    say(f"  {rows[-2][0]:8.2f} s  {rows[-2][1]}")


# ---- The tables ---------------------------------------------------------------------------------


def table(times: dict, sizes: list, plans: list, step: str, measure: str = "seconds") -> str:
    """The step's rows with their medians (measure: "seconds", the wall clock, or "cpu", the
    processor time) and the ratios; the goals are stated for the wall clock."""
    subjects = [x for p in plans for x in p.items if isinstance(x, Subject) and x.of([step])]
    order = {"floor": 0, "extra": 1, "ours": 2, "peer": 3}
    seen, rows = set(), []
    for x in sorted(subjects, key=lambda x: order[x.role]):  # stable: plan order within a role
        if x.key not in seen and any(times[x.key][n] for n in sizes):
            seen.add(x.key)
            rows.append(x)
    med = {k: {n: statistics.median(getattr(t, measure) for t in v) for n, v in per.items() if v}
           for k, per in times.items()}
    head = "| what | " + " | ".join(f"{n:,} files" for n in sizes) + " |"
    out = [head, "|---" * (len(sizes) + 1) + "|"]

    def cell_of(k, n):
        runs = [getattr(t, measure) for t in times[k][n]]
        if not runs:
            return ""
        spread = f" ({min(runs):.2f}–{max(runs):.2f})" if len(runs) > 1 else ""
        return f"{med[k][n]:.2f} s{spread}"

    for x in rows:
        out.append(f"| {x.label} | " + " | ".join(cell_of(x.key, n) for n in sizes) + " |")
    if step == "install":
        out.append("| empty process (start-up cost, included in every row) | " +
                   " | ".join(cell_of("empty", n) for n in sizes) + " |")
    for r in RATIOS[step]:
        values = []
        for n in sizes:
            if not all(n in med.get(k, {}) for k in r.numerator + r.denominator):
                values.append("")
                continue
            v = sum(med[k][n] for k in r.numerator) / sum(med[k][n] for k in r.denominator)
            verdict = "" if r.goal is None else (" meets" if v <= r.goal else " misses")
            values.append(f"**{v:.2f}**{verdict}")
        if any(values):
            goal = "" if r.goal is None else f" (goal ≤ {r.goal})"
            out.append(f"| {r.label}{goal} | " + " | ".join(values) + " |")
    key, goal = LINEAR[step]
    if len(sizes) > 1 and key in med and all(n in med[key] for n in sizes):
        lo, hi = min(sizes), max(sizes)
        v = med[key][hi] / med[key][lo]
        goal_at = None if goal is None else goal * (hi / lo) / 10
        verdict = "" if goal_at is None else (" meets" if v <= goal_at else " misses")
        cells = [""] * (len(sizes) - 1) + [f"**{v:.2f}**{verdict}"]
        what = "" if goal_at is None else f" (goal ≤ {goal_at:g})"
        out.append(f"| ours({hi:,}) / ours({lo:,}){what} | " + " | ".join(cells) + " |")
    return "\n".join(out)


def cpu_table(times: dict, sizes: list, plans: list, steps: list) -> str:
    """Median processor time of ours' runs and of the machine's other users meanwhile."""
    keys = [x.key for p in plans for x in p.items
            if isinstance(x, Subject) and x.role == "ours" and x.step in steps]
    out = ["| what | " + " | ".join(f"{n:,} files: wall / cpu / others" for n in sizes) + " |",
           "|---" * (len(sizes) + 1) + "|"]
    for k in keys:
        cells = []
        for n in sizes:
            runs = times[k][n]
            cells.append(" / ".join(f"{statistics.median(getattr(t, f) for t in runs):.2f}"
                                    for f in ("seconds", "cpu", "others")) if runs else "")
        out.append(f"| {k} | " + " | ".join(cells) + " |")
    return "\n".join(out)


# ---- Main ---------------------------------------------------------------------------------------


def build() -> None:
    if not (winebed.BUILD_WIN / "build.ninja").exists():
        subprocess.run(["bash", str(ROOT / "scripts" / "build.sh")], check=True)
    else:
        subprocess.run(["cmake", "--build", str(winebed.BUILD_WIN), "-j", "2", "--target",
                        *TARGETS], check=True, stdout=subprocess.DEVNULL)


USE_PERF = False


def tables_from(files: list, extra: bool, peers: bool) -> int:
    """The tables of earlier runs' --json files, their sizes and rounds put together."""
    times: dict = {}
    steps = []
    for name in files:
        data = json.loads(Path(name).read_text())
        say(f"{name}: {data['machine']}")
        steps += [s for s in data["args"]["steps"].split(",") if s not in steps]
        for key, per in data["times"].items():
            for n, runs in per.items():
                times.setdefault(key, {}).setdefault(int(n), []).extend(Timing(**t) for t in runs)
    sizes = sorted({n for per in times.values() for n, runs in per.items() if runs})
    for per in times.values():
        for n in sizes:
            per.setdefault(n, [])
    for key in {x.key for p in PLANS for x in p.items if isinstance(x, Subject)} - set(times):
        times[key] = {n: [] for n in sizes}
    plans = active_plans([s for s in STEPS if s in steps], extra, peers)
    for step in [s for s in STEPS if s in steps]:
        for measure, what in (("seconds", "wall clock"), ("cpu", "processor time")):
            say(f"\n{STEP_TITLES[step]}, {what}:\n")
            say(table(times, sizes, plans, step, measure))
    return 0


def main(argv=None) -> int:
    global USE_PERF
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="2000,20000", help="file counts, comma-separated")
    ap.add_argument("--runs", type=int, default=3, help="rounds (the table shows medians)")
    ap.add_argument("--steps", default=",".join(STEPS), help="which of " + ", ".join(STEPS))
    ap.add_argument("--mib", type=int, default=100, help="payload size in MiB at every size")
    ap.add_argument("--components", type=int, default=4)
    ap.add_argument("--folders", type=int, default=40, help="nested folders in all")
    ap.add_argument("--sigma", type=float, default=1.5, help="log-normal sigma of the sizes")
    ap.add_argument("--engine-share", type=int, default=20,
                    help="payload files per engine container of the update (default 20)")
    ap.add_argument("--engine-mib", type=int, default=25, help="size of the engine files in all")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--settle", type=float, default=45,
                    help="least wait in seconds after bulk deletes before a timed run")
    ap.add_argument("--settle-max", type=float, default=120)
    ap.add_argument("--no-phases", action="store_true",
                    help="skip the extra /TEST run per size and step that times the log's steps")
    ap.add_argument("--extra", action="store_true",
                    help="also measure the explanatory rows (the one-thread floors among them)")
    ap.add_argument("--no-peers", action="store_true", help="leave out the NSIS and MSI installers")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--json", type=Path, help="also write the figures here")
    ap.add_argument("--tables-from", metavar="JSON,...",
                    help="measure nothing: print the tables of earlier --json files together "
                    "(sizes measured in separate runs)")
    args = ap.parse_args(argv)
    if args.tables_from:
        return tables_from(args.tables_from.split(","), args.extra, not args.no_peers)
    steps = [s for s in STEPS if s in args.steps.split(",")]
    if not steps or len(steps) != len(args.steps.split(",")):
        raise SystemExit(f"--steps: choose from {', '.join(STEPS)}")

    if not args.no_build:
        build()
    if not args.no_peers:
        bootstrap_peers()
    USE_PERF = perf_works()
    # The run uses one copy of setup.exe throughout, whatever is rebuilt meanwhile.
    CACHE.mkdir(parents=True, exist_ok=True)
    # Replaced, not overwritten: a run that is going on may be copying the previous one.
    staged = SETUP_COPY.with_name(f"setup.{os.getpid()}.exe")
    shutil.copy(SETUP, staged)
    os.replace(staged, SETUP_COPY)
    TOOL_COPIES.mkdir()
    for tool in ("zsbtime.exe", "zsbunrar.exe", "zsbcopy.exe", "zsbfloor.exe"):
        shutil.copy(BENCH_TOOLS / tool, TOOL_COPIES / tool)
    shutil.copy(winebed.TOOLS / "zsexit.exe", TOOL_COPIES / "zsexit.exe")
    winebed.make_template()
    plans = active_plans(steps, args.extra, not args.no_peers)
    all_sizes = []
    for n in args.sizes.split(","):
        new = Payload(int(n), args.mib, args.seed, args.components, args.folders, args.sigma)
        eng = Payload(int(n), args.engine_mib, args.seed, args.components, args.folders,
                      args.sigma, 0, max(1, int(n) // args.engine_share))
        all_sizes.append(Sizes(new, new.build(), eng, eng.build()))
    staged_names = {name for p in plans for name in p.stage}
    for sz in all_sizes:
        for name, payload in (("pkg", sz.new), ("old", sz.old), ("eng", sz.eng),
                              ("eng_old", sz.eng_old)):
            # The floors and the install always need the package measured.
            if name in staged_names or name == "pkg":
                prepare(payload)
        for payload, suffix in ((sz.new, ""), (sz.old, "_old")):
            keys = [k for k in PEER_BUILDS if k + suffix in staged_names]
            if keys:
                prepare_peers(payload, keys)
    info = machine()
    say(f"machine: {info}")
    settle_s = (args.settle, max(args.settle, args.settle_max))
    start = time.monotonic()
    times = measure(all_sizes, args.runs, settle_s, plans, steps)
    sizes = [sz.files for sz in all_sizes]
    tables = {}
    for step in steps:
        tables[step] = table(times, sizes, plans, step)
        say(f"\n{STEP_TITLES[step]}: medians of {args.runs} run(s), seconds from process creation "
            f"to exit (min–max):\n")
        say(tables[step])
    if USE_PERF:
        for step in steps:
            tables[step + "/cpu"] = table(times, sizes, plans, step, "cpu")
            say(f"\n{STEP_TITLES[step]}: processor time of each run's processes and the prefix's "
                f"wineserver, medians of {args.runs} run(s) (min–max); the goals are for the wall "
                "clock:\n")
            say(tables[step + "/cpu"])
        say("\nOurs (medians, seconds): wall clock, processor time, and what the machine's other "
            "users took meanwhile:\n")
        tables["ours/cpu"] = cpu_table(times, sizes, plans, steps)
        say(tables["ours/cpu"])
    profile = {}
    if not args.no_phases:
        for sz in all_sizes:
            for plan in plans:
                for x in plan.items:
                    if isinstance(x, Subject) and x.role == "ours" and x.step in steps and x.log:
                        rows = phases(sz, plan, x, settle_s)
                        profile[f"{x.key}/{sz.files}"] = rows
                        print_phases(sz.files, x, rows)
    shutil.rmtree(TOOL_COPIES, ignore_errors=True)
    say(f"\nmeasured in {(time.monotonic() - start) / 60:.1f} min; load at the end "
        f"{load_average():.1f}")
    if args.json:
        plain = {k: {n: [vars(t) for t in v] for n, v in per.items()} for k, per in times.items()}
        args.json.write_text(json.dumps({"machine": info, "args": vars(args) | {"json": None},
                                         "times": plain, "tables": tables,
                                         "phases": profile}, indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
