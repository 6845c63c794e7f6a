"""One setup at a time: while an installation runs, a second installation and an uninstallation
end at once with 1618 and change nothing (with dialogs, after a message); the first one
completes, and the product it installed uninstalls to nothing."""

import time

from setup_runs import DOUBLES, PRODUCT, Run, build, lib
from xscreen import Background

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA"
WARNING = "LANG:Warning !"


def manifest():
    files = [{"content": f"file {n}", "name": f"f{n}.txt", "target": f"%INSTALLDIR%\\Data\\f{n}.txt"}
             for n in range(4)]
    return {"language": "ENGLISH", "components": [
        {"name": "core", "display": "Core", "build": "10000001", "exe": [lib("core.dll")],
         "folders": ["%INSTALLDIR%\\Data"], "files": files}]}


def test_runs_started_during_an_installation_end_with_1618(bed, screen):
    before = bed.snapshot()
    run = Run(bed, build(bed, manifest()))
    (run.folder / "mainlang.dll").write_bytes((DOUBLES / "mainlang.dll").read_bytes())
    setup = run.folder / "setup.exe"
    # The runs really overlap: the first one stops inside the component's commit command (its
    # files copied, the product registered) and writes held.txt there; the others start
    # only after that file appeared and before the test writes release.txt, which lets it go on.
    first = Background(lambda: run("/SILENTMODE", "/TEST", script="core.dll hold 4 C:\\zs\\\n"))
    deadline = time.time() + 120
    while not (run.zs / "held.txt").exists():
        assert time.time() < deadline and not first.done(), "the first run never got to hold"
        time.sleep(0.1)
    midway = bed.snapshot()
    assert bed.reg_query(PRODUCT + r"\Info", "InstallDir")

    assert bed.run(setup, "/SILENTMODE", "/TEST", env=run.env).code == 1618
    assert bed.run(setup, "/UNINSTALL", "/SILENTMODE", "/TEST", env=run.env).code == 1618
    # With dialogs: a system message from the language library (no visual library is loaded).
    third = Background(lambda: bed.run(setup, env=run.env).code)
    box = screen.read(WARNING)
    assert "LANG:Another ZORVA setup is running on this computer." in " ".join(box.texts())
    screen.keys(WARNING, "Return")
    assert third.result() == 1618
    assert bed.snapshot_diff(midway, bed.snapshot()) == []
    assert run.journal("vis") == []

    (run.zs / "release.txt").write_text("go")
    assert first.result() == 3010
    log = run.log()
    assert log.count("Error: Another setup is running") == 2
    assert log.count("Exitcode: 1618") == 2
    # Only the first run reached the components, each command once.
    assert [line.split()[2] for line in run.journal()] == ["0", "2", "3", "4", "1"]
    install = bed.c / "Program Files" / "Vesk"
    assert [(install / "Data" / f"f{n}.txt").read_text() for n in range(4)] == \
        [f"file {n}" for n in range(4)]
    assert (install / "Setup" / "uninst.xml").exists()
    quiet = bed.reg_query(UNINSTALL_KEY, "QuietUninstallString")
    assert quiet == '"C:\\Program Files\\Vesk\\Setup\\setup.exe" /UNINSTALL /SILENTMODE'

    bed.restart()
    assert bed.run(install / "Setup" / "setup.exe", "/UNINSTALL", "/SILENTMODE").code == 3010
    bed.restart()
    assert bed.snapshot_diff(before, bed.snapshot()) == []
