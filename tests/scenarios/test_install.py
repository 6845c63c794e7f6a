"""A full installation under Wine on real packages: files with their statuses, the registry,
the uninstall entry, uninst.xml, files in use replaced at the restart, the version checks, and a
machine left as it was by every failure."""

import datetime
import xml.etree.ElementTree as ET

import winebed
from setup_runs import DOUBLES, PRODUCT, Run, build, lib, temp_folder

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA"
INSTALL = "C:\\Program Files\\Vesk\\"


def manifest(version="1", build_core="10000002", language="ENGLISH", extra_files=(),
             core="core", mail_libs=("mail.dll", "mail2.dll")):
    """Two components: core with a component library that also serves as its user-interface
    library, nested folders and a shared file in the System folder; mail with two libraries."""
    core_files = [
        {"content": f"scanner {version}", "name": "scanner.exe", "target": "%INSTALLDIR%\\scanner.exe"},
        {"content": f"rules {version}", "name": "rules.dat", "target": "%INSTALLDIR%\\Data\\Sub\\rules.dat"},
        {"content": f"shared {version}", "name": "zsshared.dll", "target": "%SYSTEMDIR%\\zsshared.dll"},
    ] + list(extra_files)
    return {
        "title": "ZORVA Antivirus System", "language": language, "required_os": "NT",
        "components": [
            {"name": core, "display": "Core protection", "build": build_core,
             "exe": [lib("core.dll")], "gui": [{"name": "core.dll"}], "files": core_files,
             "folders": ["%INSTALLDIR%\\Data", "%INSTALLDIR%\\Data\\Sub", "%SYSTEMDIR%"]},
            {"name": "mail", "display": "Mail shield", "build": "10000002",
             "exe": [lib(n) for n in mail_libs],
             "files": [{"content": f"mail {version}", "name": "mail.txt"}]},
        ],
    }


def statuses(path):
    root = ET.parse(path).getroot()
    return {e.get("TARGET").lower(): (e.get("STATUS"), e.get("TMP_NAME"))
            for e in root.iter() if e.tag in ("FILE", "DIR") and e.get("TARGET")}


def uninstall_entries(bed):
    root = ET.parse(bed.c / "Program Files" / "Vesk" / "Setup" / "uninst.xml").getroot()
    assert root.tag == "ZORVASETUP" and [c.tag for c in root] == ["UNINSTALL"]
    return [(e.tag, e.get("NAME")) for e in root.find("UNINSTALL/COMMON")]


def long_names(bed, entries):
    """Entry names with Wine's short names made long again, lower-cased."""
    paths = [name for kind, name in entries if kind in ("FILE", "DIR")]
    longs = iter(bed.run(winebed.TOOLS / "zslongname.exe", *paths).stdout.replace("\r", "")
                 .splitlines())
    return {(kind, (next(longs) if kind in ("FILE", "DIR") else name).lower())
            for kind, name in entries}


