"""Parallel file creation changes nothing observable: a package with a few hundred files installed
with one worker and with the default workers gives the same files, registry, statuses and
uninst.xml; a copy that fails in the middle is rolled back with no alternate file left."""

import hashlib
import xml.etree.ElementTree as ET

import winebed
from setup_runs import PRODUCT, Run, build, lib

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA"


def manifest(extra=()):
    files = []
    for folder in range(8):
        for n in range(40):
            files.append({"content": f"file {folder}/{n} " * (n + 1), "name": f"f{folder}_{n}.dat",
                          "target": f"%INSTALLDIR%\\D{folder}\\S{n % 3}\\f{n}.dat"})
    # The same target twice, and names whose alternates collide ("lib.dll", "xib.dll": "_ib.d00").
    files += [{"content": "first", "name": "dup1.txt", "target": "%INSTALLDIR%\\dup.txt"},
              {"content": "second", "name": "dup2.txt", "target": "%INSTALLDIR%\\dup.txt"},
              {"content": "lib", "name": "lib.dll", "target": "%INSTALLDIR%\\lib.dll"},
              {"content": "xib", "name": "xib.dll", "target": "%INSTALLDIR%\\xib.dll"}]
    folders = ["%INSTALLDIR%\\D{}".format(f) for f in range(8)]
    folders += ["%INSTALLDIR%\\D{}\\S{}".format(f, s) for f in range(8) for s in range(3)]
    return {"language": "ENGLISH", "components": [
        {"name": "core", "display": "Core", "build": "10000001", "exe": [lib("core.dll")],
         "folders": folders, "files": files + list(extra)}]}


def installed_state(bed, run):
    install = bed.c / "Program Files" / "Vesk"
    tree = {str(p.relative_to(install)).lower(): hashlib.sha1(p.read_bytes()).hexdigest()
            for p in install.rglob("*") if p.is_file()}
    registry = {k: v for k, v in bed.snapshot(folders=[]).items()
                if k.startswith("reg:") and "[date]" not in k}
    status = [(e.tag, e.get("TARGET"), e.get("STATUS"), e.get("TMP_NAME"))
              for e in ET.parse(run.zs / "global_3.xml").getroot().iter() if e.get("STATUS")]
    entries = ET.parse(install / "Setup" / "uninst.xml").getroot().find("UNINSTALL/COMMON")
    names = [e.get("NAME") for e in entries]
    longs = bed.run(winebed.TOOLS / "zslongname.exe", *names).stdout.replace("\r", "").splitlines()
    return tree, registry, status, [(e.tag, n.lower()) for e, n in zip(entries, longs)]


def install_twice(bed, workers):
    """A first installation, then one over it with a file in use and files that were changed."""
    env = {"ZS_WORKERS": workers} if workers else {}
    run = Run(bed, build(bed, manifest()))
    run.env.update(env)
    assert run("/SILENTMODE", script="core.dll keep C:\\zs\\\n") == 3010
    install = bed.c / "Program Files" / "Vesk"
    (install / "D1" / "S0" / "f0.dat").write_text("changed by the user")
    with bed.hold_file(install / "D2" / "S1" / "f4.dat"):
        assert run("/SILENTMODE", script="core.dll keep C:\\zs\\\n") == 3010
    return installed_state(bed, run)


def test_serial_and_parallel_installations_are_identical(bed):
    parallel = install_twice(bed, None)
    with winebed.WineBed() as other:
        serial = install_twice(other, "1")
    for got, want in zip(parallel, serial):
        assert got == want
    tree, _, status, _ = parallel
    assert len(tree) > 330 and sum(s[2] == "PREPARED" for s in status) > 320
    assert ("FILE", "C:\\Program Files\\Vesk\\xib.dll", "PREPARED",
            "C:\\Program Files\\Vesk\\_ib.d01") in status


def test_a_copy_failing_midway_is_rolled_back(bed):
    blocker = bed.c / "windows" / "zsblock"
    blocker.write_text("a file where a folder should be")
    run = Run(bed, build(bed, manifest()))
    assert run("/SILENTMODE") == 3010
    bed.restart()  # the second dup.txt waits for it
    before = bed.snapshot()
    bad = manifest([{"content": "x", "name": "x.dll", "target": "%WINDOWSDIR%\\zsblock\\x.dll"}])
    files = bad["components"][0]["files"]
    files.insert(len(files) // 2, files.pop())
    assert Run(bed, build(bed, bad, "bad"))("/SILENTMODE") == 111
    assert bed.snapshot_diff(before, bed.snapshot()) == []
    assert not list((bed.c / "Program Files" / "Vesk").rglob("_*"))
    assert bed.reg_query(PRODUCT + r"\Info", "InstallDir")
