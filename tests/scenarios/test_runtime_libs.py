"""The runtime library step of the start under Wine: setup.exe in a long setup folder with blanks,
stand-ins of the three libraries (resource-only DLLs with and without a file version) beside it
and in the prefix's System folder, silent runs deciding with "/INSTMFC" and "/REBOOT", the copy
beside a library that exists, and the run that continues after the restart through RunOnce.
"""

import os
import shutil
import time

from xscreen import Background

RUN_ONCE = r"HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce"
SESSION = r"HKLM\System\CurrentControlSet\Control\Session Manager"
NOTHING_TO_UNINSTALL = ["Registry: old settings read", "P_NOTHING_UNINST", ""]


class Package:
    def __init__(self, bed, build_win):
        self.bed = bed
        # A setup folder with blanks, long enough that a library's name made absolute in place of
        # a short field would overrun it.
        self.dir = bed.c / "Program Files" / "Vesk Pkg" / ("runtime libraries " * 8).strip()
        self.dir.mkdir(parents=True)
        self.setup = self.dir / "setup.exe"
        shutil.copy(build_win / "src" / "driver" / "setup.exe", self.setup)
        self.doubles = build_win / "tests" / "doubles"
        self.system = bed.c / "windows" / "system32"

    def carry(self, name, build, mtime=None):
        self.place(self.dir / name, build, mtime)

    def install(self, name, build, mtime=None):
        self.place(self.system / name, build, mtime)

    def place(self, path, build, mtime):
        shutil.copy(self.doubles / f"runtime_{build}.dll", path)
        if mtime is not None:
            os.utime(path, (mtime, mtime))

    def log_lines(self):
        path = self.dir / "zsetup.log"
        lines = path.read_text().splitlines() if path.exists() else []
        return [line.split("] ", 1)[1] if "] " in line else line for line in lines]

    def run(self, *switches):
        """A silent uninstall run (nothing is installed, so it ends right after the start); the
        exit code and this run's log lines after its "CmdLine"."""
        before = len(self.log_lines())
        code = self.bed.run(self.setup, "/SILENTMODE", "/UNINSTALL", "/TEST", *switches).code
        lines = self.log_lines()[before:]
        assert lines[0] == "CmdLine: " + " ".join(("/SILENTMODE", "/UNINSTALL", "/TEST")
                                                   + switches)
        return code, lines[1:]

    def same(self, a, b):
        return a.read_bytes() == b.read_bytes()


