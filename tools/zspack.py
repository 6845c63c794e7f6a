#!/usr/bin/env python3
"""zspack: build a ZORVA setup package from a JSON manifest.

    zspack.py [--setup PATH] [--main PATH] [--mainlang PATH]
              [--sign-cert CERT --sign-key KEY [--sign-timestamp URL]] manifest.json outdir

Writes setup.xml, one RAR archive per component (its files, its setupc.xml and its libraries, all
under plain names), update containers for engines and, when asked, the data pieces. A manifest the
setup program would refuse is refused here with one line on stderr and exit code 2; a failure while
building (rar, unreadable files) gives exit code 1. Nothing is written to outdir unless the whole
package was built. The package folder is printed on stdout.

Signing: with --sign-cert (PEM or DER certificate, with its chain when there is one) and
--sign-key (its unencrypted private key), setup.exe, main.dll, mainlang.dll and every library of
the components (user-interface, component and resource libraries) get an Authenticode signature
(SHA-256) by Debian's osslsigncode before they are packed; --sign-timestamp adds an RFC 3161
timestamp from that server, so the signature stays valid after the certificate expires. A
library that cannot be signed fails the build (exit code 1); the manifest's files to install are
packed as they are.

Manifest (JSON; paths are relative to the manifest's folder; "?" marks optional keys):

    {
      "title": "ZORVA Antivirus System",      ? DISPLAY TITLE (no TITLE when absent)
      "required_os": "NT",                    ? SETUP REQUIRED_OS, text as written ("NT"/"XP": NT)
      "install_path": "%PROGRAMFILES%\\Vesk",  ? SETUP INSTALLPATH template
      "language": "ENGLISH",                  default language of the components: a name of the
                                              language table, or its code (EN_US gives ENGLISH)
      "line": 1,                              ? product line 0-15, the top 4 bits of every build
      "root": "ZORVAGLOBALSETUP",             ? root element name of setup.xml
      "setup_exe": "bin/setup.exe",           ? copied as setup.exe (also main_dll, mainlang_dll)
      "settings": [PLUGIN, ...],              ? the package's SETTINGS
      "data": {"pieces": 2} | {"disk_size": 1457664},   ? split the archives into data pieces
      "engines": [ENGINE, ...],               ?
      "components": [COMPONENT, ...]          1 to 26 of them
    }

    COMPONENT: {
      "name": "core",                         SETUP NAME (compared exactly with installed names)
      "display": "Core protection",           ? DISPLAY NAME (default: the name)
      "build": 26 | "1A",                     ? SETUP BUILD: number, or hexadecimal text (default 0)
      "language": "ENGLISH",                  ? default: the package's
      "platform": "NT",                       ? SETUP PLATFORM (default: the package's required_os)
      "archive": "core.rar",                  ? default: name + ".rar"
      "files": [FILE, ...],                   ? FILES/FILE
      "folders": ["%INSTALLDIR%\\Data"],      ? FILES/DIR TARGET
      "exe": [LIBRARY, ...],                  ? MODULES/EXE/FILE: component libraries (exeProc)
      "gui": [LIBRARY, ...],                  ? MODULES/GUI/FILE: user-interface libraries
      "settings": [PLUGIN, ...]               ? the component's SETTINGS
    }
    FILE: "path" | {"source": "path" | "content": "text", "name": "entry name in the archive"
                    (default: the source's file name), "target": "%INSTALLDIR%\\x.exe" (default:
                    %INSTALLDIR%\\ + name; %WINDOWSDIR%, %SYSTEMDIR%, %DRIVERSDIR% work too)}
    LIBRARY: "path" | {"name": "comp.dll" (default: the source's file name), "source": "path" |
                       "content": "...", "resource": "res.dll" (default "unknown"),
                       "resource_source": "path" | "resource_content": "..."}
             A library without a source must be packed by another entry of the same name.
    PLUGIN: {"id": 255 | "FF", "data": TREE, "profiles": [{"name": "My profile", "data": TREE}]}
            Profiles become the SUBNODE entries Config000, Config001, ... of DATA with PROFILE_NAME.
    TREE: {"Level": 60, "Path": "C:\\x", "Off": null, "Sub": TREE}: numbers are DWORD, texts
          STRING, null EMPTY, objects and lists SUBNODE; or a list of explicit entries
          {"name": "Key", "type": "BINARY", "value": "AAEC", "nodes": TREE} whose value is written
          as the file holds it (Base64 for BINARY and PASS, a number for DWORD).
    ENGINE: {"file": "engine.upd" (ENGINE FILE, the container's name), "source": "path" |
             "content": "...": the payload, "filename": "engine.dat" (the name it is installed
             under in the install folder), "build": 7, "buildregname": "EngineBuild",
             "disk": 3 (the disk folder that carries the container; default the setup folder)}

Layout: without data pieces everything lies in outdir. With data pieces the setup folder is
outdir/disk1 (setup.xml, setup.exe, data1.dat, engines) and piece i lies in outdir/disk<i>; run
setup.exe with disk1 as the current folder, so that ..\\disk<i>\\ finds the other disks.

API: build_package(manifest_dict, outdir, base=".") -> PackResult(error, code, folder); the test
aids at the end of this file make deliberately broken package parts.
"""

from __future__ import annotations

import argparse
import json
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path

MAX_COMPONENTS = 26  # temporary folders zrvtmpa .. zrvtmpz
MAX_LIBRARIES = 10
MAX_LIBRARY_NAME = 19
MAX_PIECES = 9  # one digit in data<i>.dat and ..\disk<i>\
MAX_PROFILES = 64
DATA_NAME_FIELD = 200
# An extraction folder is at least "C:\zrvtmpa\" and the path at most 259 characters.
MAX_ENTRY_NAME = 259 - len("C:\\zrvtmpa\\")
TARGET_VARS = ("%INSTALLDIR%", "%WINDOWSDIR%", "%SYSTEMDIR%", "%DRIVERSDIR%")
LANGUAGES = {"SK": "SLOVAK", "EN_US": "ENGLISH", "SP": "SPANISH", "CZ": "CZECH", "PL": "POLISH",
             "GE": "GERMAN", "EN_FR": "FRANCE", "IT": "ITALIAN", "EN_QT": "QUINTARO"}
