"""Runs setup.exe once in a throwaway Wine prefix and reports its exit code and log."""

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


def main(argv):
    switches = argv or ["/SILENTMODE", "/TEST"]
    package = Path(os.environ.get("PACKAGE", ROOT / "examples" / "package"))
    setup = winebed.BUILD_WIN / "src" / "driver" / "setup.exe"
    # The product's visual library and its language library (ZS_LANGUAGE=de for the German one).
    ui = winebed.BUILD_WIN / "src" / "ui"
    main_dll = ui / "main.dll"
    mainlang_dll = ui / os.environ.get("ZS_LANGUAGE", "en") / "mainlang.dll"
    with winebed.WineBed() as bed:
        target = bed.c / "package"
        manifest = package / "manifest.json"
        if manifest.is_file():
            # A manifest is built into a package with the package builder first.
            built = zspack.build_package(json.loads(manifest.read_text()), target, base=package,
                                         main=main_dll, mainlang=mainlang_dll)
            if built.code != 0:
                print(f"package builder: {built.error}")
                return 2
            target = built.folder
        elif package.is_dir():
            shutil.copytree(package, target)
        else:
            target.mkdir()
        shutil.copy(setup, target / "setup.exe")
        for library in (main_dll, mainlang_dll):
            if not (target / library.name).exists():
                shutil.copy(library, target / library.name)
        print(f"package: {package if package.is_dir() else '(none)'}")
        print(f"command: setup.exe {' '.join(switches)}")
        result = bed.run(target / "setup.exe", *switches, cwd=str(target))
        print(f"exit code: {result.code}")
        log = target / "zsetup.log"
        if log.exists():
            print("---- zsetup.log")
            print(log.read_text(errors="replace").rstrip())
        else:
            print("(no zsetup.log: the log is written only with /TEST)")
        return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
