"""The preparing phase under Wine on packages made by the package builder: global.xml from
setup.xml and the component archives, the component libraries' first commands, the clean-up, and
package content that must not reach outside its folders."""

import shutil
import threading
import time
import xml.etree.ElementTree as ET

import winebed
from setup_runs import PRODUCT, Run, build, component, temp_folder, zspack

MANIFEST = {
    "title": "Zorva & Friends",
    "language": "ENGLISH",
    "required_os": "NT",
    "settings": [{"id": "A1", "data": {"FromPackage": 1}}],
    "components": [
        # "Ã©" in windows-1252 is a valid UTF-8 sequence: only an escaped copy reads back as it is.
        component("core", "Core & \"more\" Ã©", "10000001", ["core.dll"], gui=["core.dll"],
                  settings=[{"id": "A1", "data": {"Level": 3},
                             "profiles": [{"name": "Home", "data": {"Scan": 1}}]}]),
        component("mail", "Mail shield", "10000002", ["mail.dll", "mail2.dll"]),
        component("web", "Web shield", "10000003", ["web.dll"],
                  settings=[{"id": "B2", "data": {"Port": 80}}]),
    ],
}


def test_three_components_prepared_driven_and_cleaned_up(bed):
    run = Run(bed, build(bed, MANIFEST))
    temp = temp_folder(bed)
    # The last component fails command 2: everything before it ran, in array order.
    assert run("/SILENTMODE", "/TEST", script="web.dll 2 500\n") == 500
    commands = [(line.split()[0], line.split()[2]) for line in run.journal()
                if " exeProc " in line]
    assert commands[:8] == [("core.dll", "0"), ("mail.dll", "0"), ("mail2.dll", "0"),
                            ("web.dll", "0"), ("core.dll", "2"), ("mail.dll", "2"),
                            ("mail2.dll", "2"), ("web.dll", "2")]
    assert commands[8:] == [("core.dll", "1"), ("mail.dll", "1"), ("mail2.dll", "1"),
                            ("web.dll", "1")]
    log = run.log()
    for line in ("global.xml created", "Main settings added", "InstallPath added",
                 "LogPath added", "Engines nups", "SetupAddComponentDescToGlobal",
                 "Component added", "Componet libraries", "Cmd:  2 Exelib: Web shield",
                 "Exitcode: 500 Web shield"):
        assert line in log, line
    # Nothing temporary stays: folders, working folder, global.xml.
    assert not list(temp.glob("zrvtmp*")) and not (temp / "global.xml").exists()
    assert not (temp / "ZSetup").exists()

    # An update keeps global.xml and the extraction folders, so their content can be read.
    bed.reg_add(PRODUCT + r"\Info", "InstallDir", "C:\\Apps\\Zorva\\")
    bed.reg_add(PRODUCT + r"\Info", "Language", "EN_US")
    assert run("/SILENTMODE", "/UPDATE", script="web.dll 2 500\n") == 500
    root = ET.parse(temp / "global.xml").getroot()
    assert root.tag == "ZORVASETUP"
    setup = root.find("PACKAGE/SETUP")
    assert setup.get("INSTALLPATH") == "C:\\Apps\\Zorva\\"
    assert root.find("PACKAGE/DISPLAY").get("TITLE") == "Zorva & Friends"
    for letter, comp in zip("abc", root.findall("PACKAGE/COMPONENTS/COMPONENT")):
        setupdir = comp.find("FILES").get("SETUPDIR")
        assert setupdir.endswith(f"\\zrvtmp{letter}\\setupc.xml")
        assert (temp / f"zrvtmp{letter}" / "setupc.xml").exists()
    plugins = {p.get("ID"): p for p in root.findall("SETUPINFO/SETTINGS/PLUGIN")}
    assert sorted(plugins) == ["A1", "B2"]
    a1 = {n.get("NAME"): n for n in plugins["A1"].findall("DATA/NODE")}
    assert a1["Level"].get("VALUE") == "3" and a1["FromPackage"].get("VALUE") == "1"
    assert a1["Config000"].get("TYPE") == "SUBNODE"
    assert plugins["B2"].find("DATA/NODE").get("NAME") == "Port"
    # The library files themselves are gone with the release.
    assert not (temp / "zrvtmpa" / "core.dll").exists()

    # One archive of an installed product: its description is made from the archive's
    # setupc.xml in the setup folder (text escaped) and removed at the end.
    assert run("/SILENTMODE", "/UPDATE", "/TEST", "/NUP=core.rar", script="core.dll 2 501\n") == 501
    assert "OneComponent xml created" in run.log()
    assert "Exitcode: 501 Core & \"more\" Ã©" in run.log()
    title = ET.parse(temp / "global.xml").getroot().find("PACKAGE/DISPLAY").get("TITLE")
    assert title == "Core & \"more\" Ã©"
    assert not (run.folder / "setupc.xml").exists()
    # A file that is no archive ends with 121.
    assert run("/SILENTMODE", "/UPDATE", "/NUP=setup.xml") == 121

    # Folders left by an interrupted run, which the clean-up cannot remove, are used again.
    for leftover in ("ZSetup", "zrvtmpb"):
        (temp / leftover / "sub").mkdir(parents=True, exist_ok=True)
        (temp / leftover / "sub" / "old.txt").write_text("old")
    bed.reg_delete(PRODUCT + r"\Info")
    assert run("/SILENTMODE", script="web.dll 2 500\n") == 500
    assert (temp / "ZSetup" / "sub" / "old.txt").exists()