SETTING_TYPES = ("EMPTY", "DWORD", "STRING", "BINARY", "SUBNODE", "PASS")
UPDATE_MARKER = b"[update_data]\r\n\x1a\x00"
SETUP_FILES = {"setup_exe": "setup.exe", "main_dll": "main.dll", "mainlang_dll": "mainlang.dll"}


@dataclass
class PackResult:
    error: str = ""  # one line, empty when the package was built
    code: int = 0  # 0 built, 1 building failed, 2 manifest refused
    folder: Path | None = None  # the setup folder: outdir, or outdir/disk1 with data pieces


# ---- XML in the system's written form: ASCII, one space per level, attributes first ----------


class El:
    def __init__(self, name: str, attrs=(), children=None):
        self.name = name
        self.attrs = [(k, v) for k, v in attrs]
        self.children = list(children or [])

    def add(self, child: El) -> El:
        self.children.append(child)
        return child


NAMED_REFERENCES = {"<": "&lt;", ">": "&gt;", "&": "&amp;", "'": "&apos;", '"': "&quot;"}


def xml_escape(text: str) -> str:
    """Every UTF-16 unit outside printable ASCII becomes a numeric reference, as the setup
    program's own writer does."""
    out = []
    raw = text.encode("utf-16-le", "surrogatepass")
    for i in range(0, len(raw), 2):
        unit = raw[i] | raw[i + 1] << 8
        ch = chr(unit)
        if ch in NAMED_REFERENCES:
            out.append(NAMED_REFERENCES[ch])
        elif 0x20 <= unit <= 0x7E:
            out.append(ch)
        else:
            out.append("&#x%04X;" % unit)
    return "".join(out)


def xml_text(root: El) -> bytes:
    lines = ['<?xml version="1.0"?>']

    def put(el: El, depth: int):
        pad = " " * depth
        attrs = "".join(f' {k}="{xml_escape(v)}"' for k, v in el.attrs)
        if el.attrs and not el.children:
            lines.append(f"{pad}<{el.name}{attrs} />")
            return
        lines.append(f"{pad}<{el.name}{attrs}>")
        for child in el.children:
            put(child, depth + 1)
        lines.append(f"{pad}</{el.name}>")

    put(root, 0)
    return ("\n".join(lines) + "\n").encode("ascii")


# ---- Manifest reading -------------------------------------------------------------------------


class Checks:
    """What is wrong with a manifest; the first message is the one reported.

    fail() is for what the builder cannot build; refuse() for what the setup program would refuse,
    which the test aid build_package(..., checked=False) lets through."""

    def __init__(self, strict: bool):
        self.strict = strict
        self.errors: list[str] = []

    def fail(self, msg: str):
        self.errors.append(_one_line(msg))

    def refuse(self, msg: str):
        if self.strict:
            self.errors.append(_one_line(msg))


def _one_line(msg: str) -> str:
    """A message quotes names and keys from the manifest: control characters in them are written
    as escapes, so that it stays the one line it is meant to be."""
    return "".join(c if c >= " " and c != "\x7f" else f"\\x{ord(c):02x}" for c in msg)


_KINDS = {str: "a text", int: "a number", list: "a list", dict: "an object", bool: "true/false"}


def _get(obj: dict, key: str, kinds, chk: Checks, where: str, default=None, required=False):
    value = obj.get(key)
    if value is None:
        if required:
            chk.fail(f"{where}: '{key}' is missing")
        return default
    kinds = kinds if isinstance(kinds, tuple) else (kinds,)
    if isinstance(value, bool) and bool not in kinds or not isinstance(value, kinds):
        chk.fail(f"{where}: '{key}' must be {' or '.join(_KINDS.get(k, 'bytes') for k in kinds)}")
        return default
    if isinstance(value, str) and "\0" in value:
        chk.refuse(f"{where}: '{key}' holds a zero character, where the setup program's text ends")
    return value


def _object(obj, allowed: tuple, chk: Checks, where: str) -> dict:
    if not isinstance(obj, dict):
        chk.fail(f"{where}: must be an object")
        return {}
    for key in obj:
        if key not in allowed:
            chk.fail(f"{where}: unknown key '{key}'")
    return obj


def check_name(name: str, what: str, chk: Checks, limit: int, where: str, written=True):
    """A plain file name; `written` names are files the builder itself creates."""
    if name in ("", ".", "..") or "/" in name or "\0" in name:
        (chk.fail if written else chk.refuse)(f"{where}: {what} '{name}' is not a plain file name")
    elif "\\" in name or ":" in name:
        chk.refuse(f"{where}: {what} '{name}' is not a plain file name (holds \\, / or :)")
    elif any(c in '<>"|?*' or not " " <= c <= "~" for c in name):
        chk.refuse(f"{where}: {what} '{name}' holds a character outside printable ASCII or one "
                   f"that Windows file names cannot hold")
    elif len(name) > limit:
        chk.refuse(f"{where}: {what} '{name}' is longer than {limit} characters")


def _limit(text: str | None, limit: int, what: str, chk: Checks, where: str):
    if text is not None and len(text) > limit:
        chk.refuse(f"{where}: {what} is longer than {limit} characters and would be cut")


def _number(value, bits: int, what: str, chk: Checks, where: str) -> int:
    """A number, or hexadecimal text as the description files hold it."""
    if isinstance(value, str):
        digits = value[2:] if value[:2].lower() == "0x" else value
        if not digits or len(digits) > bits // 4 or any(c not in "0123456789abcdefABCDEF"
                                                         for c in digits):
            chk.fail(f"{where}: {what} '{value}' is not hexadecimal text of {bits} bits")
            return 0
        return int(digits, 16)
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 1 << bits:
        chk.fail(f"{where}: {what} must be a number from 0 to {(1 << bits) - 1}")
        return 0
    return value


