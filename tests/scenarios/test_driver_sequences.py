"""The setup driver end to end under Wine: start-up, the visual library boundary, the exit path,
the install and uninstall sequences, their phases, messages, exit codes and zsetup.log.

Two programs are used. setup.exe is the product as built so far: the workers of later modules
refuse visibly there, so it is run on the roads that end before them. setup_seqdouble.exe is the
same driver linked with scripted doubles of those workers (src/driver/tests/worker_doubles.cpp),
so whole sequences can be walked; main.dll, mainlang.dll and comp.dll are the library doubles.
"""

import re
import shutil
from pathlib import Path

from setup_runs import crc16_xmodem

STAMP = re.compile(r"^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] (.*)$")
PRODUCT_INFO = r"HKLM\Software\Vesk\Zrv\CurrentVersion\Info"
INSTALL_DIR = "C:\\Program Files\\Vesk\\"
# The workers every run calls at its start, in order.
START = ["SetupCheckRuntimeLibraries -> 0", "SetupOneComponentXml -> 1",
         "RegReadInstalledComponents"]



class Setup:
    """A package folder C:\\pkg with the program as setup.exe and the chosen doubles beside it,
    and the scripts and journals of the doubles in C:\\zs."""

    def __init__(self, bed, build_win: Path, program="setup_seqdouble.exe", vis="main.dll",
                 lang=False):
        self.bed = bed
        self.pkg = bed.c / "pkg"
        self.pkg.mkdir()
        shutil.copy(build_win / "src" / "driver" / program, self.pkg / "setup.exe")
        doubles = build_win / "tests" / "doubles"
        if vis:
            shutil.copy(doubles / vis, self.pkg / "main.dll")
        if lang:
            shutil.copy(doubles / "mainlang.dll", self.pkg / "mainlang.dll")
        self.comp_dll = doubles / "comp.dll"
        self.zs = bed.c / "zs"
        self.zs.mkdir()
        self.env = {}
        for name in ("VIS", "SEQ", "COMP"):
            for kind in ("SCRIPT", "JOURNAL"):
                self.env[f"ZS_{name}_{kind}"] = f"C:\\zs\\{name.lower()}_{kind.lower()}.txt"

    def script(self, which: str, text: str) -> None:
        (self.zs / f"{which}_script.txt").write_text(text)

    def run(self, *args, env=None, raw=None) -> int:
        """Runs setup.exe after clearing the journals and the log; returns the full exit code.
        raw, when given, is the command line exactly as it should arrive."""
        for f in list(self.zs.glob("*_journal.txt")) + [self.pkg / "zsetup.log"]:
            if f.exists():
                f.unlink()
        e = dict(self.env)
        e.update(env or {})
        return self.bed.run(self.pkg / "setup.exe", *args, env=e, raw=raw).code

    def journal(self, which: str):
        path = self.zs / f"{which}_journal.txt"
        return path.read_text().splitlines() if path.exists() else None

    def log(self):
        """The log's messages without their stamps; every non-empty line must carry one."""
        lines = (self.pkg / "zsetup.log").read_text().splitlines()
        out = []
        for line in lines:
            if line == "":
                out.append("")
                continue
            m = STAMP.match(line)
            assert m, f"line without stamp: {line!r}"
            out.append(m.group(1))
        return out

    def install_product(self, folder=INSTALL_DIR) -> None:
        self.bed.reg_add(PRODUCT_INFO, "InstallDir", folder)

    def lock(self, password: str) -> None:
        # The lock is read only when the product's settings key is there.
        self.bed.reg_add(r"HKLM\Software\Vesk\Zrv\CurrentVersion\Common", None)
        self.bed.reg_add(PRODUCT_INFO, "PackageID", str(0x5A0000 | crc16_xmodem(password)),
                         type="REG_DWORD")

    def component_dll(self, name: str) -> None:
        shutil.copy(self.comp_dll, self.pkg / name)


def without_access_lines(log):
    """The log without the document-opening lines, whose folders depend on the machine."""
    return [line for line in log if not line.startswith("XML_ACCESS: ")]


