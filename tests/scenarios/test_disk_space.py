"""Disk space, known before anything is written: a package that does not fit the install folder's
drive or the temporary folder's ends with 112 and a log line naming the drive, what is needed and
what is free, with nothing extracted or installed; a person sees what is needed and free in the
setup dialog, for the folder as it is typed, and cannot pick a drive that is too small.

The small drive is a tmpfs of a fixed size mounted for the test and linked into the prefix's drive
letters, the way Wine maps a drive: the setup asks the system for its real free space, as it
would on Windows, and nothing in the program is told to pretend."""

import contextlib
import json
import os
import re
import subprocess

import winebed
from setup_runs import temp_folder
from test_ui import (DRIVER, END, FOLDER, SAMPLE, SETUP, TITLE, UI, message, zspack)
from xscreen import Background

MB = 1 << 20
SPACE = 1005  # the setup dialog's space line (src/ui/resource.h)
INFO = r"HKLM\Software\Vesk\Zrv\CurrentVersion\Info"


@contextlib.contextmanager
def small_drive(bed, size):
    """Drive T: of the bed: a volume of size bytes."""
    mount = bed.root / "small"
    mount.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount)], check=True)
    (bed.prefix / "dosdevices" / "t:").symlink_to(mount)
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=True)


@contextlib.contextmanager
def temporary_folder_on(bed, folder):
    """The user's temporary folder moved to folder, as the user's environment settings do."""
    saved = {name: bed.reg_query(r"HKCU\Environment", name) for name in ("TEMP", "TMP")}
    for name in saved:
        bed.reg_add(r"HKCU\Environment", name, folder, type="REG_EXPAND_SZ")
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                bed.reg_delete(r"HKCU\Environment", name)
            else:
                bed.reg_add(r"HKCU\Environment", name, value, type="REG_EXPAND_SZ")


def free(mount) -> int:
    """What the running account may still write there, as the system reports it."""
    stat = os.statvfs(mount)
    return stat.f_bavail * stat.f_frsize


def package(bed, name, payload=3 * MB, build="10000120"):
    """The sample product with an incompressible file of payload bytes, with its dialogs."""
    manifest = json.loads((SAMPLE / "manifest.json").read_text())
    for component in manifest["components"]:
        component["build"] = build
    manifest["components"][1]["files"].append({"name": "big.dat", "content": os.urandom(payload)})
    built = zspack.build_package(manifest, bed.c / name, base=SAMPLE, setup=DRIVER / "setup.exe",
                                 main=UI / "main.dll", mainlang=UI / "en" / "mainlang.dll")
    assert built.code == 0, built.error
    return built.folder


