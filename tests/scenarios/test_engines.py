"""Engine files in update containers under Wine: where containers are looked for, their
installation, builds and commit at the restart, and containers that must fail."""

import shutil

from setup_runs import DOUBLES, PRODUCT, Run, build, lib, temp_folder, zspack

COMPONENTS = [{"name": "core", "display": "Core", "build": "10000001", "exe": [lib("core.dll")],
               "files": [{"content": "core", "name": "core.txt"}]}]


def package(engines, data=None):
    m = {"language": "ENGLISH", "components": COMPONENTS, "engines": engines}
    if data:
        m["data"] = data
    return m


def test_engines_found_installed_registered_and_committed(bed):
    engines = [
        {"file": "scan.upd", "content": "scan engine 1", "filename": "scan.dat", "build": 7,
         "buildregname": "ScanBuild"},
        {"file": "nameless.upd", "content": "no file name", "build": 3,
         "buildregname": "NamelessBuild"},
    ]
    folder = build(bed, package(engines))
    # A container with the same name on a disk is never looked at.
    (bed.c / "disk2").mkdir()
    (bed.c / "disk2" / "scan.upd").write_bytes(b"not a container")
    run = Run(bed, folder)
    assert run("/SILENTMODE", "/TEST") == 3010
    install = bed.c / "Program Files" / "Vesk"
    assert (install / "scan.dat").read_text() == "scan engine 1"
    assert not (install / "engine.tmp").exists() and not (install / "nameless.upd").exists()
    components = PRODUCT + r"\InstalledComponents"
    assert int(bed.reg_query(components, "ScanBuild"), 16) == 7
    assert int(bed.reg_query(components, "NamelessBuild"), 16) == 3
    assert run.log().count("EngineFile extracted") == 2
    assert "Engines copied" in run.log()

    # A newer engine installed than the package's: asked interactively, taken silently.
    bed.reg_add(components, "ScanBuild", "9", type="REG_DWORD")
    shutil.copy(DOUBLES / "main.dll", folder / "main.dll")
    assert run(vis="showMsg.19=7\n") == 3010
    assert "showMsg 19 style=36 text=(null) -> 7" in run.journal("vis")
    (folder / "main.dll").unlink()
    # Silently over the installed engine, which another process holds: it waits beside it.
    with bed.hold_file(install / "scan.dat"):
        assert run("/SILENTMODE") == 3010
    assert (install / "scan.dat").read_text() == "scan engine 1"
    assert int(bed.reg_query(components, "ScanBuild"), 16) == 7
    # An update run starts without a pending restart; the engine waiting for one sets it.
    (folder / "scan.upd").write_bytes(zspack.update_container(b"scan engine 2", "scan.dat", 8,
                                                              "ScanBuild"))
    assert run("/SILENTMODE", "/UPDATE", "/FORCEOLD") == 3010
    bed.restart()
    assert (install / "scan.dat").read_text() == "scan engine 2"
    assert not list(install.glob("_*"))


def test_disks_searched_for_containers(bed):
    engines = [{"file": "one.upd", "content": "1", "filename": "one.dat", "disk": 3},
               {"file": "two.upd", "content": "2", "filename": "two.dat", "disk": 4}]
    folder = build(bed, package(engines, {"pieces": 2}))
    run = Run(bed, folder)
    # The first is looked for on disk 2 (the last data disk), then disk 3; the next on disk 2,
    # then on disk 4.
    assert run("/SILENTMODE", cwd=folder) == 3010
    install = bed.c / "Program Files" / "Vesk"
    assert (install / "one.dat").read_text() == "1" and (install / "two.dat").read_text() == "2"
    # The second one on disk 3 is not found after the first came from there.
    shutil.move(folder.parent / "disk4" / "two.upd", folder.parent / "disk3" / "two.upd")
    assert run("/SILENTMODE", cwd=folder) == 202


def test_containers_that_fail(bed):
    base = [{"file": "scan.upd", "content": "x", "filename": "scan.dat"}]
    folder = build(bed, package(base))
    run = Run(bed, folder)
    work = temp_folder(bed) / "ZSetup"
    for blob in (zspack.update_container(b"payload", "scan.dat", crc=1),
                 zspack.update_container(b"payload", "..\\evil.dat"),
                 zspack.update_container(b"payload", "Nul.dat"),
                 zspack.update_container(b"payload", "scan.dat", filesize=-1)):
        (folder / "scan.upd").write_bytes(blob)
        assert run("/SILENTMODE", "/TEST") == 106
        assert "Exitcode: 106 EE" in run.log()
        assert not (work.parent / "evil.dat").exists()
    # A container whose CRC has its top bit set (written unsigned) is fine.
    payload = b"hello"
    (folder / "scan.upd").write_bytes(
        zspack.update_container(payload).replace(b"crc=-", b"crc=").replace(
            b"crc=" + str(2**32 - 0x3610A686).encode(), b"crc=" + str(0x3610A686).encode()))
    assert run("/SILENTMODE") == 3010


def test_container_named_like_an_earlier_payload_installs_no_container_bytes(bed):
    # The second container's copy lands on the first one's payload: the run must not install the
    # container in the payload's place, and a failed first installation leaves nothing.
    engines = [{"file": "a.upd", "content": "first", "filename": "a.dat"},
               {"file": "b.upd", "content": "second", "filename": "c.dat"}]
    folder = build(bed, package(engines))  # the package builder refuses the clash itself
    (folder / "a.upd").write_bytes(zspack.update_container(b"first", "b.upd"))
    run = Run(bed, folder)
    assert run("/SILENTMODE", "/TEST") == 111
    assert "Exitcode: 111 CE" in run.log()
    assert not (bed.c / "Program Files" / "Vesk").exists()
