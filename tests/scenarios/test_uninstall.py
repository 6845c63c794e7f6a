"""Uninstallation under Wine: everything an installation put on the machine goes, files in use
at the restart; an installation over the product keeps the earlier entries; the settings lock;
an install folder the registry names wrongly."""

import shutil

import winebed
from setup_runs import DOUBLES, PRODUCT, Run, build, crc16_xmodem, lib, temp_folder

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA"


def manifest(version, files=("a.txt", "b.txt")):
    return {
        "language": "ENGLISH",
        "components": [
            {"name": "core", "display": "Core", "build": "10000001", "exe": [lib("core.dll")],
             "folders": ["%INSTALLDIR%\\Data", "%INSTALLDIR%\\Data\\Deep"],
             "files": [{"content": f"{n} {version}", "name": n,
                        "target": f"%INSTALLDIR%\\Data\\Deep\\{n}"} for n in files]
             + [{"source": str(DOUBLES / "comp.dll"), "name": "engine.dll"}]},
        ],
    }


def uninstall(bed, *switches, env=None):
    """Runs the registered quiet uninstall command, as an administrator's tool would."""
    command = bed.reg_query(UNINSTALL_KEY, "QuietUninstallString")
    program, rest = command[1:].split('" ', 1)
    raw = " ".join([rest] + list(switches))
    return bed.run(program, raw=raw, env=env).code



def test_uninstall_removes_everything_the_installations_brought(bed):
    # Another product of the maker stays.
    bed.reg_add(r"HKLM\Software\Vesk\Other", "Keep", "1")
    before = bed.snapshot()
    assert Run(bed, build(bed, manifest("1")))("/SILENTMODE") == 3010
    # Over itself, without b.txt: its entry stays in uninst.xml, so the uninstall takes it too.
    run = Run(bed, build(bed, manifest("2", files=("a.txt",)), "pkg2"))
    assert run("/SILENTMODE", script="core.dll keep C:\\zs\\\n") == 3010
    # The run starts from the earlier installation's UNINSTALL section.
    assert "b.txt" in (run.zs / "global_0.xml").read_text().lower()
    text = (bed.c / "Program Files" / "Vesk" / "Setup" / "uninst.xml").read_text().lower()
    assert text.count("b.txt") == 1 and text.count("a.txt") == 1
    bed.restart()
    install = bed.c / "Program Files" / "Vesk"
    assert (install / "Data" / "Deep" / "a.txt").read_text() == "a.txt 2"

    # The uninstaller runs from the product's setup folder: the program itself goes at the
    # restart, and with it the folders.
    assert uninstall(bed) == 3010
    assert not (install / "Data").exists()
    assert bed.reg_query(UNINSTALL_KEY, "UninstallString") is None
    assert not bed.reg_has_key(r"HKLM\Software\Vesk\Zrv")
    bed.restart()
    assert bed.snapshot_diff(before, bed.snapshot()) == []

    # A library in use by another process: deleted at the restart, and its folder with it.
    assert Run(bed, build(bed, manifest("3"), "pkg3"))("/SILENTMODE") == 3010
    bed.restart()
    with bed.hold_file(install / "engine.dll", "load"):
        assert uninstall(bed) == 3010
        assert (install / "engine.dll").exists()
    bed.restart()
    assert not install.exists()
    assert bed.snapshot_diff(before, bed.snapshot()) == []