def test_fresh_install_and_again_over_it_with_a_file_in_use(bed):
    system32 = bed.c / "windows" / "system32"
    (system32 / "zsshared.dll").write_text("shared 0")  # another program's shared library
    keep = "core.dll keep C:\\zs\\\n"
    run = Run(bed, build(bed, manifest("1")))
    assert run("/SILENTMODE", "/TEST", script=keep) == 3010
    install = bed.c / "Program Files" / "Vesk"
    assert (install / "scanner.exe").read_text() == "scanner 1"
    assert (install / "Data" / "Sub" / "rules.dat").read_text() == "rules 1"
    assert (install / "mail.txt").read_text() == "mail 1"
    # The shared file existed: the new one waits beside it for the restart.
    assert (system32 / "zsshared.dll").read_text() == "shared 0"
    after = statuses(run.zs / "global_1.xml")
    assert after[INSTALL.lower() + "scanner.exe"] == ("COPIED", None)
    assert after[INSTALL.lower() + "data\\sub"][0] == "CREATED"
    assert after["c:\\windows\\system32"][0] == "EXISTS"
    shared = after["c:\\windows\\system32\\zsshared.dll"]
    assert shared[0] == "REGISTERED" and shared[1].lower().endswith("\\_sshared.d00")

    # Registry: the layout of the product key and of the uninstall entry.
    today = datetime.date.today()
    info = PRODUCT + r"\Info"
    assert int(bed.reg_query(info, "Date"), 16) == (today.day << 24) + (today.month << 16) + today.year
    assert bed.reg_query(info, "InstallDir") == INSTALL
    assert bed.reg_query(info, "Language") == "ENGLISH"
    core = PRODUCT + r"\InstalledComponents\core"
    assert int(bed.reg_query(core, "Build"), 16) == 0x10000002
    assert bed.reg_query(core, "DispName") == "Core protection"
    assert bed.reg_query(core, "Path") == "00"
    assert bed.reg_query(core, "ExeSetup0") == "core.dll"
    assert bed.reg_query(core, "VisSetup0") == "core.dll"
    mail = PRODUCT + r"\InstalledComponents\mail"
    assert bed.reg_query(mail, "Path") == "01"
    assert bed.reg_query(mail, "ExeSetup1") == "mail2.dll"
    assert bed.reg_query(UNINSTALL_KEY, "DisplayName") == "ZORVA Antivirus System"
    command = f'"{INSTALL}Setup\\setup.exe" /UNINSTALL'
    assert bed.reg_query(UNINSTALL_KEY, "UninstallString") == command
    assert bed.reg_query(UNINSTALL_KEY, "QuietUninstallString") == command + " /SILENTMODE"
    assert bed.reg_query(UNINSTALL_KEY, "DisplayVersion") == "10000002"
    assert bed.reg_query(UNINSTALL_KEY, "Publisher") == "Vesk"
    assert bed.reg_query(UNINSTALL_KEY, "InstallLocation") == INSTALL
    for name in ("TSAware", "NoModify", "NoRepair"):
        assert bed.reg_query(UNINSTALL_KEY, name) == "0x1"
    # The product setup folder: the program and each component's libraries (copied once).
    setup = install / "Setup"
    assert (setup / "setup.exe").exists()
    assert sorted(p.name for p in (setup / "00").iterdir()) == ["core.dll"]
    assert sorted(p.name for p in (setup / "01").iterdir()) == ["mail.dll", "mail2.dll"]
    # uninst.xml: what the product brought, and not the System folder or its shared library.
    entries = long_names(bed, uninstall_entries(bed))
    assert ("FILE", INSTALL.lower() + "scanner.exe") in entries
    assert ("DIR", INSTALL.lower() + "data\\sub") in entries
    assert ("REGKEY", r"hklm\software\vesk\zrv\currentversion") in entries
    assert ("REGKEY_IF_EMPTY", r"hklm\software\vesk") in entries
    assert not any("system32" in name for _, name in entries)
    log = run.log()
    assert log.index("SetupCopyFiles") < log.index("WriteRegistryInfo") < log.index("commitChanges")
    assert not (temp_folder(bed) / "global.xml").exists()

    # Again over itself, with the installed scanner held open by another process.
    bed.restart()
    assert (system32 / "zsshared.dll").read_text() == "shared 1"
    run = Run(bed, build(bed, manifest("2", mail_libs=("mail.dll",)), "pkg2"))
    with bed.hold_file(install / "scanner.exe"):
        assert run("/SILENTMODE", script=keep) == 3010
    installing = statuses(run.zs / "global_3.xml")
    scanner = installing[INSTALL.lower() + "scanner.exe"]
    assert scanner[0] == "PREPARED" and scanner[1].lower().endswith("\\_canner.e00")
    assert statuses(run.zs / "global_1.xml")[INSTALL.lower() + "scanner.exe"][0] == "REGISTERED"
    assert (install / "scanner.exe").read_text() == "scanner 1"
    assert bed.reg_query(core, "Path") == "00" and bed.reg_query(mail, "Path") == "01"
    # One library fewer: the uninstaller must not load the one the package no longer has.
    assert bed.reg_query(mail, "ExeSetup1") is None and bed.reg_query(mail, "ExeSetup0")
    bed.restart()
    assert (install / "scanner.exe").read_text() == "scanner 2"
    assert (install / "Data" / "Sub" / "rules.dat").read_text() == "rules 2"
    assert not list(install.glob("_*"))
    # The entries of the first installation are carried over, each once.
    entries = uninstall_entries(bed)
    assert len(entries) == len(set((k, n.lower()) for k, n in entries))

    # An update run starts without a pending restart; a file it replaces at the restart sets one.
    run = Run(bed, build(bed, manifest("3"), "pkg3"))
    assert run("/SILENTMODE", "/UPDATE") == 3010


