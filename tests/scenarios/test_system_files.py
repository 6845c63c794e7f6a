"""System services against a real Wine machine: files held by other processes, delayed deletes and
moves performed by a restart (NT: the system's pending renames; 9x family: wininit.ini), the
administrator check's test switch, the restart request and the old settings import."""

import shutil
import threading
import time

import pytest


@pytest.fixture
def systool(bed, build_win):
    """systool.exe copied into the prefix, with the small library it can hold loaded."""
    tool = build_win / "src" / "system" / "testtools" / "systool.exe"
    if not tool.exists():
        pytest.skip("systool.exe is not built")
    dest = bed.c / "systool.exe"
    shutil.copy(tool, dest)
    shutil.copy(build_win / "src" / "system" / "zs_lockdll.dll", bed.c / "lock.dll")
    return dest


def run(bed, tool, *args, env=None):
    result = bed.run(tool, *args, env=env)
    assert result.code in (0, 1), result
    return result


# ---- NT family: pending renames and the restart ----

def test_loaded_library_is_deleted_at_the_restart(bed, systool):
    lib = bed.c / "inuse.dll"
    shutil.copy(bed.c / "lock.dll", lib)
    with bed.hold_file(lib, "load"):
        r = run(bed, systool, "delete-or-schedule", "C:\\inuse.dll")
        assert r.code == 1
        assert lib.exists()
    assert lib.exists()
    bed.restart()
    assert not lib.exists()


def test_copy_beside_a_library_in_use_replaces_it_at_the_restart(bed, systool):
    lib = bed.c / "app" / "lib.dll"
    lib.parent.mkdir()
    shutil.copy(bed.c / "lock.dll", lib)
    old = lib.read_bytes()
    new = bed.c / "new.dll"
    new.write_bytes(b"new library")
    with bed.hold_file(lib, "load"):
        r = run(bed, systool, "copy-beside", "C:\\new.dll", "C:\\app\\lib.dll", "1")
        assert r.code == 1
        assert "alternate [C:\\app\\_ib.d00]" in r.stdout
    assert lib.read_bytes() == old
    assert (bed.c / "app" / "_ib.d00").read_bytes() == b"new library"
    bed.restart()
    assert lib.read_bytes() == b"new library"
    assert not (bed.c / "app" / "_ib.d00").exists()


def test_folder_removal_waits_for_the_restart(bed, systool):
    folder = bed.c / "gone"
    (folder / "sub").mkdir(parents=True)
    (folder / "a.txt").write_text("x")
    (folder / "b.txt").write_text("x")
    r = run(bed, systool, "delete-matching", "C:\\gone", "1", "*.*", "1")
    assert r.code == 1
    assert not (folder / "a.txt").exists() and (folder / "sub").exists()
    # The restart removes the folder once it is empty; with a subfolder left it stays.
    (folder / "sub").rmdir()
    bed.restart()
    assert not folder.exists()


# ---- sharing violations with a second process ----

def test_copy_onto_a_held_file_is_retried_then_given_up(bed, systool):
    target = bed.c / "held.dat"
    target.write_text("old")
    (bed.c / "src.dat").write_text("new")
    with bed.hold_file(target, "open"):
        start = time.time()
        r = run(bed, systool, "copy-retry", "C:\\src.dat", "C:\\held.dat")
        elapsed = time.time() - start
    assert r.code == 0
    assert "error 32" in r.stdout
    assert elapsed >= 8.5  # 30 waits of 300 ms
    assert target.read_text() == "old"


def test_open_succeeds_once_the_holder_lets_go(bed, systool):
    target = bed.c / "busy.dat"
    target.write_text("x")
    with bed.hold_file(target, "open"):
        r = run(bed, systool, "open-retry", "C:\\busy.dat")
        assert r.code == 0 and "error 32" in r.stdout
        elapsed = int(r.stdout.split("elapsed ")[1].split()[0])
        assert 1400 <= elapsed < 4000
        assert run(bed, systool, "delete-retry", "C:\\busy.dat").code == 0
        assert target.exists()

    result = {}
    holding = bed.hold_file(target, "open")
    holding.__enter__()
    worker = threading.Thread(
        target=lambda: result.setdefault("r", bed.run(systool, "open-retry", "C:\\busy.dat")))
    worker.start()
    time.sleep(0.7)
    holding.__exit__(None, None, None)
    worker.join(timeout=60)
    assert result["r"].code == 1, result["r"]
    assert run(bed, systool, "exists", "C:\\busy.dat").code == 1


def test_a_file_held_without_sharing_exists(bed, systool):
    target = bed.c / "held.xml"
    target.write_text("<A/>")
    with bed.hold_file(target, "open"):
        assert run(bed, systool, "exists", "C:\\held.xml").code == 1
    assert run(bed, systool, "exists", "C:\\missing.xml").code == 0


# ---- Windows 9x family: wininit.ini ----

