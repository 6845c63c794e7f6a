"""The package builder tools/zspack.py: what it writes, and what it refuses (no Wine needed)."""

import json
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))

import zspack  # noqa: E402

EXE = zspack.fake_dll(["exeProc"])
GUI = zspack.fake_dll(["connectVis", "disconnectVis", "exeProc"])


def manifest(**top):
    m = {"title": "ZORVA Système", "required_os": "NT", "install_path": "%PROGRAMFILES%\\Vesk",
         "language": "EN_US", "line": 1,
         "engines": [{"file": "eng.upd", "content": b"engine bytes", "filename": "eng.dat",
                      "build": 0x80000001, "buildregname": "EngBuild"}],
         "components": [
             {"name": "core", "display": "Core <&>", "build": "1A",
              "files": [{"name": "a.txt", "content": b"A" * 5000},
                        {"name": "b.sys", "content": "b", "target": "%DRIVERSDIR%\\b.sys"}],
              "folders": ["%INSTALLDIR%\\Data"],
              "exe": [{"name": "core.dll", "content": GUI, "resource": "core.res",
                       "resource_content": "r"}],
              "gui": [{"name": "core.dll"}],
              "settings": [{"id": 255, "data": {"Level": 60, "Sub": {"Path": "C:\\x"}},
                            "profiles": [{"name": "Mine", "data": {"Off": None}}]}]},
             {"name": "extra", "platform": "XP", "files": [{"name": "e.txt", "content": "e"}],
              "exe": [{"name": "extra.dll", "content": EXE}]}]}
    m.update(top)
    return m


def entries(archive: Path, dest: Path):
    names = subprocess.run(["rar", "lb", str(archive)], capture_output=True, text=True).stdout
    subprocess.run(["rar", "x", "-idq", str(archive), f"{dest}/"], check=True)
    return names.split()


def test_package_round_trip(tmp_path):
    result = zspack.build_package(manifest(), tmp_path / "pkg")
    assert (result.code, result.error, result.folder) == (0, "", tmp_path / "pkg")
    text = (tmp_path / "pkg" / "setup.xml").read_bytes()
    assert text.isascii() and text.startswith(b'<?xml version="1.0"?>\n<ZORVAGLOBALSETUP>\n')
    setup = ET.fromstring(text)
    assert setup.find("DISPLAY").get("TITLE") == "ZORVA Système"
    assert setup.find("SETUP").attrib == {"REQUIRED_OS": "NT", "DAT_CNT": "0",
                                          "INSTALLPATH": "%PROGRAMFILES%\\Vesk"}
    assert [e.get("FILE") for e in setup.findall("ENGINES/ENGINE")] == ["eng.upd"]
    assert [c.get("ARCHIVE") for c in setup.findall("COMPONENTS/COMPONENT")] == [
        "core.rar", "extra.rar"]

    names = entries(tmp_path / "pkg" / "core.rar", tmp_path / "core")
    assert names == ["setupc.xml", "a.txt", "b.sys", "core.dll", "core.res"]
    assert (tmp_path / "core" / "a.txt").read_bytes() == b"A" * 5000
    assert (tmp_path / "core" / "core.dll").read_bytes() == GUI
    core = ET.parse(tmp_path / "core" / "setupc.xml").getroot()
    assert core.find("SETUP").attrib == {"NAME": "core", "BUILD": "1000001A",
                                         "LANGUAGE": "ENGLISH", "PLATFORM": "NT"}
    assert core.find("DISPLAY").get("NAME") == "Core <&>"
    assert [d.get("TARGET") for d in core.findall("FILES/DIR")] == ["%INSTALLDIR%\\Data"]
    assert [f.attrib for f in core.findall("FILES/FILE")] == [
        {"SOURCE": "a.txt", "TARGET": "%INSTALLDIR%\\a.txt"},
        {"SOURCE": "b.sys", "TARGET": "%DRIVERSDIR%\\b.sys"}]
    for kind in ("EXE", "GUI"):
        assert [f.attrib for f in core.findall(f"MODULES/{kind}/FILE")] == [
            {"NAME": "core.dll", "RESOURCE": "core.res" if kind == "EXE" else "unknown"}]
    plugin = core.find("SETTINGS/PLUGIN")
    assert plugin.get("ID") == "FF"
    nodes = [(n.get("NAME"), n.get("VALUE"), n.get("TYPE")) for n in plugin.iter("NODE")]
    assert nodes == [("Level", "3C", "DWORD"), ("Sub", None, "SUBNODE"),
                     ("Path", "C:\\x", "STRING"), ("Config000", None, "SUBNODE"),
                     ("PROFILE_NAME", "Mine", "STRING"), ("Off", None, "EMPTY")]
    entries(tmp_path / "pkg" / "extra.rar", tmp_path / "extra")
    extra = ET.parse(tmp_path / "extra" / "setupc.xml").getroot()
    assert extra.find("SETUP").get("PLATFORM") == "XP"
    assert extra.find("SETUP").get("BUILD") == "10000000"
    assert extra.find("MODULES/GUI") is not None and extra.find("SETTINGS") is None

    # Update container: section, keys, marker, then exactly the payload.
    blob = (tmp_path / "pkg" / "eng.upd").read_bytes()
    info, payload = blob.split(zspack.UPDATE_MARKER)
    assert payload == b"engine bytes" and info.startswith(b"[update_info]\r\n")
    keys = dict(line.split("=") for line in info.decode().split("\r\n")[1:-1])
    assert struct.pack("<i", int(keys.pop("crc"))) == struct.pack("<I", zlib.crc32(payload))
    assert keys == {"filesize": "12", "filename": "eng.dat", "build": str(1 - 2**31),
                    "buildregname": "EngBuild"}