def log_line_deleting(s):
    """The one line of the log that deletes global.xml."""
    lines = [l for l in s.log() if l.startswith("Deleting file: ")]
    assert len(lines) == 1
    return lines[0]


# ---- Start-up and the visual library ---------------------------------------------------------


def test_silent_mode_log_and_pending_codes(bed, build_win):
    s = Setup(bed, build_win, program="setup.exe")
    # A folder without setup.xml is no package: the global description cannot be built.
    assert s.run("/SILENTMODE") == 114
    assert not (s.pkg / "zsetup.log").exists()
    assert s.journal("vis") is None

    assert s.run("/silentmode", "/TEST") == 114
    assert s.journal("vis") is None
    log = s.log()
    assert log[:4] == [
        "CmdLine: /silentmode /TEST",
        "Resource: main.dll",
        "Registry: old settings read",
        "global.xml created",
    ]
    assert log[4].startswith("XML_ACCESS: ") and log[4].endswith("\\global.xml")
    assert log[5].endswith(" - C:\\pkg\\setup.xml")
    assert log[6:] == ["Error: C:\\pkg\\setup.xml doesn't exist", log_line_deleting(s),
                       "Exitcode: 114", ""]

    # Interactively, a pending code of the start ends the run through the exit path, which shows
    # it in error style and disconnects the visual library.
    assert s.run("/CFG=missing.xml", "/UPDATE", "/TEST") == 102
    assert s.journal("vis") == [
        "connectLib phase=0 restart=0 platform=2 setupdir=C:\\pkg\\",
        "waitDlg 3 phase=0",
        "showMsg 102 style=16 text=(null) -> 1",
        "disconnectLib 0",
    ]
    assert s.log()[-2:] == ["Exitcode: 102", ""]

    # An update without the installed product.
    assert s.run("/UPDATE") == 117
    assert "showMsg 117 style=16 text=(null) -> 1" in s.journal("vis")

    # The platform: the 9x family is told to the visual library; an NT older than 4 ends at once.
    bed.set_win9x("setup.exe")
    assert s.run("/UNINSTALL") == 0
    assert s.journal("vis")[0] == "connectLib phase=0 restart=1 platform=1 setupdir=C:\\pkg\\"
    bed.reg_add(r"HKCU\Software\Wine\AppDefaults\setup.exe", "Version", "nt351")
    assert s.run("/TEST") == 104
    assert s.journal("vis") is None
    assert not (s.pkg / "zsetup.log").exists()


def test_relative_cfg_file_is_checked_in_the_setup_folder(bed, build_win):
    s = Setup(bed, build_win)
    (s.pkg / "admin.xml").write_text("<ZORVA />")
    elsewhere = bed.scratch("cwd")
    (elsewhere / "only.xml").write_text("<ZORVA />")
    # Started from another folder: the file beside setup.exe is the one checked and read.
    assert bed.run(s.pkg / "setup.exe", "/SILENTMODE", "/UNINSTALL", "/CFG=admin.xml",
                   env=s.env, cwd=elsewhere).code == 0
    # A file only in the current folder is missing where it would be read.
    assert bed.run(s.pkg / "setup.exe", "/SILENTMODE", "/UNINSTALL", "/CFG=only.xml",
                   env=s.env, cwd=elsewhere).code == 102


def test_missing_export_or_library_shows_303_and_ends_with_minus_one(bed, build_win):
    s = Setup(bed, build_win, program="setup.exe", vis="main_no_enterPwd.dll")
    bed.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", "user32.MessageBoxA")
    relay = {"WINEDEBUG": "+relay"}

    result = bed.run(s.pkg / "setup.exe", "/TEST", env={**s.env, **relay})
    assert result.code == -1
    boxes = [l for l in result.stderr.splitlines() if "Call user32.MessageBoxA" in l]
    assert len(boxes) == 1
    assert '"Cannot connect visual library !"' in boxes[0]
    assert '"Error !!!"' in boxes[0]
    # connectLib exists in this library but is never called: all seven are checked first.
    assert s.journal("vis") is None
    assert s.log() == ["CmdLine: /TEST", "Resource: main.dll", ""]

    # No main.dll at all; the strings now come from the language library.
    (s.pkg / "main.dll").unlink()
    shutil.copy(build_win / "tests" / "doubles" / "mainlang.dll", s.pkg / "mainlang.dll")
    result = bed.run(s.pkg / "setup.exe", "/TEST", env={**s.env, **relay})
    assert result.code == -1
    boxes = [l for l in result.stderr.splitlines() if "Call user32.MessageBoxA" in l]
    assert len(boxes) == 1
    assert '"LANG:Cannot connect visual library !",' in boxes[0]
    assert '"LANG:Error !!!"' in boxes[0]
    # The second run's lines follow the first run's in the same log.
    assert s.log() == ["CmdLine: /TEST", "Resource: main.dll", "",
                       "CmdLine: /TEST", "Resource: mainlang.dll", ""]