@dataclass
class Source:
    path: Path | None = None
    content: bytes | None = None

    def same(self, other: Source) -> bool:
        return self.path == other.path and self.content == other.content

    def read(self) -> bytes:
        return self.content if self.content is not None else self.path.read_bytes()


def _source(obj: dict, key: str, base: Path, chk: Checks, where: str, content_key: str):
    """The file named by obj[key] or the bytes of obj[content_key]; None when neither is given."""
    path = _get(obj, key, str, chk, where)
    content = _get(obj, content_key, (str, bytes), chk, where)
    if path is not None and content is not None:
        chk.fail(f"{where}: give '{key}' or '{content_key}', not both")
    if content is not None:
        return Source(content=content.encode() if isinstance(content, str) else content)
    if path is None:
        return None
    try:
        full = (base / path).resolve()
        readable = full.is_file()
    except (OSError, ValueError, RuntimeError):  # too long, a zero byte, a loop of links
        full, readable = None, False
    if not readable:
        chk.fail(f"{where}: source '{path}' is not a readable file")
        return None
    return Source(path=full)


@dataclass
class Component:
    name: str
    archive: str
    language: str
    setupc: El
    entries: dict = field(default_factory=dict)  # lower-case name -> (name, Source)
    libraries: set = field(default_factory=set)  # lower-case names of the entries loaded as code

    def pack(self, name: str, src: Source, chk: Checks, where: str):
        old = self.entries.get(name.lower())
        if old and old[0] == "setupc.xml":
            chk.fail(f"{where}: '{name}' is the name of the component's description")
        elif old and not old[1].same(src):
            chk.fail(f"{where}: two different files named '{name}' in {self.archive}")
        elif not old:
            self.entries[name.lower()] = (name, src)


@dataclass
class Engine:
    file: str
    payload: Source
    info: dict
    disk: int | None


@dataclass
class Package:
    root: El  # of setup.xml
    components: list
    engines: list
    setup_el: El
    pieces: int  # 0 without data pieces, or when they follow from disk_size
    disk_size: int
    copies: dict  # name in the setup folder -> Path

    @property
    def split(self) -> bool:
        return bool(self.pieces or self.disk_size)


def _settings_name(name: str, chk: Checks, where: str):
    # Entries with longer names are passed over when settings are merged.
    if len(name) > 50:
        chk.refuse(f"{where}: settings name '{name}' is longer than 50 characters")
    if "\0" in name:
        chk.refuse(f"{where}: settings name '{name}' holds a zero character, where the setup "
                   f"program's text ends")


def _tree(tree, chk: Checks, where: str) -> list:
    if isinstance(tree, dict):
        return [_short_node(k, v, chk, where) for k, v in tree.items()]
    if isinstance(tree, list):
        return [_full_node(n, chk, where) for n in tree]
    chk.fail(f"{where}: a settings tree is an object or a list of entries")
    return []


def _short_node(name: str, value, chk: Checks, where: str) -> El:
    _settings_name(name, chk, where)
    if value is None:
        return El("NODE", [("NAME", name), ("TYPE", "EMPTY")])
    if isinstance(value, (dict, list)):
        return El("NODE", [("NAME", name), ("TYPE", "SUBNODE")],
                  _tree(value, chk, f"{where}\\{name}"))
    if isinstance(value, str):
        if "\0" in value:
            chk.refuse(f"{where}: value of '{name}' holds a zero character, where the setup "
                       f"program's text ends")
        return El("NODE", [("NAME", name), ("VALUE", value), ("TYPE", "STRING")])
    dword = _number(value, 32, f"value of '{name}'", chk, where)
    return El("NODE", [("NAME", name), ("VALUE", "%X" % dword), ("TYPE", "DWORD")])


def _full_node(node, chk: Checks, where: str) -> El:
    node = _object(node, ("name", "type", "value", "nodes"), chk, where)
    name = _get(node, "name", str, chk, where, "", required=True)
    kind = _get(node, "type", str, chk, where, "", required=True)
    value = _get(node, "value", (str, int), chk, where)
    _settings_name(name, chk, where)
    if kind.upper() not in SETTING_TYPES:
        chk.refuse(f"{where}: settings type '{kind}' of '{name}' is none of "
                   f"{', '.join(SETTING_TYPES)}")
    if isinstance(value, int):
        value = "%X" % _number(value, 32, f"value of '{name}'", chk, where)
    if kind.upper() in SETTING_TYPES and (value is None) != (kind.upper() in ("EMPTY", "SUBNODE")):
        chk.refuse(f"{where}: entry '{name}' of type {kind} "
                   f"{'lacks' if value is None else 'has'} a value")
    if "nodes" in node and kind.upper() != "SUBNODE":
        chk.refuse(f"{where}: entry '{name}' has child entries but is not a SUBNODE")
    attrs = [("NAME", name)] + ([("VALUE", value)] if value is not None else []) + [("TYPE", kind)]
    return El("NODE", attrs, _tree(node.get("nodes", []), chk, f"{where}\\{name}"))


def _settings(plugins, chk: Checks, where: str) -> El | None:
    if plugins is None:
        return None
    settings = El("SETTINGS")
    seen = set()
    for i, plugin in enumerate(plugins):
        at = f"{where}: plugin {i + 1}"
        plugin = _object(plugin, ("id", "data", "profiles"), chk, at)
        ident = _number(_get(plugin, "id", (int, str), chk, at, 0, True), 32, "plugin id", chk, at)
        if ident in seen:
            chk.refuse(f"{at}: plugin id {ident:X} twice (only the first is used)")
        seen.add(ident)
        data = El("DATA", [], _tree(plugin.get("data", {}), chk, at))
        taken = {n.attrs[0][1].lower() for n in data.children if n.attrs}
        profiles = _get(plugin, "profiles", list, chk, at, [])
        if len(profiles) > MAX_PROFILES:
            chk.refuse(f"{at}: {len(profiles)} profiles (at most {MAX_PROFILES})")
        for j, profile in enumerate(profiles):
            pat = f"{at}: profile {j + 1}"
            profile = _object(profile, ("name", "data"), chk, pat)
            config = "Config%03d" % j
            if config.lower() in taken:
                chk.refuse(f"{pat}: the plugin's data already has an entry '{config}'")
            node = data.add(El("NODE", [("NAME", config), ("TYPE", "SUBNODE")]))
            pname = _get(profile, "name", str, chk, pat)
            if pname is not None:
                _limit(pname, 63, "profile name", chk, pat)
                node.add(El("NODE", [("NAME", "PROFILE_NAME"), ("VALUE", pname),
                                     ("TYPE", "STRING")]))
            node.children += _tree(profile.get("data", {}), chk, pat)
        settings.add(El("PLUGIN", [("ID", "%X" % ident)], [data]))
    return settings