def on_disk(size):
    return -(-size // 4096) * 4096


def installed_size(payload):
    """What an installation writes into its folder: the files, the engines, and the program, its
    visual libraries and the component libraries its setup folder keeps."""
    manifest = json.loads((SAMPLE / "manifest.json").read_text())
    sources = [f["source"] for c in manifest["components"] for f in c.get("files", [])]
    sources += [lib[key] for c in manifest["components"] for lib in c.get("exe", []) + c.get("gui", [])
                for key in ("source", "resource_source") if key in lib]
    sources += [e["source"] for e in manifest["engines"]]
    paths = [SAMPLE / s for s in sources] + [DRIVER / "setup.exe", UI / "main.dll",
                                             UI / "en" / "mainlang.dll"]
    return on_disk(payload) + sum(on_disk(p.stat().st_size) for p in paths)


def lines(path):
    return [line.split("] ", 1)[1] for line in path.read_text().splitlines() if "] " in line]


def shortage(log, drive, mount):
    """The run's log line for drive, and the bytes it says are needed."""
    (line,) = [line for line in log if line.startswith("Error: Not enough disk space")]
    found = re.fullmatch(r"Error: Not enough disk space on (\S+): (\d+) bytes needed, "
                         r"(\d+) bytes free", line)
    assert found and found.group(1) == drive, line
    # The working folder and global.xml may lie there during the run, and are gone after it.
    assert free(mount) - 64 * 1024 <= int(found.group(3)) <= free(mount)
    amount = r"[\d.]+ [KM]B"
    assert re.fullmatch(re.escape(f"Exitcode: 112 {drive}: ") + f"{amount} needed, {amount} free",
                        log[-1]), log[-1]
    return int(found.group(2))


def test_silent_runs_that_do_not_fit_end_with_112_before_anything_is_written(bed):
    pkg = package(bed, "pkg")
    log = bed.c / "zs.log"
    temp = temp_folder(bed)
    with small_drive(bed, 6 * MB) as mount:
        # The install folder on a drive too small for the files, on a Windows that asks by the
        # call that knows quotas: the archives are never extracted, nothing lands anywhere.
        (pkg / "zorva.xml").write_text('<ZORVA><SETUP INSTALLPATH="T:\\Tiny\\Vesk" /></ZORVA>')
        (mount / "filler").write_bytes(b"\0" * (4 * MB))
        assert bed.run(pkg / "setup.exe", "/SILENTMODE", "/LOG=C:\\zs.log").code == 112
        run = lines(log)
        assert shortage(run, "T:\\", mount) == installed_size(3 * MB)
        assert "Component added" not in run and not list(temp.glob("zrvtmp*"))
        assert os.listdir(mount) == ["filler"] and not bed.reg_has_key(INFO)

        # The temporary folder on that drive: the archives would not fit there.
        (pkg / "zorva.xml").unlink()
        log.unlink()
        with temporary_folder_on(bed, "T:\\"):
            assert bed.run(pkg / "setup.exe", "/SILENTMODE", "/LOG=C:\\zs.log").code == 112
        assert 3 * MB < shortage(lines(log), "T:\\", mount) < 4 * MB
        assert not list(mount.glob("zrvtmp*")) and not (bed.c / "Program Files" / "Vesk").exists()
        assert not bed.reg_has_key(INFO)

        # Room for one copy: the installation fits, and an upgrade, whose new files wait beside
        # the old ones until the restart, does not; the installed product stays as it was.
        (mount / "filler").unlink()
        (pkg / "zorva.xml").write_text('<ZORVA><SETUP INSTALLPATH="T:\\Vesk" /></ZORVA>')
        assert bed.run(pkg / "setup.exe", "/SILENTMODE").code == 3010
        installed = (mount / "Vesk" / "big.dat").read_bytes()
        newer = package(bed, "newer", build="10000121")
        log.unlink()
        assert bed.run(newer / "setup.exe", "/SILENTMODE", "/LOG=C:\\zs.log").code == 112
        shortage(lines(log), "T:\\", mount)
        assert (mount / "Vesk" / "big.dat").read_bytes() == installed
        assert not [p for p in (mount / "Vesk").iterdir() if p.name.startswith("_")]


def test_the_setup_dialog_shows_the_space_and_refuses_a_drive_too_small(bed, screen):
    pkg = package(bed, "pkg")
    with small_drive(bed, 2 * MB) as mount:
        run = Background(lambda: bed.run(pkg / "setup.exe", "/LOG=C:\\zs.log", cwd=pkg).code)
        dialog = screen.read(SETUP)
        required, available = re.fullmatch(r"Space required: ([\d.]+) MB    Space available: (.+)",
                                           dialog.control(SPACE).text).groups()
        # Shown in tenths, rounded up.
        assert float(required) - 0.1 < installed_size(3 * MB) / MB <= float(required)
        assert re.fullmatch(r"[\d.]+ [MGT]B", available)
        # The line follows the folder as it is typed.
        screen.keys(SETUP, "alt+f")
        screen.type(SETUP, "T:\\Vesk")
        assert screen.read(SETUP).control(SPACE).text.endswith("Space available: 2.0 MB")
        screen.photograph(SETUP, "setup-space", docs="setup-dialog-space.png")
        screen.keys(SETUP, "Return")
        assert "too little free space" in message(screen, TITLE)
        screen.keys(TITLE, "Return")
        # Still in the dialog, nothing written; another folder installs.
        assert screen.read(SETUP).control(FOLDER).text == "T:\\Vesk"
        assert os.listdir(mount) == []
        screen.keys(SETUP, "alt+f")
        screen.type(SETUP, "C:\\Chosen")
        screen.keys(SETUP, "Return")
        screen.keys(END, "alt+r", "Return")
        assert run.result() == 3010
        assert (bed.c / "Chosen" / "big.dat").exists()

        # The temporary folder on the small drive: the message says so before anything happens.
        with temporary_folder_on(bed, "T:\\"):
            run = Background(lambda: bed.run(pkg / "setup.exe", "/LOG=C:\\zs.log", cwd=pkg).code)
            shown = message(screen, TITLE)
            assert "not enough free disk space" in shown and "T:\\: " in shown
            screen.keys(TITLE, "Return")
            assert run.result() == 112
        assert not list(mount.glob("zrvtmp*"))