def test_remote_authorization_and_runtime_library_decisions(bed, build_win):
    s = Setup(bed, build_win)
    not_admin = {"ZS_TEST_NOT_ADMIN": "1"}
    # The server text is split at its last ':'; a failed authorization keeps 101.
    assert s.run("/SILENTMODE", "/TEST", "/AUTHSERVER=fe80::1:4400", env=not_admin) == 101
    assert s.journal("seq")[0] == "RemoteAuthorize fe80::1 4400 -> 0"
    assert s.log() == ["CmdLine: /SILENTMODE /TEST /AUTHSERVER=fe80::1:4400",
                       "Error: REMOTE AUTHORIZE", "Resource: main.dll", "Exitcode: 101", ""]
    # Success clears it (here the uninstall then finds nothing to remove); no ':' means port 0.
    s.script("seq", "RemoteAuthorize=1\n")
    assert s.run("/SILENTMODE", "/UNINSTALL", "/AUTHSERVER=host", env=not_admin) == 0
    assert s.journal("seq")[0] == "RemoteAuthorize host 0 -> 1"

    # Runtime libraries in silent mode: the switches decide, the process ends directly.
    def runtime(check, install, *args):
        s.script("seq", f"SetupCheckRuntimeLibraries={check}\n"
                        f"SetupInstallRuntimeLibraries={install}\n")
        code = s.run("/SILENTMODE", "/UNINSTALL", "/TEST", *args)
        return code, s.log()[2:]

    assert runtime(301, 0) == (301, ["MFC: needed", ""])
    assert runtime(302, 5, "/INSTMFC") == (307, ["MFC: needed", "MFC: installed - reboot required",
                                                 ""])
    assert runtime(302, 400, "/INSTMFC") == (400, ["MFC: needed", ""])
    assert runtime(301, 0, "/INSTMFC") == (0, ["MFC: needed", "MFC: installed",
                                               "Registry: old settings read",
                                               "P_NOTHING_UNINST", ""])
    assert s.journal("vis") is None


# ---- Uninstall sequence -------------------------------------------------------------------------


def test_uninstall_refusals_end_normally_and_change_nothing(bed, build_win):
    s = Setup(bed, build_win, program="setup.exe")
    # Nothing installed: message 205 and 0, although a restart is pending in a normal run.
    assert s.run("/UNINSTALL", "/TEST") == 0
    assert s.journal("vis") == [
        "connectLib phase=0 restart=1 platform=2 setupdir=C:\\pkg\\",
        "showMsg 205 style=0 text=(null) -> 1",
    ]
    assert s.log()[-3:] == ["Registry: old settings read", "P_NOTHING_UNINST", ""]

    # Installed, but the confirmation is declined: 3010 with the restart pending of a normal run,
    # 0 for an update run, which starts without one.
    s.install_product()
    s.script("vis", "showMsg.201=7\n")
    assert s.run("/UNINSTALL") == 3010
    assert s.journal("vis")[1:] == ["showMsg 201 style=36 text=(null) -> 7"]
    assert s.run("/UNINSTALL", "/UPDATE") == 0

    # A locked product in silent mode: a wrong or missing password ends with 0, changing nothing.
    s.script("vis", "")
    product = bed.c / "Program Files" / "Vesk"
    product.mkdir(parents=True, exist_ok=True)
    (product / "keep.txt").write_text("x")
    s.lock("Secret 1")

    assert s.run("/UNINSTALL", "/SILENTMODE", "/PWD=wrong", "/TEST") == 0
    assert s.log()[-2:] == ["Error: Product locked: the password is missing or wrong", ""]
    assert s.run("/UNINSTALL", "/SILENTMODE") == 0
    # The password is compared with its case.
    assert s.run(raw='/UNINSTALL /SILENTMODE /PWD="secret 1"') == 0
    assert (product / "keep.txt").exists()
    assert bed.reg_query(PRODUCT_INFO, "InstallDir") == INSTALL_DIR

    # The right password (quoted, with its case) passes; the product as built so far then stops
    # where the uninstall information would be read.
    assert s.run(raw='/UNINSTALL /SILENTMODE /PWD="Secret 1" /TEST') == 119
    # The right password goes on, to an installation without its uninst.xml: 119.
    log = s.log()
    assert log[-4] == "Registry: old settings read" and log[-3].startswith("Deleting file: ")
    assert log[-2:] == ["Exitcode: 119", ""]
    assert (product / "keep.txt").exists()