def _target(target: str, chk: Checks, where: str):
    upper = target.upper()
    for var in TARGET_VARS:
        if var in upper and var not in target:
            chk.refuse(f"{where}: target '{target}' spells {var} in lower case, which is not "
                       f"replaced")
    if not (target.startswith(TARGET_VARS) or target[1:3] == ":\\" or target.startswith("\\\\")):
        chk.refuse(f"{where}: target '{target}' is not absolute (begin it with a drive or one of "
                   f"{', '.join(TARGET_VARS)})")


def _library_list(libs, kind: str, comp: Component, base: Path, chk: Checks, where: str):
    """Packs the libraries and returns their FILE elements and (name, required exports)."""
    elements, needs = [], []
    if len(libs) > MAX_LIBRARIES:
        chk.refuse(f"{where}: {len(libs)} libraries under {kind} (at most {MAX_LIBRARIES})")
    for i, lib in enumerate(libs):
        at = f"{where}: {kind} library {i + 1}"
        if isinstance(lib, str):
            lib = {"source": lib}
        lib = _object(lib, ("name", "source", "content", "resource", "resource_source",
                            "resource_content"), chk, at)
        src = _source(lib, "source", base, chk, at, "content")
        default = Path(lib["source"]).name if isinstance(lib.get("source"), str) else None
        name = _get(lib, "name", str, chk, at, default)
        if name is None:
            chk.fail(f"{at}: 'name' is missing")
            continue
        resource = _get(lib, "resource", str, chk, at, "unknown")
        res_src = _source(lib, "resource_source", base, chk, at, "resource_content")
        check_name(name, "library name", chk, MAX_LIBRARY_NAME, at, written=src is not None)
        check_name(resource, "resource name", chk, MAX_LIBRARY_NAME, at, written=bool(res_src))
        if src:
            comp.pack(name, src, chk, at)
        if res_src:
            comp.pack(resource, res_src, chk, at)
        # Also when another entry packs the file: it is loaded as a library all the same.
        comp.libraries.update((name.lower(), resource.lower()))
        elements.append(El("FILE", [("NAME", name), ("RESOURCE", resource)]))
        needs.append((name, ("exeProc",) if kind == "exe" else ("connectVis", "disconnectVis")))
    return elements, needs


def _component(obj, pkg: dict, base: Path, chk: Checks, where: str) -> Component:
    obj = _object(obj, ("name", "display", "build", "language", "platform", "archive", "files",
                        "folders", "exe", "gui", "settings"), chk, where)
    name = _get(obj, "name", str, chk, where, "", required=True)
    where = f"component '{name}'" if name else where
    if not name:
        chk.refuse(f"{where}: the name is empty")
    _limit(name, 49, "name", chk, where)
    display = _get(obj, "display", str, chk, where, name)
    _limit(display, 99, "display name", chk, where)
    build = _number(obj.get("build", 0), 32, "build", chk, where)
    line = pkg["line"]
    if line is not None:
        if build >> 28 and build >> 28 != line:
            chk.refuse(f"{where}: build {build:X} is not of product line {line}")
        build |= line << 28
    language = _get(obj, "language", str, chk, where, pkg["language"])
    if language is None:
        chk.refuse(f"{where}: no language (give 'language' for the package or the component)")
        language = ""
    language = LANGUAGES.get(language.upper(), language.upper())
    if language and language not in LANGUAGES.values():
        chk.refuse(f"{where}: language '{language}' is none of {', '.join(LANGUAGES.values())}")
    platform = _get(obj, "platform", str, chk, where, pkg["required_os"])
    _limit(platform, 19, "platform", chk, where)
    archive = _get(obj, "archive", str, chk, where, f"{name}.rar")
    check_name(archive, "archive name", chk, DATA_NAME_FIELD - 1, where)

    setup_attrs = [("NAME", name), ("BUILD", "%X" % build), ("LANGUAGE", language)]
    setupc = El("ZORVACOMPONENT", [], [El("SETUP", setup_attrs + (
        [("PLATFORM", platform)] if platform is not None else [])),
        El("DISPLAY", [("NAME", display)])])
    comp = Component(name, archive, language, setupc)
    comp.pack("setupc.xml", Source(), chk, where)  # reserved; written when the archive is made

    files = setupc.add(El("FILES"))
    for target in _get(obj, "folders", list, chk, where, []):
        if not isinstance(target, str):
            chk.fail(f"{where}: folders are texts")
            continue
        _target(target, chk, where)
        files.add(El("DIR", [("TARGET", target)]))
    for i, item in enumerate(_get(obj, "files", list, chk, where, [])):
        at = f"{where}: file {i + 1}"
        if isinstance(item, str):
            item = {"source": item}
        item = _object(item, ("source", "content", "name", "target"), chk, at)
        src = _source(item, "source", base, chk, at, "content")
        default = Path(item["source"]).name if isinstance(item.get("source"), str) else None
        entry = _get(item, "name", str, chk, at, default)
        if src is None or entry is None:
            chk.fail(f"{at}: give 'source', or 'content' and 'name'")
            continue
        check_name(entry, "file name", chk, MAX_ENTRY_NAME, at)
        comp.pack(entry, src, chk, at)
        target = _get(item, "target", str, chk, at, "%INSTALLDIR%\\" + entry)
        _target(target, chk, at)
        files.add(El("FILE", [("SOURCE", entry), ("TARGET", target)]))

    modules = setupc.add(El("MODULES"))
    needs = []
    for kind in ("exe", "gui"):
        elements, wanted = _library_list(_get(obj, kind, list, chk, where, []), kind, comp, base,
                                         chk, where)
        modules.add(El(kind.upper(), [], elements))
        needs += wanted
    for lib, exports in needs:
        packed = comp.entries.get(lib.lower())
        if not packed:
            chk.refuse(f"{where}: library '{lib}' is not in {archive}")
            continue
        if packed[0] == "setupc.xml":
            chk.fail(f"{where}: library '{lib}' is the name of the component's description")
            continue
        if not chk.strict or chk.errors:
            continue
        try:
            found = pe_exports(packed[1].read())
        except OSError as err:
            chk.fail(f"{where}: library '{lib}': {err.strerror}")
            continue
        if found is None:
            chk.refuse(f"{where}: library '{lib}' is not a 32-bit Windows library")
        for export in exports:
            if found is not None and export not in found:
                chk.refuse(f"{where}: library '{lib}' does not export {export}")
    settings = _settings(_get(obj, "settings", list, chk, where), chk, where)
    if settings:
        setupc.add(settings)
    return comp


