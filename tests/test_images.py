"""What ships must be a PE32 i386 program that Windows 98 SE and NT 4.0 both load.

Windows refuses to start a program with an import it cannot resolve, so every binary declared with
zs_shipped or zs_check_imports (CMakeLists.txt; listed in build/win/import-checked.txt) may import
only the functions of tests/imports-allowed.txt. Run: python3 -m pytest -q tests/test_images.py
"""

import re
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

import winebed

ALLOWED_FILE = winebed.ROOT / "tests" / "imports-allowed.txt"
SETUP = winebed.BUILD_WIN / "src" / "driver" / "setup.exe"
# Libraries Windows loads from the System folder whatever the search order (tests/imports-allowed.txt
# says why); any other static import would be looked for beside the program first.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"}
# The exceptions: main.dll is loaded only after setup.exe restricted the search to the System
# folder; the sample component's own library lies beside it.
BEYOND_KNOWN = {"main.dll": {"comctl32.dll"}, "zsample.dll": {"zsamplefmt.dll"}}


def objdump(path):
    return subprocess.run(["i686-w64-mingw32-objdump", "-p", str(path)], capture_output=True,
                          text=True, check=True).stdout


def read_allowed(path=ALLOWED_FILE):
    """{dll (lower case): {function: note or None}}; a note marks a 9x stub and its caller."""
    allowed = {}
    section = None
    for number, raw in enumerate(path.read_text().splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        header = re.fullmatch(r"\[(\S+)\]", line)
        if header:
            section = allowed.setdefault(header.group(1).lower(), {})
            continue
        name, _, note = (part.strip() for part in line.partition("!"))
        assert section is not None, f"{path.name}:{number}: function before any [DLL]"
        assert re.fullmatch(r"\w+", name), f"{path.name}:{number}: not a function name: {raw!r}"
        assert name not in section, f"{path.name}:{number}: {name} twice"
        assert "!" not in raw or note, f"{path.name}:{number}: a stub needs its caller's note"
        section[name] = note or None
    return allowed


def read_imports(path):
    """[(dll as written, function)] of the import table; by-ordinal imports as 'ordinal N'."""
    imports = []
    dll = None
    for line in objdump(path).splitlines():
        if "DLL Name:" in line:
            dll = line.split("DLL Name:")[1].strip()
            continue
        fields = line.split()
        if dll and line.startswith("\t") and len(fields) >= 3 and fields[1].isdigit():
            imports.append((dll, f"ordinal {fields[1]}" if fields[2] == "<none>" else fields[2]))
        elif not line.strip():
            dll = None
    return imports


def listed(name):
    """The binaries of a list CMake writes: build/win/shipped.txt or import-checked.txt (a missing
    list stands for itself, so that the test using it fails with its name)."""
    path = winebed.BUILD_WIN / name
    if not path.exists():
        return [path]
    return [Path(line) for line in path.read_text().splitlines() if line.strip()]


def test_allow_list_is_well_formed():
    allowed = read_allowed()
    assert set(allowed) <= KNOWN_DLLS.union(*BEYOND_KNOWN.values()), set(allowed) - KNOWN_DLLS
    assert {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"} <= set(allowed)


def test_every_shipped_binary_has_its_imports_checked():
    shipped = listed("shipped.txt")
    assert SETUP in shipped, shipped
    assert set(shipped) <= set(listed("import-checked.txt"))


@pytest.mark.parametrize("binary", listed("import-checked.txt"), ids=lambda p: p.name)
def test_imports_only_what_windows_98_se_and_nt_4_both_export(binary):
    assert binary.exists(), f"{binary} missing: configure and build build/win first"
    allowed = read_allowed()
    imports = read_imports(binary)
    # A resource-only library imports nothing; otherwise every DLL must have given its functions.
    assert len({dll for dll, _ in imports}) == objdump(binary).count("DLL Name:"), "misread"
    planted = {dll.lower() for dll, _ in imports} - KNOWN_DLLS - BEYOND_KNOWN.get(binary.name, set())
    assert not planted, (
        f"{binary.name} imports {sorted(planted)}: a library that is not a known one is looked "
        "for beside the program first, where anyone may have left one. Load it at run time from "
        "the System folder (src/system/libload.h).")
    beyond = [f"{dll}!{name}" for dll, name in imports
              if name not in allowed.get(dll.lower(), {})]
    assert not beyond, (
        f"{binary.name} imports {', '.join(beyond)}, which tests/imports-allowed.txt does not "
        "allow: Windows 98 SE or NT 4.0 would refuse to start it. Look the function up at run "
        "time with GetProcAddress and a fallback (see FileDecryptIfEncrypted in "
        "src/system/files.cpp), or add it to the list if both systems export it.")


def test_setup_exe_is_a_pe32_gui_program_with_a_static_runtime():
    info = objdump(SETUP)
    assert "file format pei-i386" in info
    assert "Magic\t\t\t010b" in info  # PE32, not PE32+
    assert "Subsystem\t\t00000002" in info  # Windows GUI
    dlls = {dll.lower() for dll, _ in read_imports(SETUP)}
    for runtime in ("libstdc++-6.dll", "libgcc_s_dw2-1.dll", "libwinpthread-1.dll"):
        assert runtime not in dlls


def make_rar(folder):
    """A small RAR archive with a file in a subfolder, made with Debian's rar."""
    content = folder / "content"
    (content / "sub").mkdir(parents=True)
    (content / "a.txt").write_text("a\n")
    (content / "sub" / "b.txt").write_text("b\n")
    archive = folder / "test.rar"
    subprocess.run(["rar", "a", "-r", "-idq", str(archive), "."], cwd=content, check=True)
    return archive


@pytest.mark.parametrize("version", [None, "nt40", "win98"])
def test_unrar_library_lists_an_archive_on_each_reported_windows(bed, version):
    """The UnRAR library as setup.exe links it (win32 threads, shims in place of the imports the
    oldest systems lack) reads an archive, also when Windows reports NT 4.0 or 98 (its version
    check is ours: third_party/unrar-shims/isnt.cpp; on 98 it opens the archive through the ANSI
    functions: wide_9x.cpp)."""
    tool = winebed.TOOLS / "zsunrar.exe"
    if version:
        bed.reg_add(rf"HKCU\Software\Wine\AppDefaults\{tool.name}", "Version", version)
    archive = make_rar(bed.scratch("rar"))
    result = bed.run(tool, bed.winpath(archive))
    assert result.code == 0, result
    names = set(result.stdout.replace("\r", "").split("\n")) - {""}
    assert names == {"a.txt", "sub", "sub\\b.txt"}


def test_setup_exe_carries_the_string_table_and_a_version(bed):
    """The strings load from the program itself, exactly as the table has them."""
    reader = winebed.BUILD_WIN / "tools" / "zsstrings.exe"
    out = bed.run(reader, bed.winpath(SETUP), "303", "304", "302", "400").stdout
    lines = out.replace("\r", "").split("\n")
    assert lines[0] == "303=Cannot connect visual library !"
    assert lines[1] == "304=Error !!!"
    assert lines[2] == ("302=To continue ZORVA installation,\\nMFC library is required to be "
                        "installed.\\\\Install MFC library first?")
    assert lines[3] == "400=ZORVA Antivirus System"
    assert "FileVersion" in subprocess.run(
        ["i686-w64-mingw32-strings", "-el", str(SETUP)], capture_output=True, text=True).stdout


def test_setup_exe_carries_its_manifest(bed):
    """The manifest Windows reads before it starts the program: no password prompt of the
    installer detection, the common controls 6 for the dialogs, the systems it was made for, and
    drawing at the system's DPI."""
    reader = winebed.BUILD_WIN / "tools" / "zsstrings.exe"
    result = bed.run(reader, bed.winpath(SETUP), "manifest")
    assert result.code == 0, "no RT_MANIFEST resource 1 in setup.exe"
    root = ET.fromstring(result.stdout)
    v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
    level = root.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/"
                      f"{v3}requestedExecutionLevel")
    assert level.attrib == {"level": "highestAvailable", "uiAccess": "false"}
    controls = root.find(f"{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity")
    assert controls.get("name") == "Microsoft.Windows.Common-Controls"
    assert controls.get("version") == "6.0.0.0" and controls.get("processorArchitecture") == "x86"
    assert controls.get("publicKeyToken") == "6595b64144ccf1df"
    compat = "{urn:schemas-microsoft-com:compatibility.v1}"
    systems = {e.get("Id") for e in root.iter(f"{compat}supportedOS")}
    assert systems == {"{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
                       "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
                       "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
                       "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
                       "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}  # 10 and 11
    dpi = root.find(f"{v3}application/{v3}windowsSettings/"
                    "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware")
    assert dpi.text == "true"