def test_runtime_libraries_checked_installed_and_continued_after_the_restart(bed, build_win):
    p = Package(bed, build_win)
    old = time.time() - 86400

    # Nothing carried: nothing asked.
    assert p.run() == (0, ["Resource: main.dll"] + NOTHING_TO_UNINSTALL)

    # Equal file versions stay, whatever the times; without versions the times decide.
    p.install("mfc42.dll", 4201, mtime=old)
    p.carry("mfc42.dll", 4201)
    p.install("mfc42u.dll", "nover")
    p.carry("mfc42u.dll", "nover", mtime=old)
    assert p.run() == (0, ["Resource: main.dll"] + NOTHING_TO_UNINSTALL)
    p.install("mfc42u.dll", "nover", mtime=old - 60)
    # A silent run that may not install ends with the check's result and copies nothing.
    assert p.run() == (301, ["Resource: main.dll", "MFC: needed", ""])

    # One missing, one older: 302.
    (p.system / "mfc42u.dll").unlink()
    p.carry("mfc42u.dll", 4201)
    p.carry("mfc42.dll", 4202)
    assert p.run() == (302, ["Resource: main.dll", "MFC: needed", ""])
    # A run that the pending 117 ends anyway neither installs nor restarts.
    bed.arm_restart_marker()
    assert p.run("/UPDATE", "/INSTMFC", "/REBOOT") == (117, ["Resource: main.dll",
                                                            "Exitcode: 117", ""])
    assert not (p.system / "mfc42u.dll").exists() and not list(p.system.glob("_fc42*"))
    assert not bed.restart_requested(wait=0.5)

    # Installed without the restart: the missing one is copied, the older one waits beside its
    # target for the restart; 307 since the restart is declined.
    assert p.run("/INSTMFC") == (307, ["Resource: main.dll", "MFC: needed",
                                       "MFC: installed - reboot required", ""])
    assert p.same(p.system / "mfc42u.dll", p.dir / "mfc42u.dll")
    assert p.same(p.system / "mfc42.dll", p.doubles / "runtime_4201.dll")
    assert p.same(p.system / "_fc42.d00", p.dir / "mfc42.dll")
    assert bed.reg_query(SESSION, "PendingFileRenameOperations") == (
        r"\??\C:\windows\system32\_fc42.d00\0!\??\C:\windows\system32\mfc42.dll")
    assert bed.reg_query(RUN_ONCE, "ZORVA Setup") is None
    # Run again before the restart: the waiting library is not offered again.
    assert p.run("/INSTMFC") == (0, ["Resource: main.dll"] + NOTHING_TO_UNINSTALL)
    assert not (p.system / "_fc42.d01").exists()

    # With "/REBOOT" the restart goes ahead: the continuation entry runs this program with this
    # run's switches after the replacements were made, and the first run went no further. The
    # password is neither in the log nor in the entry, which every user can read.
    p.carry("mfc42u.dll", 4202)
    ended = p.log_lines().count("P_NOTHING_UNINST")
    bed.wine(p.setup, "/SILENTMODE", "/UNINSTALL", "/TEST", "/PWD=", "Secret1", "/INSTMFC",
             "/REBOOT", timeout=120)
    assert bed.restart_requested(wait=30)
    deadline = time.time() + 60
    while p.log_lines().count("P_NOTHING_UNINST") == ended and time.time() < deadline:
        time.sleep(0.5)
    switches = "/SILENTMODE /UNINSTALL /TEST /INSTMFC /REBOOT"
    lines = p.log_lines()
    first = len(lines) - lines[::-1].index("CmdLine: " + switches) - 1
    assert lines[first - 6:] == [
        "CmdLine: /SILENTMODE /UNINSTALL /TEST /PWD= ******* /INSTMFC /REBOOT",
        "Resource: main.dll", "MFC: needed",
        "MFC: installed - reboot required", "Restart", "",
        "CmdLine: " + switches, "Resource: main.dll"] + NOTHING_TO_UNINSTALL
    assert p.same(p.system / "mfc42.dll", p.doubles / "runtime_4202.dll")
    assert p.same(p.system / "mfc42u.dll", p.doubles / "runtime_4202.dll")
    assert bed.reg_query(RUN_ONCE, "ZORVA Setup") is None

    # A copy that fails (another program holds the package's copy: sharing violation) ends
    # with 308 too, and the log names the library and the system's error.
    (p.system / "mfc42u.dll").unlink()
    with bed.hold_file(p.dir / "mfc42u.dll"):
        assert p.run("/INSTMFC") == (308, [
            "Resource: main.dll", "MFC: needed",
            "Error: Can't install runtime library: C:\\windows\\system32\\mfc42u.dll - 32", ""])
    assert not (p.system / "mfc42u.dll").exists()

    # The 9x family cannot run the Unicode build: 308, and it is not copied.
    bed.set_win9x("setup.exe")
    assert p.run("/INSTMFC") == (308, ["Resource: main.dll", "MFC: needed", ""])
    assert not (p.system / "mfc42u.dll").exists()


def test_a_failed_copy_is_told_with_its_own_text(bed, build_win, screen):
    # Interactively the failure is shown before the process ends: a copy that failed is not the
    # Unicode build on the 9x family, whose text (308) would send the user the wrong way.
    p = Package(bed, build_win)
    p.carry("mfc42u.dll", 4202)
    with bed.hold_file(p.dir / "mfc42u.dll"):
        run = Background(lambda: bed.run(p.setup, "/TEST").code)
        screen.keys("Warning !", "y")
        window = screen.read("Error !!!")
        text = " ".join(c.text for c in window.controls if c.cls == "Static" and c.text)
        screen.keys("Error !!!", "Return")
        assert run.result() == -1
    assert "Required version of the MFC library not found" in text and "UNICODE" not in text