def test_data_pieces_join_back(tmp_path):
    m = manifest(data={"pieces": 3})
    m["engines"][0]["disk"] = 4
    assert zspack.build_package(m, tmp_path / "p").folder == tmp_path / "p" / "disk1"
    assert ET.parse(tmp_path / "p/disk1/setup.xml").find("SETUP").get("DAT_CNT") == "3"
    assert (tmp_path / "p/disk4/eng.upd").exists() and not list(tmp_path.glob("p/disk1/*.rar"))
    data = b"".join((tmp_path / f"p/disk{i}/data{i}.dat").read_bytes() for i in (1, 2, 3))
    count, pos, names = struct.unpack_from("<i", data)[0], 8, []
    for _ in range(count):
        name = data[pos:pos + 200].split(b"\0")[0].decode()
        size = struct.unpack_from("<i", data, pos + 200)[0]
        (tmp_path / name).write_bytes(data[pos + 208:pos + 208 + size])
        names.append(name)
        pos += 208 + size
    assert pos == len(data) and names == ["core.rar", "extra.rar"]
    assert entries(tmp_path / "extra.rar", tmp_path / "x") == ["setupc.xml", "e.txt", "extra.dll"]

    assert zspack.build_package(manifest(data={"disk_size": 1000}), tmp_path / "q").code == 0
    sizes = [p.stat().st_size for p in sorted(tmp_path.glob("q/disk*/data*.dat"))]
    assert len(sizes) > 1 and max(sizes) <= 1000
    assert ET.parse(tmp_path / "q/disk1/setup.xml").find("SETUP").get("DAT_CNT") == str(len(sizes))


def broken(change):
    m = manifest()
    change(m)
    return m


def lib(name, content=EXE):
    return {"name": name, "content": content}


COMP = {"name": "c", "files": [{"name": "c.txt", "content": "c"}]}
REFUSED = {
    "27 components": (lambda m: m.update(components=[dict(COMP, name=f"c{i}") for i in range(27)]),
                      "27 components"),
    "no components": (lambda m: m.update(components=[]), "component list is empty"),
    "11 libraries": (lambda m: m["components"][1].update(exe=[lib(f"l{i}.dll") for i in range(11)]),
                     "11 libraries"),
    "long library": (lambda m: m["components"][1].update(exe=[lib("a" * 16 + ".dll")]),
                     "longer than 19"),
    "resource path": (lambda m: m["components"][0]["exe"][0].update(resource="a\\b"),
                      "not a plain file name"),
    "10 pieces": (lambda m: m.update(data={"pieces": 10}), "10 data pieces"),
    "dot archive": (lambda m: m["components"][1].update(archive=".."), "not a plain file name"),
    "entry colon": (lambda m: m["components"][1]["files"][0].update(name="c:x"), "holds \\"),
    "no exeProc": (lambda m: m["components"][1].update(exe=[lib("x.dll", zspack.fake_dll([]))]),
                   "does not export exeProc"),
    "two languages": (lambda m: m["components"][1].update(language="GERMAN"), "differs"),
    "engine rename": (lambda m: m["engines"][0].update(filename="ENGINE.TMP"), "working folder"),
    "lower variable": (lambda m: m["components"][0]["folders"].append("%installdir%\\x"),
                       "lower case"),
    "too many disks": (lambda m: m.update(data={"disk_size": 100}), "at most 9"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refusals(case, tmp_path, capsys):
    change, words = REFUSED[case]
    m = broken(change)
    for c in m["components"]:  # JSON carries text, not bytes
        for item in c.get("files", []) + c.get("exe", []):
            if isinstance(item, dict) and isinstance(item.get("content"), bytes):
                (tmp_path / item["name"].replace("\\", "_")).write_bytes(item.pop("content"))
                item["source"] = item["name"].replace("\\", "_")
    m["engines"][0]["content"] = "engine"
    (tmp_path / "m.json").write_text(json.dumps(m))
    assert zspack.main([str(tmp_path / "m.json"), str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.startswith("zspack: ") and words in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()
    # The test aid lets the same package through, for the setup program's own refusals.
    if case in ("no components", "11 libraries", "two languages"):
        assert zspack.build_package(m, tmp_path / "out", tmp_path, checked=False).code == 0


def test_broken_archive_aids(tmp_path):
    arc = tmp_path / "evil.rar"
    assert zspack.test_rar(arc, [("good.txt", b"g"), ("..\\evil.txt", b"e")],
                           stub=zspack.FAKE_SFX_STUB) == ""
    assert arc.read_bytes().startswith(zspack.FAKE_SFX_STUB + zspack.RAR5_SIGNATURE)
    tested = subprocess.run(["rar", "t", str(arc)], capture_output=True, text=True)
    assert tested.returncode == 0, tested.stdout  # header CRCs of the patched name hold
    listed = subprocess.run(["rar", "lb", str(arc)], capture_output=True, text=True).stdout
    assert listed.split() == ["good.txt", "../evil.txt"]