def test_win9x_deletion_goes_through_wininit_after_existing_lines(bed, systool):
    bed.set_win9x("systool.exe")
    assert run(bed, systool, "is-nt").code == 0
    first = bed.c / "first.txt"
    first.write_text("x")
    victim = bed.c / "Long Folder Name" / "victim file.text"
    victim.parent.mkdir()
    victim.write_text("x")
    ini = bed.c / "windows" / "wininit.ini"
    ini.write_text("[rename]\r\nNUL=C:\\FIRST.TXT\r\n")
    r = run(bed, systool, "move-or-schedule", "C:\\Long Folder Name\\victim file.text", "-", "5")
    assert r.code == 1
    lines = [l for l in ini.read_text().splitlines() if l.strip()]
    assert lines[0].lower() == "[rename]"
    assert lines[1] == "NUL=C:\\FIRST.TXT"
    # The new line comes last and names the file by its short form (no blanks, 8.3 parts).
    assert lines[2].startswith("NUL=C:\\") and " " not in lines[2]
    assert all(len(part) <= 12 for part in lines[2][4:].split("\\"))
    assert len(lines) == 3
    # No system rename was asked for on this family.
    assert bed.reg_query(r"HKLM\System\CurrentControlSet\Control\Session Manager",
                         "PendingFileRenameOperations") in (None, "")
    assert victim.exists()
    bed.restart()
    assert not victim.exists() and not first.exists()


def test_win9x_deletions_of_a_large_folder_are_all_scheduled(bed, systool):
    # Read-only files refuse deletion (5) as files in use do, and a folder this large is deleted
    # by the workers: each file that must wait for the restart gets its own wininit.ini line.
    bed.set_win9x("systool.exe")
    folder = bed.c / "big"
    folder.mkdir()
    for i in range(80):
        (folder / f"file{i:02d}.dat").write_text("x")
    bed.wine("attrib", "+r", "C:\\big\\*.*")
    r = run(bed, systool, "delete-matching", "C:\\big", "1", "*.*", "1")
    assert r.code == 1
    lines = [l for l in (bed.c / "windows" / "wininit.ini").read_text().splitlines()
             if l.startswith("NUL=")]
    # Every file and then the folder itself, none lost, in the listing's order.
    assert len(lines) == 81 and len(set(lines)) == 81 and lines[-1] == "NUL=C:\\big"


def test_win9x_copy_beside_replaces_the_target_at_the_restart(bed, systool):
    bed.set_win9x("systool.exe")
    target = bed.c / "lib.dll"
    target.write_text("old")
    (bed.c / "new.dll").write_text("new")
    r = run(bed, systool, "copy-beside", "C:\\new.dll", "C:\\lib.dll", "1")
    assert r.code == 1 and "alternate [C:\\_ib.d00]" in r.stdout
    ini = (bed.c / "windows" / "wininit.ini").read_text().upper()
    assert "C:\\LIB.DLL=C:\\_IB.D00" in ini
    assert target.read_text() == "old"
    bed.restart()
    assert target.read_text() == "new"
    assert not (bed.c / "_ib.d00").exists()


def test_win9x_move_to_a_free_name_happens_at_once(bed, systool):
    bed.set_win9x("systool.exe")
    (bed.c / "a.txt").write_text("A")
    r = run(bed, systool, "move-or-schedule", "C:\\a.txt", "C:\\b.txt", "5")
    assert r.code == 1
    assert (bed.c / "b.txt").read_text() == "A"
    assert not (bed.c / "windows" / "wininit.ini").exists()


# ---- OS checks ----

def test_admin_check_can_be_made_to_deny(bed, systool):
    assert run(bed, systool, "is-admin").code == 1
    assert run(bed, systool, "is-admin", env={"ZS_TEST_NOT_ADMIN": "1"}).code == 0
    assert run(bed, systool, "is-admin", env={"ZS_TEST_NOT_ADMIN": "0"}).code == 1
    # On the 9x family everyone is an administrator.
    bed.set_win9x("systool.exe")
    assert run(bed, systool, "is-admin", env={"ZS_TEST_NOT_ADMIN": "1"}).code == 1


@pytest.mark.parametrize("family", ["nt", "win9x"])
def test_restart_request_restarts_windows(bed, systool, family):
    if family == "win9x":
        bed.set_win9x("systool.exe")
    bed.arm_restart_marker()
    # The restart ends every process of the prefix, the caller too.
    bed.wine(systool, "restart", timeout=120)
    assert bed.restart_requested(wait=30)


# ---- registry: install folder and old settings ----

PRODUCT = r"HKLM\Software\Vesk\Zrv\CurrentVersion"


def test_install_dir_and_old_settings_lock(bed, systool):
    r = run(bed, systool, "old-settings")
    assert r.code == 1
    assert "LockSettings 0 LockPassword 0xFFFFFFFF Winpopup_Timeout 60" in r.stdout
    assert run(bed, systool, "install-dir").code == 0

    bed.reg_add(PRODUCT + r"\Info", "InstallDir", "C:\\Program Files\\Vesk\\")
    r = run(bed, systool, "install-dir")
    assert r.code == 1 and "dir [C:\\Program Files\\Vesk\\]" in r.stdout

    # Product without settings key: 0, defaults; then settings and a locked PackageID.
    assert run(bed, systool, "old-settings").code == 0
    bed.reg_add(PRODUCT + r"\Common", "Winpopup_Timeout", "5", "REG_DWORD")
    bed.reg_add(PRODUCT + r"\Common", "LockSettings", "0", "REG_DWORD")
    bed.reg_add(PRODUCT + r"\Info", "PackageID", "0x0007BEEF", "REG_DWORD")
    r = run(bed, systool, "old-settings")
    assert "LockSettings 1 LockPassword 0x0000BEEF Winpopup_Timeout 5" in r.stdout
    bed.reg_add(PRODUCT + r"\Info", "PackageID", "0xFFFFFFFF", "REG_DWORD")
    r = run(bed, systool, "old-settings")
    assert "LockSettings 0 LockPassword 0xFFFFFFFF" in r.stdout