def test_locked_product_and_damaged_records(bed):
    run = Run(bed, build(bed, manifest("1")))
    assert run("/SILENTMODE") == 3010
    bed.restart()
    bed.reg_add(PRODUCT + r"\Info", "PackageID", str(0x5A0000 | crc16_xmodem("Secret1")),
                type="REG_DWORD")
    install = bed.c / "Program Files" / "Vesk"
    assert uninstall(bed) == 0
    assert uninstall(bed, "/PWD=wrong", "/TEST") == 0
    # The refusal is in the log (in the temporary folder: the program runs from the product's
    # folder), and the password is not.
    log = (temp_folder(bed) / "zsetup.log").read_text()
    assert "Error: Product locked: the password is missing or wrong" in log
    assert "/PWD=***** /TEST" in log and "PWD=wrong" not in log
    assert (install / "Data" / "Deep" / "a.txt").exists()
    # Interactively the password is asked until it is right.
    shutil.copy(DOUBLES / "main.dll", install / "Setup" / "main.dll")
    vis = run.zs / "vis_script.txt"
    # The end dialog declines the restart now; the test restarts below.
    vis.write_text("enterPwd=nope,Secret1\nshowMsg.201=6\nrestartAtEnd=0\n")
    program = install / "Setup" / "setup.exe"
    env = {"ZS_VIS_SCRIPT": "C:\\zs\\vis_script.txt", "ZS_VIS_JOURNAL": "C:\\zs\\vis.txt"}
    assert bed.run(program, "/UNINSTALL", env=env).code == 3010
    assert (run.zs / "vis.txt").read_text().count("enterPwd") == 2
    assert not (install / "Data").exists()
    bed.restart()

    # A silent uninstall with the right password goes on.
    assert run("/SILENTMODE") == 3010
    bed.restart()
    bed.reg_add(PRODUCT + r"\Info", "PackageID", str(0x5A0000 | crc16_xmodem("Secret1")),
                type="REG_DWORD")
    assert uninstall(bed, "/PWD=Secret1") == 3010
    bed.restart()

    # An uninst.xml cut short is never taken as complete: an installation over the product keeps
    # it beside itself and starts afresh.
    assert run("/SILENTMODE") == 3010
    uninst = install / "Setup" / "uninst.xml"
    uninst.write_bytes(uninst.read_bytes()[:-40])
    assert run("/SILENTMODE", "/TEST") == 3010
    assert any(line.startswith("Error: Can't read ") for line in run.log())
    assert (install / "Setup" / "uninst.xml.bad00").exists()
    assert "UNINSTALL" in uninst.read_text()
    # In an install folder of 240 characters the kept name would not fit: it is said, not
    # written past its buffer.
    deep = bed.c / ("L" * 236) / "Setup"
    deep.mkdir(parents=True)
    (deep / "uninst.xml").write_text("<ZORVASETUP><UNINSTALL>")
    bed.reg_add(PRODUCT + r"\Info", "InstallDir", "C:\\" + "L" * 236 + "\\")
    assert run("/SILENTMODE", "/TEST") == 3010
    assert f"Error: Unreadable uninst.xml not kept: C:\\{'L' * 236}\\Setup\\uninst.xml" in run.log()


def test_folders_the_registry_names_wrongly_are_left_alone(bed):
    pkg = bed.c / "pkg"
    pkg.mkdir()
    shutil.copy(winebed.BUILD_WIN / "src" / "driver" / "setup.exe", pkg / "setup.exe")
    run = Run(bed, pkg)
    # An install folder that is a drive's root or a folder of the system's: neither it nor a
    # component's folder below it is emptied (the uninstall ends as usual).
    bed.reg_add(PRODUCT + r"\InstalledComponents\core", "Path", "00")
    for name in ("", "windows", "windows\\system32", "Program Files"):
        folder = bed.c / name.replace("\\", "/")
        (folder / "Setup" / "00").mkdir(parents=True, exist_ok=True)
        (folder / "Setup" / "uninst.xml").write_text(
            '<?xml version="1.0"?>\n<ZORVASETUP><UNINSTALL><COMMON /></UNINSTALL></ZORVASETUP>\n')
        for marker in (folder / "zsmarker.txt", folder / "Setup" / "00" / "zsmarker.txt"):
            marker.write_text("the system's")
        windows_name = "C:\\" + (name + "\\" if name else "")
        bed.reg_add(PRODUCT + r"\Info", "InstallDir", windows_name)
        assert run("/UNINSTALL", "/SILENTMODE", "/TEST") == 3010
        assert f"Error: Install folder not removed: {windows_name}" in run.log()
        assert (folder / "zsmarker.txt").exists(), name
        assert (folder / "Setup" / "00" / "zsmarker.txt").exists(), name
    assert (bed.c / "windows" / "notepad.exe").exists()

    # A component's folder that is no name of ours ("..\..\." leads out of the Setup folder): an
    # installation over the product gives it a new one, and the uninstall loads nothing from it.
    bed.reg_delete(PRODUCT, None)
    pkg = build(bed, manifest("1"), "pkg1")
    assert Run(bed, pkg)("/SILENTMODE") == 3010
    bed.restart()
    bed.reg_add(PRODUCT + r"\InstalledComponents\core", "Path", "..\\..\\.")
    assert Run(bed, pkg)("/SILENTMODE") == 3010
    assert bed.reg_query(PRODUCT + r"\InstalledComponents\core", "Path") == "01"
    bed.restart()
    bed.reg_add(PRODUCT + r"\InstalledComponents\core", "Path", "..\\..\\.")
    shutil.copy(DOUBLES / "comp.dll", bed.c / "Program Files" / "core.dll")
    assert run("/UNINSTALL", "/SILENTMODE", "/TEST") == 3010
    assert "Error: Component folder not used: core ..\\..\\." in run.log()
    assert run.journal() == []


