"""The main job: the sample product installed, installed again over itself, restarted and
uninstalled in a throwaway Wine prefix, step by step, with each run's log.

    scripts/run.sh                  the walk-through on examples/sample
    scripts/run.sh SWITCHES...      one run of setup.exe with those switches on PACKAGE
    PACKAGE=folder scripts/run.sh   a manifest's folder or a built package instead of the sample

Exit status 0 when every step ended as expected and nothing of the product was left."""

import json
import os
import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "testbed"))
sys.path.insert(0, str(ROOT / "tools"))

import winebed  # noqa: E402
import zspack  # noqa: E402

SETUP = winebed.BUILD_WIN / "src" / "driver" / "setup.exe"
# The product's visual library and its language library (ZS_LANGUAGE=de for the German one).
MAIN_DLL = winebed.BUILD_WIN / "src" / "ui" / "main.dll"
MAINLANG_DLL = winebed.BUILD_WIN / "src" / "ui" / os.environ.get("ZS_LANGUAGE", "en") / "mainlang.dll"
PRODUCT = r"HKLM\Software\Vesk\Zrv"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA"


def say(text=""):
    print(text, flush=True)


def section(title):
    say()
    say(f"== {title}")


def prepare(bed, package: Path) -> Path:
    """The package in the prefix: built from its manifest, or copied as it is."""
    target = bed.c / "package"
    manifest = package / "manifest.json"
    if manifest.is_file():
        built = zspack.build_package(json.loads(manifest.read_text()), target, base=package,
                                     setup=SETUP, main=MAIN_DLL, mainlang=MAINLANG_DLL)
        if built.code != 0:
            raise SystemExit(f"package builder: {built.error}")
        return built.folder
    if package.is_dir():
        shutil.copytree(package, target)
    else:
        target.mkdir()
    shutil.copy(SETUP, target / "setup.exe")
    for library in (MAIN_DLL, MAINLANG_DLL):
        if not (target / library.name).exists():
            shutil.copy(library, target / library.name)
    return target


def show_log(path: Path):
    if path.exists():
        say(f"-- {path.name} ({path.parent})")
        for line in path.read_text(errors="replace").splitlines():
            say("   " + line)
        path.unlink()
    else:
        say("(no log)")


def show_tree(folder: Path):
    if not folder.exists():
        say(f"{folder}: (none)")
        return
    for path in sorted(folder.rglob("*")):
        rel = path.relative_to(folder)
        say(f"   {rel}{'/' if path.is_dir() else f'  ({path.stat().st_size} bytes)'}")


def show_registry(bed, key):
    proc = bed.wine("reg", "query", key, "/s")
    text = proc.stdout.replace("\r", "").strip() if proc.returncode == 0 else "(none)"
    for line in text.splitlines():
        say("   " + line)


def run(bed, folder, *switches, expect):
    say("$ setup.exe " + " ".join(switches))
    code = bed.run(folder / "setup.exe", *switches, cwd=str(folder)).code
    say(f"exit code: {code} (expected {expect})")
    return code == expect


def walk_through(bed, package: Path) -> bool:
    folder = prepare(bed, package)
    install = bed.c / "Program Files" / "Vesk"
    ok = True
    before = bed.snapshot()

    section("1. Install silently")
    ok &= run(bed, folder, "/SILENTMODE", "/TEST", expect=3010)
    show_log(folder / "zsetup.log")
    say("Installed files:")
    show_tree(install)
    say("Registry:")
    show_registry(bed, PRODUCT)
    show_registry(bed, UNINSTALL_KEY)
    say("uninst.xml:")
    uninst = install / "Setup" / "uninst.xml"
    for line in (uninst.read_text().splitlines() if uninst.exists() else ["(missing)"]):
        say("   " + line)

    section("2. Install again over itself while another program holds a file")
    held = install / "Data" / "signatures.dat"
    with bed.hold_file(held):
        ok &= run(bed, folder, "/SILENTMODE", "/TEST", expect=3010)
    show_log(folder / "zsetup.log")
    waiting = sorted(p.name for p in install.rglob("_*"))
    say(f"New files waiting beside their targets for the restart: {', '.join(waiting)}")
    ok &= bool(waiting)

    section("3. Restart (simulated)")
    bed.restart()
    left = sorted(p.name for p in install.rglob("_*"))
    say(f"Files still waiting after the restart: {', '.join(left) or 'none'}")
    ok &= not left

    section("4. Uninstall through the registered QuietUninstallString")
    command = bed.reg_query(UNINSTALL_KEY, "QuietUninstallString")
    say(f"QuietUninstallString: {command}")
    program, rest = command[1:].split('" ', 1)
    say(f"$ {command} /TEST")
    code = bed.run(program, raw=rest + " /TEST").code
    say(f"exit code: {code} (expected 3010: the running uninstaller goes at the restart)")
    ok &= code == 3010
    # Run from the product's own folder, which it removes, the uninstaller logs to the temporary
    # folder.
    show_log(next((bed.c / "users").glob("*/Temp")) / "zsetup.log")
    bed.restart()

    section("5. What is left of the product (against the snapshot taken before step 1)")
    diff = bed.snapshot_diff(before, bed.snapshot())
    for line in diff:
        say("   " + line)
    say("nothing" if not diff else f"{len(diff)} differences")
    ok &= not diff
    return ok


def single_run(bed, package: Path, switches) -> bool:
    folder = prepare(bed, package)
    say(f"package: {package}")
    code = bed.run(folder / "setup.exe", *switches, cwd=str(folder)).code
    say(f"command: setup.exe {' '.join(switches)}")
    say(f"exit code: {code}")
    show_log(folder / "zsetup.log")
    return True


def main(argv):
    package = Path(os.environ.get("PACKAGE", ROOT / "examples" / "sample"))
    with winebed.WineBed() as bed:
        ok = single_run(bed, package, argv) if argv else walk_through(bed, package)
    if not argv:
        section("Result: " + ("every step as expected" if ok else "SOMETHING DIFFERED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