def test_untrusted_package_content_ends_with_106_and_writes_nothing_outside(bed):
    temp = temp_folder(bed)
    small = {"language": "ENGLISH", "components": [component("core", "Core", "1", ["core.dll"])]}

    # An archive entry that climbs out of the extraction folder.
    folder = build(bed, small, "evil")
    assert zspack.test_rar(folder / "core.rar", [("setupc.xml", b"<X/>"),
                                                 ("..\\evil.txt", b"owned")]) == ""
    run = Run(bed, folder)
    assert run("/SILENTMODE") == 106
    assert not (temp / "evil.txt").exists() and not (bed.c / "evil.txt").exists()
    # A folder entry cannot be written as a file, nor a device's name (Wine, as Windows, opens
    # NUL whatever the folder and extension, so the "extraction" would succeed with no file).
    for entries in ([("sub", None)], [("setupc.xml", b"<X/>"), ("Nul.txt", b"lost")]):
        assert zspack.test_rar(folder / "core.rar", entries) == ""
        assert run("/SILENTMODE") == 106

    # data.dat naming a file outside the working folder.
    pieces = dict(small, data={"pieces": 2})
    folder = build(bed, pieces, "split")
    run = Run(bed, folder)
    for name in ("..\\evil.txt", "aux"):
        data = zspack.data_dat([(name, b"owned"), ("core.rar", b"x")])
        for i, path in enumerate(zspack.write_pieces(folder.parent, data, 2), 1):
            assert path.name == f"data{i}.dat"
        assert run("/SILENTMODE", cwd=folder) == 106
    assert not (temp / "evil.txt").exists()

    # A component list without components, and a library name longer than its field.
    folder = build(bed, small, "empty")
    (folder / "setup.xml").write_text('<?xml version="1.0"?>\n<S><SETUP DAT_CNT="0"/>'
                                      "<COMPONENTS></COMPONENTS></S>\n")
    assert Run(bed, folder)("/SILENTMODE") == 114
    folder = build(bed, small, "longname")
    setupc = (b'<?xml version="1.0"?>\n<C><SETUP NAME="core" LANGUAGE="ENGLISH"/><MODULES><EXE>'
              b'<FILE NAME="a_name_of_twenty_chr.dll"/></EXE></MODULES></C>\n')
    assert zspack.test_rar(folder / "core.rar", [("setupc.xml", setupc)]) == ""
    run = Run(bed, folder)
    assert run("/SILENTMODE", "/TEST") == 109
    assert "Exitcode: 109 a_name_of_twenty_chr.dll" in run.log()

    # The second archive is extracted ahead, beside the first: its fault still comes out in its
    # turn, a fault of the first component comes first, and no extraction folder stays behind.
    two = {"language": "ENGLISH", "components": [component("core", "Core", "1", ["core.dll"]),
                                                 component("mail", "Mail", "2", ["mail.dll"])]}
    folder = build(bed, two, "ahead")
    assert zspack.test_rar(folder / "mail.rar", [("setupc.xml", b"<X/>"),
                                                 ("..\\evil.txt", b"owned")]) == ""
    run = Run(bed, folder)
    assert run("/SILENTMODE", "/TEST") == 106
    log = run.log()
    assert log.count("Component added") == 1, log
    assert any("Can't extract" in line and "mail.rar" in line for line in log), log
    assert zspack.test_rar(folder / "core.rar", [("setupc.xml", setupc)]) == ""
    assert run("/SILENTMODE", "/TEST") == 109
    assert not list(temp.glob("zrvtmp*")) and not (temp / "evil.txt").exists()