def _engines(items, base: Path, chk: Checks) -> list:
    engines = []
    for i, item in enumerate(items):
        where = f"engine {i + 1}"
        item = _object(item, ("file", "source", "content", "filename", "build", "buildregname",
                              "disk"), chk, where)
        name = _get(item, "file", str, chk, where, "", required=True)
        check_name(name, "container name", chk, 49, where)
        payload = _source(item, "source", base, chk, where, "content")
        if payload is None:
            chk.fail(f"{where}: give the payload as 'source' or 'content'")
        filename = _get(item, "filename", str, chk, where)
        if filename is not None:
            check_name(filename, "file name", chk, 49, where, written=False)
        regname = _get(item, "buildregname", str, chk, where)
        _limit(regname, 31, "buildregname", chk, where)
        build = item.get("build")
        build = None if build is None else _number(build, 32, "build", chk, where)
        disk = _get(item, "disk", int, chk, where)
        info = {"filename": filename, "build": build, "buildregname": regname}
        engines.append(Engine(name, payload or Source(content=b""), info, disk))
    return engines


def _check_engine_places(pkg: Package, pieces: int, chk: Checks):
    """A container not in the setup folder (disk 1) is looked for on the last data disk, then on
    the disk after the last one used; one anywhere else is never found."""
    last = pieces
    for eng in pkg.engines:
        if eng.disk is None or pieces and eng.disk in (1, pieces):
            continue
        if not pieces:
            chk.refuse(f"engine '{eng.file}': a disk is given but the package has no data pieces")
        elif eng.disk == last + 1:
            last += 1
        else:
            chk.refuse(f"engine '{eng.file}': disk {eng.disk} is never searched for it (the setup "
                       f"folder, disk {pieces} and then disk {last + 1} are)")


def _check_working_folder(pkg: Package, chk: Checks):
    """Engine payloads are renamed in the working folder, where a rename onto a present name
    fails: the containers, engine.tmp, data.dat and the split archives lie there."""
    taken = {e.file.lower(): "an engine container" for e in pkg.engines}
    taken["engine.tmp"] = "the payload being handled"
    if pkg.split:
        taken["data.dat"] = "the joined data"
        taken.update({c.archive.lower(): "an archive from data.dat" for c in pkg.components})
    for eng in pkg.engines:
        filename = eng.info["filename"]
        if filename and filename.lower() in taken:
            chk.refuse(f"engine '{eng.file}': file name '{filename}' is already "
                       f"{taken[filename.lower()]} in the working folder")
        elif filename:
            taken[filename.lower()] = "another engine's file"