def test_every_failure_leaves_the_machine_as_it_was(bed):
    run = Run(bed, build(bed, manifest("1")))
    # Another product of the maker, whose keys a failed installation must leave alone.
    bed.reg_add(r"HKLM\Software\Vesk\Other", "Keep", "1")
    before = bed.snapshot()
    # A component that fails its install command; a file that cannot be copied (its folder is
    # a file); the registry root's first step (the install folder is below a file).
    assert run("/SILENTMODE", script="mail2.dll 3 500\n") == 500
    assert bed.snapshot_diff(before, bed.snapshot()) == []
    # The product's key with its settings but no product: the keys made below it go, it stays.
    bed.reg_add(PRODUCT + r"\Common", "Kept", "1")
    before = bed.snapshot()
    assert run("/SILENTMODE", script="mail2.dll 3 500\n") == 500
    assert bed.snapshot_diff(before, bed.snapshot()) == []
    bed.reg_delete(r"HKLM\Software\Vesk\Zrv")
    before = bed.snapshot()
    blocker = bed.c / "windows" / "system32" / "zsblock"
    blocker.write_text("a file, not a folder")
    before = bed.snapshot()
    bad = manifest("1", extra_files=[{"content": "x", "name": "x.dll",
                                      "target": "%SYSTEMDIR%\\zsblock\\x.dll"}])
    assert Run(bed, build(bed, bad, "bad"))("/SILENTMODE") == 111
    assert bed.snapshot_diff(before, bed.snapshot()) == []
    (bed.c / "zs" / "zorva.xml").write_text(
        '<?xml version="1.0"?>\n<A><SETUP INSTALLPATH="C:\\windows\\system32\\zsblock\\Vesk"/></A>\n')
    assert run("/SILENTMODE", "/TEST", "/CFG=C:\\zs\\zorva.xml") == 111
    assert "Error: WRITING REGISTRY ROOT RRa" in run.log()
    assert bed.snapshot_diff(before, bed.snapshot()) == []
    # A failure after the uninstall entry was written (uninst.xml cannot be made: a folder is in
    # its place) takes the entry away again.
    blocked = bed.c / "Program Files" / "Vesk" / "Setup" / "uninst.xml"
    blocked.mkdir(parents=True)
    before = bed.snapshot()
    assert run("/SILENTMODE", "/TEST") == 116
    assert "WriteRegistryInfo" not in run.log()
    assert bed.snapshot_diff(before, bed.snapshot()) == []
    blocked.rmdir()
    before = bed.snapshot()
    # The setup dialog declined through the visual library.
    # The dialog's library finds the component's user-interface library, which shares the
    # component library's file, with that library's module.
    (run.folder / "main.dll").write_bytes((DOUBLES / "main.dll").read_bytes())
    assert run(vis="showSetupdlg=2\njournalGuiLibs=1\n") == 3010
    assert "guiLib core.dll shared=1 module=exe" in run.journal("vis")
    assert bed.snapshot_diff(before, bed.snapshot()) == []
    (run.folder / "main.dll").unlink()

    # A failed upgrade leaves the earlier installation as it was.
    assert run("/SILENTMODE") == 3010
    bed.restart()
    installed = bed.snapshot()
    upgrade = Run(bed, build(bed, manifest("2"), "pkg2"))
    assert upgrade("/SILENTMODE", script="core.dll 3 777\n") == 777
    assert bed.snapshot_diff(installed, bed.snapshot()) == []


def test_version_checks(bed):
    run = Run(bed, build(bed, manifest("1", build_core="10000005")))
    assert run("/SILENTMODE") == 3010
    older = Run(bed, build(bed, manifest("0", build_core="10000004"), "older"))
    assert older("/SILENTMODE") == 108
    (older.folder / "main.dll").write_bytes((DOUBLES / "main.dll").read_bytes())
    assert older(vis="showMsg.108=7\n") == 3010  # asked, and No ends the run
    assert "showMsg 108 style=36 text=(null) -> 7" in older.journal("vis")
    assert older("/SILENTMODE", "/FORCEOLD", "/TEST") == 3010
    assert "SetupCopyFiles" in older.log()
    # An installed component the package does not carry, of another product line than the
    # package's first component; and another language than the installed one.
    line = Run(bed, build(bed, manifest("3", build_core="20000001", core="core2"), "line"))
    assert line("/SILENTMODE") == 115
    bed.reg_add(PRODUCT + r"\Info", "Language", "EN_US")
    assert Run(bed, build(bed, manifest("4", language="GERMAN"), "german"))("/SILENTMODE") == 118
    assert run("/SILENTMODE", "/FORCEOLD") == 3010


def test_windows_9x_family(bed):
    bed.set_win9x("setup.exe")
    def any_os(version):
        return {k: v for k, v in manifest(version).items() if k != "required_os"}

    run = Run(bed, build(bed, any_os("1")))
    assert run("/SILENTMODE") == 3010
    assert bed.reg_query(UNINSTALL_KEY, "TSAware") is None
    assert bed.reg_query(UNINSTALL_KEY, "NoModify") == "0x1"
    wininit = bed.c / "windows" / "wininit.ini"
    run = Run(bed, build(bed, any_os("2"), "pkg2"))
    assert run("/SILENTMODE") == 3010
    text = wininit.read_text().lower()
    assert "[rename]" in text and "_canner.e00" in text
    bed.restart()
    assert (bed.c / "Program Files" / "Vesk" / "scanner.exe").read_text() == "scanner 2"