def test_interactive_password_and_the_uninstall_phases(bed, build_win):
    s = Setup(bed, build_win)
    s.install_product()
    # A 30-character answer fills the whole buffer; its first 29 characters are the password.
    typed = "abcdefghijklmnopqrstuvwxyz0123"
    s.lock(typed[:29])
    # The product's folders below the System folder go with the uninstallation.
    appliance = bed.c / "windows" / "system32" / "ServerAppliance"
    for sub in ("ZORVA", "Web/ZORVA"):
        (appliance / sub).mkdir(parents=True)
        (appliance / sub / "page.htm").write_text("x")
    s.script("vis", f"enterPwd=wrong,{typed}\nrestartAtEnd=0\n")
    # An installed component's library, loaded from the product's setup folder; its failure code
    # for the uninstall command is ignored.
    lib = bed.c / "Program Files" / "Vesk" / "Setup" / "07" / "compb.dll"
    lib.parent.mkdir(parents=True)
    shutil.copy(s.comp_dll, lib)
    s.script("seq", "installed=Comp B|07|compb.dll\n")
    s.script("comp", "compb.dll 6 500\n")
    assert s.run("/UNINSTALL", "/PWD=bad", "/TEST") == 3010  # a declined restart is still owed
    comp = [re.sub(r" C:\\.*", " <global.xml>", l) for l in s.journal("comp")]
    assert comp == ["compb.dll exeProc 0 <global.xml>", "compb.dll exeProc 6 <global.xml>",
                    "compb.dll exeProc 1 <global.xml>"]
    # Released, but an installed component's file is not the run's to delete.
    assert lib.exists()
    assert not (appliance / "ZORVA").exists()
    assert not (appliance / "Web" / "ZORVA").exists()
    assert (appliance / "Web").is_dir()
    assert s.journal("vis") == [
        "connectLib phase=0 restart=1 platform=2 setupdir=C:\\pkg\\",
        "showMsg 201 style=36 text=(null) -> 6",
        "enterPwd -> wrong",
        f"enterPwd -> {typed}",
        "waitDlg 0 phase=13",
        "waitDlg 3 phase=13",
        "showEnddlg 16 phase=13",
        "disconnectLib 0",
    ]
    assert s.journal("seq") == START + [
        "SetupBuildGlobalFromUninst -> 1",
        "SetupUnistallCommon",
        "RollbackDiscard",
        "SetupRemoveProductFolders",
        "SetupRemoveUninstallEntry",
        "SetupRemoveProductKeys",
    ]
    log = without_access_lines(s.log())
    assert log[1:] == [
        "Resource: main.dll",
        "Registry: old settings read",
        "Uninstall prepared",
        "Cmd:  0 Exelib: Comp B",
        "- compb.dll",
        "ExeLibs: Init",
        "Cmd:  6 Exelib: Comp B",
        "- compb.dll",
        "ExeLibs: Unistall",
        "SetupUnistallCommon",
        log[11],
        "",
    ]
    assert re.fullmatch(r"Deleting file: C:\\.*\\global\.xml", log[11])

    # The user gives up: an empty answer ends with 0 and nothing is removed.
    s.script("vis", "enterPwd=wrong\n")
    assert s.run("/UNINSTALL") == 0
    assert s.journal("vis")[-1] == "enterPwd -> (empty)"
    assert s.journal("seq") == START
    assert s.journal("comp") is None