def read_manifest(manifest, base: Path, chk: Checks, copies: dict) -> Package:
    m = _object(manifest, ("title", "required_os", "install_path", "language", "line", "root",
                           "components", "engines", "settings", "data", *SETUP_FILES), chk,
                "manifest")
    title = _get(m, "title", str, chk, "manifest")
    _limit(title, 99, "title", chk, "manifest")
    line = _get(m, "line", int, chk, "manifest")
    if line is not None and not 0 <= line <= 15:
        chk.fail("manifest: 'line' is a product line from 0 to 15")
    pkg = {"line": line, "language": _get(m, "language", str, chk, "manifest"),
           "required_os": _get(m, "required_os", str, chk, "manifest")}
    root = El(_get(m, "root", str, chk, "manifest", "ZORVAGLOBALSETUP"))
    if not root.name or len(root.name) > 49 or not all(c.isascii() and (c.isalnum() or c == "_")
                                                       for c in root.name):
        chk.fail(f"manifest: root '{root.name}' is not an element name (letters, digits, _)")
    root.add(El("DISPLAY", [("TITLE", title)] if title is not None else []))
    setup = root.add(El("SETUP", [("REQUIRED_OS", pkg["required_os"])]
                        if pkg["required_os"] is not None else []))
    install = _get(m, "install_path", str, chk, "manifest")
    if install is not None:
        setup.attrs.append(("INSTALLPATH", install))

    data = _object(m.get("data", {}), ("pieces", "disk_size"), chk, "manifest: data")
    pieces = _get(data, "pieces", int, chk, "manifest: data", 0)
    disk_size = _get(data, "disk_size", int, chk, "manifest: data", 0)
    if pieces < 0 or disk_size < 0 or pieces and disk_size:
        chk.fail("manifest: data is either {\"pieces\": N} or {\"disk_size\": bytes}, above 0")
    if pieces > MAX_PIECES:
        chk.refuse(f"manifest: {pieces} data pieces (at most {MAX_PIECES})")

    components = _get(m, "components", list, chk, "manifest", [])
    if not components:
        chk.refuse("manifest: the component list is empty")
    if len(components) > MAX_COMPONENTS:
        chk.refuse(f"manifest: {len(components)} components (at most {MAX_COMPONENTS})")
    comps = [_component(c, pkg, base, chk, f"component {i + 1}") for i, c in enumerate(components)]
    names = set()
    for comp in comps:
        if comp.name in names:
            chk.refuse(f"component '{comp.name}': the name is used twice")
        names.add(comp.name)
        if comp.language != comps[0].language:
            chk.refuse(f"component '{comp.name}': language {comp.language} differs from "
                       f"{comps[0].language} of the first component")
    engines = _engines(_get(m, "engines", list, chk, "manifest", []), base, chk)
    if engines:
        root.add(El("ENGINES", [], [El("ENGINE", [("FILE", e.file)]) for e in engines]))
    root.add(El("COMPONENTS", [], [El("COMPONENT", [("ARCHIVE", c.archive)]) for c in comps]))
    settings = _settings(_get(m, "settings", list, chk, "manifest"), chk, "manifest")
    if settings:
        root.add(settings)

    for key, name in SETUP_FILES.items():
        if name not in copies:
            path = _get(m, key, str, chk, "manifest")
            if path is None:
                continue
            copies[name] = (base / path).resolve()
        if not Path(copies[name]).is_file():
            chk.fail(f"manifest: {name} '{copies[name]}' is not a readable file")
    package = Package(root, comps, engines, setup, pieces, disk_size, copies)
    # Archives and containers share the setup folder, the disks and the working folder.
    seen = {"setup.xml": "setup.xml", **{n: n for n in copies}}
    if package.split:
        seen.update({"data%d.dat" % (i + 1): "a data piece" for i in range(MAX_PIECES)})
        seen["data.dat"] = "data.dat"
    for name, what in [(c.archive, "archive") for c in comps] + [
            (e.file, "engine container") for e in engines]:
        if name.lower() in seen:
            chk.fail(f"{what} '{name}' has the name of {seen[name.lower()]}")
        seen[name.lower()] = f"{what} '{name}'"
    if pieces or not package.split:  # with a disk size the count is known once archives exist
        _check_engine_places(package, pieces, chk)
    _check_working_folder(package, chk)
    return package


# ---- Package parts ----------------------------------------------------------------------------


def update_container(payload: bytes, filename=None, build=None, buildregname=None, *, crc=None,
                     filesize=None, stub=b"", section="[update_info]") -> bytes:
    """An update container; crc, filesize, stub and section override the right values (test aid)."""
    def signed(value):  # any reader of signed 32-bit decimal text gets every bit back
        return None if value is None else value - (value & 0x80000000) * 2

    keys = [("filesize", len(payload) if filesize is None else filesize),
            ("crc", signed(zlib.crc32(payload) if crc is None else crc & 0xFFFFFFFF)),
            ("filename", filename), ("build", signed(build)), ("buildregname", buildregname)]
    text = section + "\r\n" + "".join(f"{k}={v}\r\n" for k, v in keys if v is not None)
    return stub + text.encode("ascii") + UPDATE_MARKER + payload


def data_dat(records, count=None) -> bytes:
    """data.dat from (name, bytes) or (name, bytes, stated size) records. A name is text or raw
    bytes, written into its 200-byte field as it is (test aid: raw names, sizes and counts)."""
    out = [struct.pack("<ii", len(records) if count is None else count, 0)]
    for record in records:
        name, blob = record[0], record[1]
        size = record[2] if len(record) > 2 else len(blob)
        raw = name.encode("ascii") if isinstance(name, str) else name
        out.append(raw[:DATA_NAME_FIELD].ljust(DATA_NAME_FIELD, b"\0"))
        out.append(struct.pack("<ii", size, 0) + blob)
    return b"".join(out)


def write_pieces(folder: Path, data: bytes, pieces: int) -> list:
    """Splits data into pieces of nearly equal size: folder/disk<i>/data<i>.dat."""
    size, extra = divmod(len(data), pieces)
    paths, pos = [], 0
    for i in range(1, pieces + 1):
        end = pos + size + (1 if i <= extra else 0)
        path = folder / f"disk{i}" / f"data{i}.dat"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data[pos:end])
        paths.append(path)
        pos = end
    return paths


def pe_exports(image: bytes):
    """The export names of a 32-bit Windows library image, or None when it is not one."""
    try:
        if image[:2] != b"MZ":
            return None
        pe = struct.unpack_from("<I", image, 60)[0]
        if image[pe:pe + 4] != b"PE\0\0":
            return None
        machine, nsections = struct.unpack_from("<HH", image, pe + 4)
        optsize = struct.unpack_from("<H", image, pe + 20)[0]
        opt = pe + 24
        if machine != 0x14C or struct.unpack_from("<H", image, opt)[0] != 0x10B:
            return None
        if struct.unpack_from("<I", image, opt + 92)[0] < 1:
            return set()
        export_rva = struct.unpack_from("<I", image, opt + 96)[0]
        sections = [struct.unpack_from("<IIII", image, opt + optsize + 40 * i + 8)
                    for i in range(nsections)]

        def offset(rva):
            for vsize, va, rawsize, rawptr in sections:
                if va <= rva < va + max(vsize, rawsize):
                    return rawptr + rva - va
            raise ValueError("address outside the sections")

        if not export_rva:
            return set()
        count, names = struct.unpack_from("<I4xI", image, offset(export_rva) + 24)
        found = set()
        for i in range(count):
            at = offset(struct.unpack_from("<I", image, offset(names) + 4 * i)[0])
            found.add(image[at:image.index(b"\0", at)].decode("ascii", "replace"))
        return found
    except (struct.error, ValueError):
        return None


