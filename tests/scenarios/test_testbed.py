"""The test bed itself: full exit codes, restarts, files in use and the 9x switch must be real,
or every scenario built on them proves nothing."""

import shutil
import subprocess

import winebed


def test_full_exit_codes_reach_the_test(bed):
    exe = bed.c / "zsexit.exe"
    shutil.copy(winebed.TOOLS / "zsexit.exe", exe)
    assert bed.run(exe, "3010").code == 3010
    assert bed.run(exe, "-1").code == -1
    assert bed.run(exe, "1603").code == 1603
    # The shell alone would have seen 3010 modulo 256.
    plain = bed.wine(exe, "3010")
    assert plain.returncode == 3010 % 256


def test_prefix_has_the_font_of_the_title_bar_buttons(bed):
    # Without Marlett (Wine's own fonts, scripts/bootstrap.sh) Wine draws a letter where the close
    # button belongs, in the docs' pictures too.
    assert (bed.c / "windows" / "Fonts" / "marlett.ttf").exists()


def test_restart_performs_pending_renames_and_runonce(bed):
    victim = bed.c / "victim.txt"
    victim.write_text("x")
    bed.reg_set_multi(r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager",
                      "PendingFileRenameOperations", [r"\??\C:\victim.txt", ""])
    bed.arm_restart_marker()
    assert victim.exists()
    assert not bed.restart_requested(wait=0.5)
    bed.restart()
    assert not victim.exists()
    assert bed.restart_requested()


def test_held_file_cannot_be_deleted_until_released(bed):
    target = bed.c / "held.txt"
    target.write_text("x")
    with bed.hold_file(target, "open"):
        # Wine's own del goes through DeleteFile: a sharing violation while held.
        assert bed.wine("cmd", "/c", "del", "C:\\held.txt").returncode == 0
        assert target.exists()
    assert bed.wine("cmd", "/c", "del", "C:\\held.txt").returncode == 0
    assert not target.exists()


def test_registry_round_trip_and_9x_switch(bed):
    key = r"HKLM\Software\ZsTest"
    assert bed.reg_query(key, "Name") is None
    bed.reg_add(key, "Name", "value with spaces")
    assert bed.reg_query(key, "Name") == "value with spaces"
    assert bed.reg_has_key(key)
    osver = bed.c / "zsosver.exe"
    shutil.copy(winebed.TOOLS / "zsosver.exe", osver)
    assert bed.run(osver).stdout.split()[0] == "2"
    bed.set_win9x("zsosver.exe")
    assert bed.run(osver).stdout.split() == ["1", "4.10"]


def test_doubles_export_plain_stdcall_names():
    """Every export of the product's libraries (and their doubles) carries its plain name."""
    expected = {
        "main.dll": {"connectLib", "disconnectLib", "showSetupdlg", "showMsg", "waitDlg",
                     "showEnddlg", "enterPwd"},
        "comp.dll": {"exeProc", "connectVis", "disconnectVis"},
    }
    doubles = winebed.BUILD_WIN / "tests" / "doubles"
    for dll in sorted(doubles.glob("*.dll")):
        names = exports(dll)
        assert all("@" not in n for n in names), (dll.name, names)
        if dll.name in expected:
            assert names == expected[dll.name], dll.name
        elif dll.name.startswith("main_no_"):
            omitted = dll.name[len("main_no_"):-len(".dll")]
            assert names == expected["main.dll"] - {omitted}, dll.name


def exports(dll):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(dll)], capture_output=True,
                         text=True, check=True).stdout
    names, inside = set(), False
    for line in out.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            inside = True
            continue
        if inside:
            if not line.strip():
                break
            names.add(line.split("]")[-1].strip())
    return names