# ---- Install sequence ---------------------------------------------------------------------------


def test_install_phases_calls_and_log_in_order(bed, build_win):
    s = Setup(bed, build_win)
    s.script("vis", "restartAtEnd=0\n")
    assert s.run("/TEST") == 3010  # a declined restart is still owed
    assert s.journal("vis") == [
        "connectLib phase=0 restart=1 platform=2 setupdir=C:\\pkg\\",
        "waitDlg 0 phase=11",
        "waitDlg 3 phase=11",
        "showSetupdlg 0 -> 12324",
        "waitDlg 0 phase=12",
        "waitDlg 3 phase=12",
        "showEnddlg 14 phase=12",
        "disconnectLib 0",
    ]
    assert s.journal("seq") == START + [
        "SetupBuildGlobalXml -> 0",
        "CheckInstalledVersions -> 0",
        "SetupSaveGlobalXml",
        "RegWriteProductRoot -> 0",
        "RollbackPush 4",
        "SetupCopyFiles -> 1",
        "RollbackPush 5",
        "SetupMergeUnistallInfo",
        "SetupCopyEngines -> 1",
        "RegWriteRegistration -> 1",
        "SetupCommitChanges -> 1",
        "SetupCommitEngines -> 1",
        "commitChanges",
        "RollbackDiscard",
    ]
    log = s.log()
    access = [line for line in log if line.startswith("XML_ACCESS: ")]
    assert len(access) == 4
    assert all(re.fullmatch(r"XML_ACCESS: .* - C:\\.*\\global\.xml", a) for a in access)
    assert without_access_lines(log) == [
        "CmdLine: /TEST",
        "Resource: main.dll",
        "Registry: old settings read",
        "ExeLibs: Init",
        "ExeLibs: Load Current State",
        "Error: Couldn't open Administrator's XML : C:\\pkg\\zorva.xml",
        "Registry: root written",
        "SetupCopyFiles",
        "ExeLibs: Install",
        "SetupMergeUnistallInfo",
        "WriteRegistryInfo",
        "ExeLibs: Commit Install",
        "SetupCommitChanges",
        "commitChanges",
        log[-2],
        "",
    ]
    assert log[-2].startswith("Deleting file: C:\\") and log[-2].endswith("\\global.xml")

    # Over an installed product, update run: the upgrade phases and end dialog 15.
    s.install_product()
    s.script("vis", "")
    assert s.run("/UPDATE") == 0
    phases = [l for l in s.journal("vis") if l.startswith(("waitDlg", "showEnddlg"))]
    assert phases == ["waitDlg 0 phase=17", "waitDlg 3 phase=17", "waitDlg 0 phase=18",
                      "waitDlg 3 phase=18", "showEnddlg 15 phase=18"]


def test_declined_setup_dialog_rolls_back_and_ends_with_0_or_3010(bed, build_win):
    s = Setup(bed, build_win)
    s.script("vis", "showSetupdlg=2\n")
    assert s.run("/TEST") == 3010
    assert s.journal("vis") == [
        "connectLib phase=0 restart=1 platform=2 setupdir=C:\\pkg\\",
        "waitDlg 0 phase=11",
        "waitDlg 3 phase=11",
        "showSetupdlg 0 -> 2",
        "waitDlg 3 phase=11",
        "disconnectLib 0",
    ]
    seq = s.journal("seq")
    assert seq.count("rollBackAll call 1") == 1
    assert "RegWriteProductRoot -> 0" not in seq
    assert without_access_lines(s.log())[-4:-1] == ["rollBackAll", log_line_deleting(s),
                                                    "Exitcode: 0"]

    # No restart pending (update over the installed product): 0.
    s.install_product()
    assert s.run("/UPDATE") == 0
    assert "waitDlg 0 phase=17" in s.journal("vis")
    assert s.journal("seq").count("rollBackAll call 1") == 1