def test_self_extracting_stub_and_missing_data_piece(bed):
    small = {"language": "ENGLISH", "components": [component("core", "Core", "1", ["core.dll"])]}
    folder = build(bed, small, "sfx")
    zspack.prepend_stub(folder / "core.rar")
    run = Run(bed, folder)
    # Extraction went through: the library got its commands and the run ended on its answer.
    assert run("/SILENTMODE", script="core.dll 0 321\n") == 321

    folder = build(bed, dict(small, data={"pieces": 2}), "disks")
    piece = folder.parent / "disk2" / "data2.dat"
    saved = bed.root / "data2.dat"
    shutil.move(piece, saved)
    shutil.copy(winebed.BUILD_WIN / "tests" / "doubles" / "main.dll", folder / "main.dll")
    run = Run(bed, folder)
    assert run("/SILENTMODE", cwd=folder) == 202
    # Interactively the disk prompt comes back until the user cancels (the exit path's 0, which a
    # run that is no update reports as 3010)...
    assert run(cwd=folder, vis="showMsg.202=2\n") == 3010
    assert [l for l in run.journal("vis") if l.startswith("showMsg")] == [
        "showMsg 202 style=1 text=(null) -> 2"]
    # ...or until the piece is there: it is then looked for in the current folder.
    result = {}
    (run.zs / "vis_journal.txt").unlink()
    worker = threading.Thread(target=lambda: result.update(
        code=run(cwd=folder, vis="showMsg.202=1\n", script="core.dll 0 321\n")))
    worker.start()
    deadline = time.time() + 60
    while not any("showMsg 202" in l for l in run.journal("vis")) and time.time() < deadline:
        time.sleep(0.2)
    shutil.copy(saved, folder / "data2.dat")
    worker.join(120)
    assert result.get("code") == 321
    assert sum("showMsg 202" in l for l in run.journal("vis")) >= 1


def test_the_last_entry_of_a_name_wins(bed):
    # Entries of one name, in whatever case the file system takes for the same name (also beyond
    # ASCII), leave the last one's bytes, whether a worker writes them or, for an entry over the
    # in-memory limit, the decoding thread. The workers are kept busy so that order matters.
    small = {"language": "ENGLISH", "components": [component("core", "Core", "1", ["core.dll"])]}
    folder = build(bed, small, "names")
    setupc = (b'<?xml version="1.0"?>\n<C><SETUP NAME="core" LANGUAGE="ENGLISH"/><MODULES><EXE>'
              b'<FILE NAME="core.dll"/></EXE></MODULES></C>\n')
    entries = [("setupc.xml", setupc), ("core.dll", (winebed.BUILD_WIN / "tests" / "doubles" /
                                                     "comp.dll").read_bytes())]
    entries += [("\u00e9.txt", b"e%d" % i) for i in range(60)] + [("\u00c9.TXT", b"E last")]
    entries += [("f%04d.txt" % i, b"f") for i in range(1500)]
    entries += [("x.bin", b"old"), ("X.BIN", b"new" + bytes(9 << 20))]
    assert zspack.test_rar(folder / "core.rar", entries) == ""
    bed.reg_add(PRODUCT + r"\Info", "InstallDir", "C:\\Apps\\Zorva\\")
    bed.reg_add(PRODUCT + r"\Info", "Language", "EN_US")
    # An update that a component ends keeps its extraction folder to be read.
    assert Run(bed, folder)("/SILENTMODE", "/UPDATE", script="core.dll 2 500\n") == 500
    # One file per name, under the spelling that created it.
    listed = list((temp_folder(bed) / "zrvtmpa").iterdir())
    files = {p.name.lower(): p for p in listed}
    assert len(files) == len(listed)
    assert files["x.bin"].read_bytes()[:3] == b"new"
    assert files["\u00e9.txt"].read_bytes() == b"E last"