def make_rar(archive: Path, folder: Path, names: list, extra=()) -> str:
    """Adds folder's files `names` to a new archive in this order; returns an error or ""."""
    if not shutil.which("rar"):
        return "rar not found (Debian package rar)"
    batches, size = [[]], 0
    for name in names:  # several runs append to the archive when the command line grows long
        if size > 100000:
            batches.append([])
            size = 0
        batches[-1].append(name)
        size += len(name) + 1
    for batch in batches:
        cmd = ["rar", "a", "-ep1", "-qo-", "-idq", "-y", *extra, str(archive), "--", *batch]
        run = subprocess.run(cmd, cwd=folder, capture_output=True, text=True)
        if run.returncode:
            last = (run.stderr + run.stdout).strip().splitlines() or ["no output"]
            return f"rar failed ({run.returncode}) on {archive.name}: {last[-1]}"
    return ""


@dataclass
class Signing:
    cert: Path
    key: Path
    timestamp: str | None = None  # an RFC 3161 server's URL


def sign_file(path: Path, signing: Signing) -> str:
    """Gives the PE image at path an Authenticode signature in place; returns an error or ""."""
    tool = shutil.which("osslsigncode")
    if not tool:
        return "osslsigncode not found (Debian package osslsigncode)"
    signed = path.with_name(path.name + ".signed")
    cmd = [tool, "sign", "-certs", str(signing.cert), "-key", str(signing.key), "-h", "sha256",
           "-in", str(path), "-out", str(signed)]
    if signing.timestamp:
        cmd[2:2] = ["-ts", signing.timestamp]
    run = subprocess.run(cmd, capture_output=True, text=True)
    if run.returncode or not signed.is_file():
        signed.unlink(missing_ok=True)
        # Its own words come first; OpenSSL's error stack follows them.
        said = [line.strip() for line in run.stderr.splitlines() + run.stdout.splitlines()
                if line.strip() and ":error:" not in line]
        return f"osslsigncode failed ({run.returncode}) on {path.name}: " + (
            said[0] if said else "no output")
    signed.replace(path)
    return ""


def _stage(pkg: Package, stage: Path, chk: Checks, signing: Signing | None) -> PackResult:
    work = stage / "work"
    setup_dir = stage / "out" / ("disk1" if pkg.split else "")
    setup_dir.mkdir(parents=True)
    archives = []
    for i, comp in enumerate(pkg.components):
        folder = work / str(i)
        folder.mkdir(parents=True)
        names = []
        for name, src in comp.entries.values():
            if name == "setupc.xml":
                (folder / name).write_bytes(xml_text(comp.setupc))
            elif src.path is not None:
                shutil.copyfile(src.path, folder / name)
            else:
                (folder / name).write_bytes(src.content)
            names.append(name)
            if signing and name.lower() in comp.libraries:
                error = sign_file(folder / name, signing)
                if error:
                    return PackResult(error, 1)
        archive = (work if pkg.split else setup_dir) / comp.archive
        error = make_rar(archive, folder, names)
        if error:
            return PackResult(error, 1)
        archives.append(archive)

    pieces = 0
    if pkg.split:
        data = data_dat([(a.name, a.read_bytes()) for a in archives])
        pieces = pkg.pieces or -(-len(data) // pkg.disk_size)
        if pieces > MAX_PIECES:
            chk.refuse(f"manifest: {len(data)} bytes of data make {pieces} pieces of "
                       f"{pkg.disk_size} bytes (at most {MAX_PIECES})")
        if not pkg.pieces:
            _check_engine_places(pkg, pieces, chk)
        if chk.errors:
            return PackResult(chk.errors[0], 2)
        write_pieces(stage / "out", data, pieces)
    pkg.setup_el.attrs.append(("DAT_CNT", str(pieces)))
    (setup_dir / "setup.xml").write_bytes(xml_text(pkg.root))
    for eng in pkg.engines:
        folder = setup_dir if not eng.disk or eng.disk == 1 else stage / "out" / f"disk{eng.disk}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / eng.file).write_bytes(update_container(eng.payload.read(), **eng.info))
    for name, path in pkg.copies.items():
        shutil.copyfile(path, setup_dir / name)
        error = sign_file(setup_dir / name, signing) if signing else ""
        if error:
            return PackResult(error, 1)
    return PackResult(folder=setup_dir)


def build_package(manifest: dict, outdir, base=".", *, setup=None, main=None, mainlang=None,
                  sign: Signing | None = None, checked=True) -> PackResult:
    """Builds the package of a manifest (as parsed from JSON; "content" may also be bytes) into
    outdir, its programs and libraries signed when sign is given. checked=False is a test aid: it
    builds what the setup program would refuse, as long as the builder can make it."""
    chk = Checks(checked)
    copies = {n: p for n, p in (("setup.exe", setup), ("main.dll", main),
                                ("mainlang.dll", mainlang)) if p is not None}
    pkg = read_manifest(manifest, Path(base), chk, copies)
    if chk.errors:
        return PackResult(chk.errors[0], 2)
    outdir = Path(outdir)
    try:
        with tempfile.TemporaryDirectory(prefix="zspack-") as tmp:
            result = _stage(pkg, Path(tmp), chk, sign)
            if result.code:
                return result
            shutil.copytree(Path(tmp) / "out", outdir, dirs_exist_ok=True)
            return PackResult(folder=outdir / result.folder.relative_to(Path(tmp) / "out"))
    except OSError as err:
        return PackResult(f"{err.filename or outdir}: {err.strerror or err}", 1)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="zspack.py", description="Builds a ZORVA setup package "
                                     "from a JSON manifest (format: see the module docstring).")
    parser.add_argument("manifest", type=Path)
    parser.add_argument("outdir", type=Path)
    parser.add_argument("--setup", help="setup.exe to copy into the package")
    parser.add_argument("--main", help="main.dll to copy into the package")
    parser.add_argument("--mainlang", help="mainlang.dll to copy into the package")
    parser.add_argument("--sign-cert", type=Path, help="certificate (PEM or DER) that signs the "
                        "programs and libraries; needs --sign-key")
    parser.add_argument("--sign-key", type=Path, help="the certificate's private key")
    parser.add_argument("--sign-timestamp", metavar="URL", help="RFC 3161 timestamp server")
    args = parser.parse_args(argv)
    signing = None
    if args.sign_cert or args.sign_key or args.sign_timestamp:
        if not (args.sign_cert and args.sign_key):
            print("zspack: give --sign-cert and --sign-key together", file=sys.stderr)
            return 2
        for path in (args.sign_cert, args.sign_key):
            if not path.is_file():
                print(f"zspack: {path} is not a readable file", file=sys.stderr)
                return 2
        signing = Signing(args.sign_cert.resolve(), args.sign_key.resolve(), args.sign_timestamp)
    try:
        manifest = json.loads(args.manifest.read_text(encoding="utf-8"))
    except (OSError, ValueError) as err:
        print(f"zspack: {args.manifest}: {err}", file=sys.stderr)
        return 2
    result = build_package(manifest, args.outdir, args.manifest.resolve().parent,
                           setup=args.setup and Path(args.setup).resolve(),
                           main=args.main and Path(args.main).resolve(),
                           mainlang=args.mainlang and Path(args.mainlang).resolve(),
                           sign=signing)
    if result.code:
        print(f"zspack: {result.error}", file=sys.stderr)
        return result.code
    print(result.folder)
    return 0