def test_version_answers_and_registry_root_failure(bed, build_win):
    s = Setup(bed, build_win)
    s.install_product()
    # A downgrade: silent mode ends with 108 and rolls back; /FORCEOLD goes on without asking.
    s.script("seq", "CheckInstalledVersions=108\n")
    assert s.run("/SILENTMODE", "/UPDATE") == 108
    assert "rollBackAll call 1" in s.journal("seq")
    assert s.run("/SILENTMODE", "/FORCEOLD", "/UPDATE") == 0
    # Interactively the question is asked; No ends with 0 (3010 with a restart pending).
    s.script("vis", "showMsg.108=7\n")
    assert s.run() == 3010
    assert "showMsg 108 style=36 text=(null) -> 7" in s.journal("vis")
    # Interactively /FORCEOLD asks neither question.
    s.script("vis", "restartAtEnd=0\n")
    assert s.run("/FORCEOLD") == 3010  # a declined restart is still owed
    assert not any(l.startswith("showMsg") for l in s.journal("vis"))
    # A newer installed engine (19) is accepted silently and with /FORCEOLD; otherwise asked.
    s.script("seq", "CheckInstalledVersions=19\n")
    assert s.run("/SILENTMODE", "/UPDATE") == 0
    assert s.run("/FORCEOLD") == 3010  # a declined restart is still owed
    assert not any(l.startswith("showMsg") for l in s.journal("vis"))
    s.script("vis", "showMsg.19=7\n")
    assert s.run() == 3010
    assert s.journal("vis")[2:4] == ["showMsg 19 style=36 text=(null) -> 7", "waitDlg 3 phase=17"]

    # Registry key 2 fails: "RR" and the letter b, code 111, shown with the tag.
    s.script("seq", "RegWriteProductRoot=2\n")
    s.script("vis", "")
    assert s.run("/TEST") == 111
    assert "showMsg 111 style=16 text=RRb -> 1" in s.journal("vis")
    assert s.log()[-4:] == ["Error: WRITING REGISTRY ROOT RRb", log_line_deleting(s),
                            "Exitcode: 111 RRb", ""]


def test_component_libraries_get_their_commands(bed, build_win):
    s = Setup(bed, build_win)
    s.component_dll("compa.dll")
    s.component_dll("uia.dll")
    s.script("seq", "component=Comp A|compa.dll|compa.dll,uia.dll\n")
    s.script("vis", "restartAtEnd=0\n")
    assert s.run("/TEST") == 3010  # a declined restart is still owed
    comp = [re.sub(r" C:\\.*", " <global.xml>", l) for l in s.journal("comp")]
    assert comp[:5] == [
        "compa.dll exeProc 0 <global.xml>",
        "compa.dll exeProc 2 <global.xml>",
        "compa.dll connectVis <global.xml>",
        "uia.dll connectVis <global.xml>",
        "compa.dll exeProc 3 <global.xml>",
    ]
    assert comp[5] == "compa.dll exeProc 4 <global.xml>"
    assert re.fullmatch(r"compa\.dll disconnectVis [0-9A-Fa-f]+", comp[6])
    assert re.fullmatch(r"uia\.dll disconnectVis [0-9A-Fa-f]+", comp[7])
    assert comp[8] == "compa.dll exeProc 1 <global.xml>"
    assert len(comp) == 9
    log = s.log()
    assert "Cmd:  0 Exelib: Comp A" in log and "- compa.dll" in log
    deleting = [l for l in log if l.startswith("Deleting directory: ")]
    assert len(deleting) == 1 and deleting[0].endswith("\\zrvtmpa\\")
    folder = deleting[0][len("Deleting directory: C:\\"):].rstrip("\\").replace("\\", "/")
    assert (bed.c / folder).parent.is_dir() and not (bed.c / folder).exists()

    # 500 for the commit command is ignored; 500 for the install command ends the run with it,
    # rolled back and shown with the component's name.
    s.script("comp", "compa.dll 4 500\n")
    assert s.run() == 3010  # a declined restart is still owed
    s.script("comp", "compa.dll 3 500\n")
    assert s.run("/TEST") == 500
    assert "showMsg 500 style=16 text=Comp A -> 1" in s.journal("vis")
    assert "rollBackAll call 1" in s.journal("seq")
    assert s.log()[-2:] == ["Exitcode: 500 Comp A", ""]

    # 3010 from a component asks for the restart: a silent update run then ends with 3010.
    s.install_product()
    s.script("comp", "compa.dll 2 3010\n")
    assert s.run("/SILENTMODE", "/UPDATE") == 3010
    s.script("comp", "")
    assert s.run("/SILENTMODE", "/UPDATE") == 0