def test_a_folder_that_held_a_persons_files_keeps_them(bed):
    data = bed.c / "Data"
    (data / "Sub").mkdir(parents=True)
    mine = {"thesis.doc": "chapter 1", "desktop.ini": "[.ShellClassInfo]\n",
            "Sub/notes.txt": "mine too"}
    for name, text in mine.items():
        (data / name).write_text(text)
    bed.wine("attrib", "+h", "+s", "C:\\Data\\desktop.ini")
    (bed.c / "zs").mkdir(exist_ok=True)
    (bed.c / "zs" / "admin.xml").write_text('<A><SETUP INSTALLPATH="C:\\Data"/></A>\n')
    run = Run(bed, build(bed, manifest("1")))
    info = PRODUCT + r"\Info"

    def install_and_uninstall(forget_record=False):
        assert run("/SILENTMODE", "/CFG=C:\\zs\\admin.xml") == 3010
        assert (data / "Data" / "Deep" / "a.txt").exists() and (data / "Setup").is_dir()
        assert bed.reg_query(info, "InstallDirCreated") == "0x0"
        if forget_record:  # as an installation older than the record left it
            bed.reg_delete(info, "InstallDirCreated")
        bed.restart()
        assert uninstall(bed, "/TEST") == 3010
        log = (temp_folder(bed) / "zsetup.log").read_text()
        assert "Install folder held files before the installation: C:\\Data\\" in log
        bed.restart()
        left = {p.relative_to(data).as_posix(): p.read_text() for p in data.rglob("*")
                if p.is_file()}
        assert left == mine
        assert sorted(p.name for p in data.iterdir()) == ["Sub", "desktop.ini", "thesis.doc"]
        assert not bed.reg_has_key(PRODUCT)

    install_and_uninstall()
    install_and_uninstall(forget_record=True)

    # A folder that was empty holds nothing of anyone's: it goes whole, with a file the product
    # made there at run time; and so does the default folder of an installation without the record.
    (bed.c / "Empty").mkdir()
    (bed.c / "zs" / "empty.xml").write_text('<A><SETUP INSTALLPATH="C:\\Empty"/></A>\n')
    for folder, switches in ((bed.c / "Empty", ["/CFG=C:\\zs\\empty.xml"]),
                             (bed.c / "Program Files" / "Vesk", [])):
        assert run("/SILENTMODE", *switches) == 3010
        assert bed.reg_query(info, "InstallDirCreated") == "0x1"
        if not switches:
            bed.reg_delete(info, "InstallDirCreated")
        (folder / "scan.log").write_text("the product's")
        bed.restart()
        assert uninstall(bed) == 3010
        bed.restart()
        assert not folder.exists()