# ---- Test aids: deliberately broken package parts for negative tests; the builder never uses
# ---- them. (update_container's overrides and data_dat's raw records above serve the same end.)

FAKE_SFX_STUB = b"MZ" + b"self-extracting stub stand-in\r\n".ljust(1022, b"\0")
RAR5_SIGNATURE = b"Rar!\x1a\x07\x01\x00"


def _vint(buf: bytes, pos: int):
    value = shift = 0
    while True:
        byte = buf[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


def _vint_bytes(value: int) -> bytes:
    out = bytearray()
    while True:
        out.append(value & 0x7F | (0x80 if value > 0x7F else 0))
        value >>= 7
        if not value:
            return bytes(out)


def rar5_rename(blob: bytes, renames: dict) -> bytes:
    """Gives entries new stored names (any bytes rar itself would not store), recomputing each
    header's CRC-32."""
    out, pos = [blob[:len(RAR5_SIGNATURE)]], len(RAR5_SIGNATURE)
    while pos < len(blob):
        start = pos
        size, head = _vint(blob, pos + 4)
        head_end = head + size
        kind, p = _vint(blob, head)
        flags, p = _vint(blob, p)
        data = 0
        if flags & 1:
            _, p = _vint(blob, p)
        if flags & 2:
            data, p = _vint(blob, p)
        end = head_end + data
        if kind == 2:  # file header: flags, size, attributes, [mtime], [crc], method, host, name
            file_flags, p = _vint(blob, p)
            for _ in range(2):
                _, p = _vint(blob, p)
            p += 4 * bool(file_flags & 2) + 4 * bool(file_flags & 4)
            for _ in range(2):
                _, p = _vint(blob, p)
            length, q = _vint(blob, p)
            name = blob[q:q + length].decode("utf-8")
            if name in renames:
                new = renames[name].encode("utf-8")
                header = blob[head:p] + _vint_bytes(len(new)) + new + blob[q + length:head_end]
                sized = _vint_bytes(len(header)) + header
                out.append(struct.pack("<I", zlib.crc32(sized)) + sized + blob[head_end:end])
                pos = end
                continue
        out.append(blob[start:end])
        pos = end
    return b"".join(out)


def test_rar(archive: Path, entries, stub=b"", password=None) -> str:
    """A RAR archive of (name, bytes) entries in this order; bytes None make a folder entry. Names
    are what the Windows RAR reader reports: a backslash is stored as the RAR separator "/", so
    "..\\evil.txt" comes back as "..\\evil.txt". Names rar would not store are written under a
    stand-in and patched. stub bytes go before the signature. Returns an error or ""."""
    with tempfile.TemporaryDirectory(prefix="zspack-rar-") as tmp:
        folder, names, renames = Path(tmp) / "in", [], {}
        folder.mkdir()
        for i, (name, blob) in enumerate(entries):
            stored = name.replace("\\", "/")
            plain = stored not in ("", ".", "..") and "/" not in stored and stored not in names
            disk_name = stored if plain else f"zspatch{i}"
            if not plain:
                renames[disk_name] = stored
            if blob is None:
                (folder / disk_name).mkdir()
            else:
                (folder / disk_name).write_bytes(blob)
            names.append(disk_name)
        target = Path(tmp) / "out.rar"
        error = make_rar(target, folder, names, [f"-p{password}"] if password else [])
        if error:
            return error
        blob = target.read_bytes()
    Path(archive).write_bytes(stub + rar5_rename(blob, renames))
    return ""


test_rar.__test__ = False  # a helper, not a test, when a test module imports it by name


def prepend_stub(archive: Path, stub=FAKE_SFX_STUB):
    """Puts bytes before an archive's signature, as a self-extracting archive has its program."""
    Path(archive).write_bytes(stub + Path(archive).read_bytes())


def fake_dll(exports) -> bytes:
    """A 32-bit library image that names `exports` (not loadable: for the builder's checks)."""
    names = [e.encode() + b"\0" for e in exports]
    base = 0x1000
    table = base + 40
    strings = table + 4 * len(names)
    name_rvas, pos = [], strings
    for n in names:
        name_rvas.append(pos)
        pos += len(n)
    edata = struct.pack("<12xIIIIIII", 0, 1, len(names), len(names), 0, table, 0)
    edata += struct.pack(f"<{len(names)}I", *name_rvas) + b"".join(names)
    optional = bytearray(224)
    struct.pack_into("<H", optional, 0, 0x10B)
    struct.pack_into("<III", optional, 92, 16, base, len(edata))
    section = struct.pack("<8sIIII16x", b".edata", len(edata), base, len(edata), 0x200)
    header = bytearray(b"MZ".ljust(64, b"\0"))
    struct.pack_into("<I", header, 60, 64)
    header += b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x2102)
    header += optional + section
    return bytes(header.ljust(0x200, b"\0")) + edata


if __name__ == "__main__":
    sys.exit(main())