def test_administrators_file_is_expanded_and_merged(bed, build_win):
    s = Setup(bed, build_win)
    s.install_product()
    admin = s.pkg / "zorva.xml"
    admin.write_text('<ZORVA><SETUPINFO><SETTINGS><PLUGIN ID="%!Plug%%!ZS_ENV%"/>'
                     "</SETTINGS></SETUPINFO></ZORVA>")
    assert s.run("/SILENTMODE", "/UPDATE", "/TEST", "/$plug=7",
                 env={"ZS_ENV": "5"}) == 0
    assert "SetupMergePluginSettings 75 -> 1" in s.journal("seq")
    log = without_access_lines(s.log())
    i = log.index("Variables Expanded")
    assert log[i - 1:i + 3] == ["ExeLibs: Load Current State", "Variables Expanded",
                                "Attempt to read Admin data", "Admin xml added"]

    # An empty administrator's file does not parse: the run ends before it does anything, logged
    # also without /TEST (the file might have asked for the log), and names the file.
    admin.write_bytes(b"")
    assert s.run("/SILENTMODE", "/UPDATE") == 111
    assert s.log() == ["CmdLine: /SILENTMODE /UPDATE",
                       "Error: Couldn't parse Administrator's XML : C:\\pkg\\zorva.xml",
                       "Exitcode: 111 C:\\pkg\\zorva.xml", ""]
    assert s.journal("seq") is None


def test_administrators_file_with_long_values_is_merged_whole(bed, build_win):
    s = Setup(bed, build_win)
    s.install_product()
    admin = s.pkg / "zorva.xml"
    admin.write_text('<ZORVA><SETUPINFO><SETTINGS><PLUGIN ID="%!Id%" PATH="%!ZS_LONG%"/>'
                     "</SETTINGS></SETUPINFO></ZORVA>")
    # Values far longer than the file itself: nothing of the expanded text is dropped.
    assert s.run("/SILENTMODE", "/UPDATE", "/TEST", "/$Id=" + "7" * 40,
                 env={"ZS_LONG": "x" * 2000}) == 0
    assert "SetupMergePluginSettings " + "7" * 40 + " -> 1" in s.journal("seq")
    assert "Admin xml added" in s.log()

    # A file that parses only until its variables are replaced ends the run before anything is
    # installed, with its name; what was prepared is rolled back.
    assert s.run("/SILENTMODE", "/UPDATE", "/TEST", "/$Id=7", env={"ZS_LONG": 'a"b'}) == 111
    log = s.log()
    assert log[-3:] == ["Error: Couldn't parse Administrator's XML : C:\\pkg\\zorva.xml",
                        "Exitcode: 111 C:\\pkg\\zorva.xml", ""]
    seq = s.journal("seq")
    assert "rollBackAll call 1" in seq and not any(l.startswith("RegWrite") for l in seq)


def test_restart_pending_at_the_end_restarts_windows(bed, build_win):
    s = Setup(bed, build_win)
    bed.arm_restart_marker()
    # Silent without /REBOOT never restarts.
    assert s.run("/SILENTMODE") == 3010
    assert not bed.restart_requested(wait=0.5)
    # With /REBOOT the restart is requested after "Restart"; Wine then ends every process.
    env = dict(s.env)
    bed.wine(s.pkg / "setup.exe", "/SILENTMODE", "/REBOOT", "/TEST", env=env)
    assert bed.restart_requested()
    assert s.log()[-2:] == ["Restart", ""]
