"""What ships must be a PE32 i386 GUI program importing system DLLs only (static runtime)."""

import subprocess

import winebed

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "version.dll", "wsock32.dll",
    "ws2_32.dll", "shell32.dll", "shlwapi.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll",
    "powrprof.dll", "comctl32.dll", "comdlg32.dll", "secur32.dll", "crypt32.dll", "userenv.dll",
}


def objdump(path):
    return subprocess.run(["i686-w64-mingw32-objdump", "-p", str(path)], capture_output=True,
                          text=True, check=True).stdout


def test_setup_exe_is_a_pe32_gui_program_with_system_imports_only():
    setup = winebed.BUILD_WIN / "src" / "driver" / "setup.exe"
    info = objdump(setup)
    assert "file format pei-i386" in info
    assert "Magic\t\t\t010b" in info  # PE32, not PE32+
    assert "Subsystem\t\t00000002" in info  # Windows GUI
    imports = {line.split("DLL Name:")[1].strip().lower()
               for line in info.splitlines() if "DLL Name:" in line}
    assert imports, "no imports read"
    assert imports <= SYSTEM_DLLS, imports - SYSTEM_DLLS
    for runtime in ("libstdc++-6.dll", "libgcc_s_dw2-1.dll", "libwinpthread-1.dll"):
        assert runtime not in imports


def test_setup_exe_carries_the_string_table_and_a_version(bed):
    """The strings load from the program itself, exactly as the table has them."""
    reader = winebed.BUILD_WIN / "tools" / "zsstrings.exe"
    setup = winebed.BUILD_WIN / "src" / "driver" / "setup.exe"
    out = bed.run(reader, bed.winpath(setup), "303", "304", "302", "400").stdout
    lines = out.replace("\r", "").split("\n")
    assert lines[0] == "303=Cannot connect visual library !"
    assert lines[1] == "304=Error !!!"
    assert lines[2] == ("302=To continue ZORVA installation,\\nMFC library is required to be "
                        "installed.\\\\Install MFC library first?")
    assert lines[3] == "400=ZORVA Antivirus System"
    assert "FileVersion" in subprocess.run(
        ["i686-w64-mingw32-strings", "-el", str(setup)], capture_output=True, text=True).stdout
