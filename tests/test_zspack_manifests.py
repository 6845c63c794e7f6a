"""A seeded property test of the package builder's manifest reading: manifests made by mutating
valid ones at random (values of every JSON type, lists grown past their limits, names that are
long, empty or unsafe, keys added and taken away). For each: the builder never raises; a refused
manifest gets one line and code 2 or 1 and writes nothing; an accepted one describes a package the
setup program reads (checked on the written setup.xml and setupc.xml), and every so often it is
built whole. ZS_MANIFEST_CASES sets the number of manifests (long runs), ZS_MANIFEST_SEED the
first seed."""

import copy
import os
import random
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))

import zspack  # noqa: E402

EXE = zspack.fake_dll(["exeProc"])
GUI = zspack.fake_dll(["connectVis", "disconnectVis", "exeProc"])
SEEDS = [
    {"title": "ZORVA", "required_os": "NT", "install_path": "%PROGRAMFILES%\\Vesk",
     "language": "EN_US", "line": 1, "data": {"pieces": 2},
     "settings": [{"id": "A1", "data": {"Level": 3, "Sub": {"Path": "C:\\x"}}}],
     "engines": [{"file": "eng.upd", "content": "engine", "filename": "eng.dat", "build": 7,
                  "buildregname": "EngBuild"}],
     "components": [
         {"name": "core", "display": "Core", "build": "1A",
          "files": [{"name": "a.txt", "content": "A"}], "folders": ["%INSTALLDIR%\\Data"],
          "exe": [{"name": "core.dll", "content": GUI, "resource": "core.res",
                   "resource_content": "r"}],
          "gui": [{"name": "core.dll"}],
          "settings": [{"id": 255, "data": {"Off": None},
                        "profiles": [{"name": "Mine", "data": {"Deep": 1}}]}]},
         {"name": "mail", "files": [{"name": "m.txt", "content": "m", "target": "C:\\m.txt"}],
          "exe": [{"name": "mail.dll", "content": EXE}]}]},
    {"language": "ENGLISH", "components": [{"name": "only", "exe": [{"name": "o.dll",
                                                                      "content": EXE}]}],
     "data": {"disk_size": 4096}},
]
TEXTS = ["", "a" * 19, "a" * 20, "b" * 100, "x\\y", "x/y", "C:", ".", "..", "CON", "nul.txt",
         "a.", "a ", "\u00e9", "\u4e2d", "\0", "line\nbreak", "%INSTALLDIR%\\" + "d" * 300,
         "%installdir%\\x", "0x1A", "FFFFFFFFF", "-1", "<&\">", "setupc.xml", "data.dat",
         "ENGLISH", "NT", "core.dll", "MZ"]
NUMBERS = [-1, 0, 1, 9, 10, 15, 16, 26, 27, 2**31, 2**32, 10**20]


def any_value(rnd, seed_values):
    kind = rnd.randrange(8)
    if kind == 0:
        return rnd.choice(TEXTS)
    if kind == 1:
        return rnd.choice(NUMBERS)
    if kind == 2:
        return rnd.choice([None, True, False, 1.5])
    if kind == 3:
        return [copy.deepcopy(rnd.choice(seed_values)) for _ in range(rnd.choice([0, 1, 11, 27]))]
    if kind == 4:
        return {rnd.choice(TEXTS + ["name", "content", "source", "id", "data"]): any_value(
            rnd, seed_values) if rnd.random() < 0.3 else rnd.choice(TEXTS)}
    if kind == 5:
        return bytes(rnd.randrange(256) for _ in range(rnd.randrange(80)))
    return copy.deepcopy(rnd.choice(seed_values))


def places(value, out):
    """Every (container, key) in a JSON tree."""
    if isinstance(value, dict):
        for k in list(value):
            out.append((value, k))
            places(value[k], out)
    elif isinstance(value, list):
        for i in range(len(value)):
            out.append((value, i))
            places(value[i], out)
    return out


def mutate(rnd, manifest):
    m = copy.deepcopy(manifest)
    for _ in range(rnd.randrange(1, 4)):
        spots = places(m, [])
        container, key = rnd.choice(spots)
        values = [v for c, k in spots for v in [c[k]]]
        op = rnd.randrange(5)
        if op == 0 and isinstance(container, dict):
            del container[key]
        elif op == 1 and isinstance(container, list):
            container.extend(copy.deepcopy(container[key]) for _ in range(rnd.choice([1, 10, 26])))
        elif op == 2 and isinstance(container, dict):
            container[rnd.choice(TEXTS + ["name", "exe", "gui", "resource", "pieces"])] = \
                any_value(rnd, values)
        else:
            container[key] = any_value(rnd, values)
    return m


def plain(name, limit):
    return (name not in ("", ".", "..") and len(name) <= limit
            and not any(c in name for c in "\\/:"))


def parse(text):
    """The program's reader takes a reference to any character; the one to U+0000 would end a
    text there. The others are made parseable for this check."""
    assert b"&#x0000;" not in text
    return ET.fromstring(re.sub(rb"&#x00[01][0-9A-F];", b"?", text))


def check_accepted(pkg):
    """What the setup program refuses must not be in a package the builder accepts."""
    setup = parse(zspack.xml_text(pkg.root))
    comps = setup.findall("COMPONENTS/COMPONENT")
    assert 1 <= len(comps) <= zspack.MAX_COMPONENTS
    assert all(plain(c.get("ARCHIVE"), 199) for c in comps)
    assert pkg.pieces <= zspack.MAX_PIECES
    languages = set()
    for comp in pkg.components:
        text = zspack.xml_text(comp.setupc)
        assert all(b < 0x80 for b in text)
        desc = parse(text)
        languages.add(desc.find("SETUP").get("LANGUAGE"))
        for kind in ("EXE", "GUI"):
            files = desc.findall(f"MODULES/{kind}/FILE")
            assert len(files) <= zspack.MAX_LIBRARIES
            for f in files:
                assert plain(f.get("NAME"), 19) and plain(f.get("RESOURCE"), 19)
                assert f.get("NAME").lower() in comp.entries
        for name, _ in comp.entries.values():
            assert plain(name, zspack.MAX_ENTRY_NAME)
    assert len(languages) == 1


def test_manifests_at_random(tmp_path):
    cases = int(os.environ.get("ZS_MANIFEST_CASES", "3000"))
    first = int(os.environ.get("ZS_MANIFEST_SEED", "1"))
    built = 0
    for seed in range(first, first + cases):
        rnd = random.Random(seed)
        manifest = mutate(rnd, rnd.choice(SEEDS))
        chk = zspack.Checks(True)
        try:
            pkg = zspack.read_manifest(manifest, tmp_path, chk, {})
            if chk.errors:
                assert "\n" not in chk.errors[0] and "\r" not in chk.errors[0]
            else:
                check_accepted(pkg)
            if rnd.random() < 0.03 or (not chk.errors and built < 3):
                out = tmp_path / f"out{seed}"
                result = zspack.build_package(copy.deepcopy(manifest), out, tmp_path)
                assert result.code in (0, 1, 2) and "\n" not in result.error
                assert (result.code == 0) == out.exists(), result.error
                built += result.code == 0
        except Exception as err:  # noqa: BLE001 - any exception is a finding
            raise AssertionError(f"seed {seed}: {type(err).__name__}: {err}"[:600]) from err
    # Whole packages were made too (rar is there wherever the tests run).
    assert built >= 3
