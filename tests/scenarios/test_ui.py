"""The visual library main.dll and its language libraries on a virtual screen, driven with the
keyboard the way a person would: setup.exe on the sample package, setup_seqdouble.exe (the driver with scripted workers) through whole install and
uninstall sequences, and tools/zsvisdrive.exe calling the exports directly.

With ZS_DOCS_SHOTS=1 the dialogs shown in the README are written to docs/.
"""

import json
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import winebed
from setup_runs import crc16_xmodem
from xscreen import Background

sys.path.insert(0, str(winebed.ROOT / "tools"))
import zspack  # noqa: E402

UI = winebed.BUILD_WIN / "src" / "ui"
DRIVER = winebed.BUILD_WIN / "src" / "driver"
DOUBLES = winebed.BUILD_WIN / "tests" / "doubles"
SAMPLE = winebed.ROOT / "examples" / "sample"
PRODUCT = r"HKLM\Software\Vesk\Zrv\CurrentVersion"
TITLE = "ZORVA Antivirus System"
SETUP, WAIT, END, PASSWORD = (f"{TITLE} Setup", f"{TITLE} - Please wait", f"{TITLE} - Finished",
                              f"{TITLE} - Password")
# Control ids of src/ui/resource.h.
IDOK, IDCANCEL, INTRO, FOLDER, BROWSE, FOLDER_NOTE = 1, 2, 1000, 1002, 1003, 1004
PHASE, END_TEXT, RESTART_NOTE, RESTART = 1010, 1020, 1021, 1022
SS_NOPREFIX, ES_READONLY = 0x80, 0x800
PASSWORD_FIELD, PASSWORD_WRONG = 1031, 1032


def sample_package(bed, name="pkg", **changes) -> Path:
    manifest = dict(json.loads((SAMPLE / "manifest.json").read_text()), **changes)
    built = zspack.build_package(manifest, bed.c / name, base=SAMPLE, setup=DRIVER / "setup.exe",
                                 main=UI / "main.dll", mainlang=UI / "en" / "mainlang.dll")
    assert built.code == 0, built.error
    return built.folder


def temp_folder(bed) -> Path:
    return next((bed.c / "users").glob("*/Temp"))


def log(folder: Path) -> list:
    return [line.split("] ", 1)[1] for line in
            (folder / "zsetup.log").read_text().splitlines() if "] " in line]


def wait_for(path: Path, timeout=30) -> str:
    """The text of a file once it has been written."""
    deadline = time.time() + timeout
    while not path.exists() and time.time() < deadline:
        time.sleep(0.2)
    return path.read_text() if path.exists() else ""


def message(screen, title=TITLE) -> str:
    """The text of a message box."""
    return " ".join(c.text for c in screen.read(title).controls if c.cls == "Static" and c.text)



def test_setup_dialog_on_the_sample_package_cancel_and_a_chosen_folder(bed, screen):
    pkg = sample_package(bed)
    run = Background(lambda: bed.run(pkg / "setup.exe", "/TEST", cwd=pkg).code)
    dialog = screen.read(SETUP)
    assert dialog.control(INTRO).text.startswith(f"Setup will install {TITLE} on this computer")
    assert dialog.columns == ["Component", "Build"]
    assert dialog.rows == [("Core protection", "10000120"), ("Mail shield", "10000120")]
    # The list only shows: the keyboard scrolls it, nothing in it gets selected.
    screen.keys(SETUP, "alt+c", "Down", "space")
    assert screen.read(SETUP).selected == 0
    folder = dialog.control(FOLDER)
    assert folder.text == "C:\\Program Files\\Vesk\\" and folder.enabled
    assert dialog.control(BROWSE).enabled and dialog.control(IDOK).text == "&Install"
    screen.photograph(SETUP, "setup", docs="setup-dialog.png")
    # Cancel ends through the exit path with 0, which a run that is no update, and so starts with
    # a restart pending, reports as 3010; nothing was installed.
    screen.keys(SETUP, "Escape")
    assert run.result() == 3010
    assert "rollBackAll" in log(pkg) and log(pkg)[-1] == "Exitcode: 0"
    assert not (bed.c / "Program Files" / "Vesk").exists()

    (bed.c / "Chosen").mkdir()
    run = Background(lambda: bed.run(pkg / "setup.exe", "/TEST", cwd=pkg).code)
    # A folder that is not a full path is refused, and the dialog stays.
    screen.keys(SETUP, "alt+f")
    screen.type(SETUP, "relative\\folder")
    screen.keys(SETUP, "Return")
    assert "Enter the full path of a folder" in message(screen)
    screen.keys(TITLE, "Return")
    # Browse (it opens at the folder setup chose, since the text leads nowhere), then pick the
    # folder in the tree by typing its name.
    screen.keys(SETUP, "alt+b")
    screen.keys("Browse for Folder", "shift+Tab")
    screen.type("Browse for Folder", "chosen")
    screen.keys("Browse for Folder", "Return")
    screen.gone("Browse for Folder")
    assert screen.read(SETUP).control(FOLDER).text == "C:\\Chosen\\"

    def refused(typed):
        screen.keys(SETUP, "alt+f")
        screen.type(SETUP, typed)
        screen.keys(SETUP, "Return")
        text = message(screen)
        screen.keys(TITLE, "Return")
        return text

    # "C:\x\.." would be the root of C:; a drive that does not exist is named at once.
    assert "Enter the full path of a folder" in refused("C:\\x\\..")
    assert "The drive Q:\\ does not exist" in refused("Q:\\Vesk")
    # A drive that cannot be written to, the way a CD or a read-only share cannot: a drive letter
    # on /sys, where not even root may make a folder (Wine enforces no access lists, and the tests
    # run as root).
    (bed.c.parent / "dosdevices" / "e:").symlink_to("/sys")
    assert "Setup cannot write to E:\\Vesk\\" in refused("E:\\Vesk")
    # A folder the package's files would not fit below: the limit is named (the sample's files
    # are short, so setup's own folder sets it).
    assert "at most 228 characters" in refused("C:\\" + "long\\" * 46)
    # A folder that already holds a person's files gets the product's folder inside it, shown
    # before anything is installed; Install then goes there.
    (bed.c / "Data").mkdir()
    (bed.c / "Data" / "thesis.doc").write_text("mine")
    screen.keys(SETUP, "alt+f")
    screen.type(SETUP, "C:\\Data")
    screen.keys(SETUP, "Return")
    dialog = screen.read(SETUP)
    assert dialog.control(FOLDER).text == "C:\\Data\\Vesk\\"
    assert "already holds files" in dialog.control(FOLDER_NOTE).text
    # Cancel here too: test_ui_install.py installs into a chosen folder.
    screen.keys(SETUP, "Escape")
    assert run.result() == 3010
    assert not (bed.c / "Chosen" / "readme.txt").exists() and not (bed.c / "Data" / "Vesk").exists()


def test_disk_prompt_over_the_wait_dialog_and_an_upgrade_keeps_its_folder(bed, screen):
    pkg = sample_package(bed, "disks", data={"pieces": 2})
    piece, saved = pkg.parent / "disk2" / "data2.dat", bed.root / "data2.dat"
    shutil.move(piece, saved)
    run = Background(lambda: bed.run(pkg / "setup.exe", cwd=pkg).code)
    prompt = screen.read(TITLE)
    assert "A part of the installation package is missing." in " ".join(prompt.texts())
    assert [c.text for c in prompt.controls if c.cls == "Button" and c.visible] == ["OK", "Cancel"]
    assert screen.read(WAIT).control(PHASE).text == f"Preparing the installation of {TITLE}..."
    screen.photograph(TITLE, "prompt")
    # The piece arrives: OK goes on to the setup dialog.
    shutil.copy(saved, pkg / "data2.dat")
    screen.keys(TITLE, "Return")
    screen.keys(SETUP, "Escape")
    assert run.result() == 3010

    bed.reg_add(PRODUCT + r"\Info", "InstallDir", "C:\\Apps\\Zorva\\")
    bed.reg_add(PRODUCT + r"\Info", "Language", "EN_US")
    bed.reg_add(PRODUCT + r"\InstalledComponents\Core", "Build", "0x1000011F", type="REG_DWORD")
    run = Background(lambda: bed.run(pkg / "setup.exe", cwd=pkg).code)
    dialog = screen.read(SETUP)
    assert dialog.control(INTRO).text.startswith(f"Setup will upgrade {TITLE}")
    # Builds as the uninstall entry's DisplayVersion shows them, installed -> new.
    assert dialog.columns == ["Component", "Build"]
    assert dialog.rows == [("Core protection", "1000011F -> 10000120"), ("Mail shield", "10000120")]
    # The fixed folder is read-only, not greyed: it can still be read and scrolled.
    folder = dialog.control(FOLDER)
    assert folder.text == "C:\\Apps\\Zorva\\" and folder.enabled and folder.style & ES_READONLY
    assert not dialog.control(BROWSE).enabled
    screen.keys(SETUP, "Return")
    assert screen.read(END).control(END_TEXT).text == f"{TITLE} has been upgraded."
    # "Restart now" off: no restart, but the run still reports the restart it needs.
    screen.keys(END, "alt+r", "Return")
    assert run.result() == 3010
    assert (bed.c / "Apps" / "Zorva" / "readme.txt").exists()


def password_note(screen, timeout=60) -> str:
    """The note of the password dialog once it shows one."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            note = screen.read(PASSWORD).control(PASSWORD_WRONG).text
        except StopIteration:  # read while the dialog was closing
            note = ""
        if note:
            return note
        time.sleep(0.5)
    return ""


class Sequence:
    """setup_seqdouble.exe with the real main.dll and mainlang.dll, one package component."""

    def __init__(self, bed):
        self.bed, self.pkg, self.zs = bed, bed.c / "seq", bed.c / "zs"
        self.pkg.mkdir()
        self.zs.mkdir()
        shutil.copy(DRIVER / "setup_seqdouble.exe", self.pkg / "setup.exe")
        shutil.copy(UI / "main.dll", self.pkg)
        shutil.copy(UI / "en" / "mainlang.dll", self.pkg)
        shutil.copy(winebed.BUILD_WIN / "tests" / "doubles" / "comp.dll", self.pkg / "core.dll")
        self.env = {"ZS_SEQ_SCRIPT": "C:\\zs\\seq.txt", "ZS_SEQ_JOURNAL": "C:\\zs\\journal.txt"}

    def start(self, *args, script="", restarts=False) -> Background:
        (self.zs / "seq.txt").write_text("component=Core protection|core.dll|\n" + script)
        (self.zs / "journal.txt").unlink(missing_ok=True)
        if restarts:  # Wine ends every process when the restart is requested, the launcher too
            return Background(lambda: self.bed.wine(self.pkg / "setup.exe", *args, env=self.env))
        return Background(lambda: self.bed.run(self.pkg / "setup.exe", *args, env=self.env).code)

    def journal(self) -> list:
        return (self.zs / "journal.txt").read_text().splitlines()


def hand_written(folder: Path) -> None:
    """Rewrites a package's descriptions as a person writes them in a current editor: UTF-8 with a
    byte-order mark and an encoding declaration, every letter as it is (the package builder
    writes each one as a reference)."""
    def rewrite(data: bytes) -> bytes:
        text = re.sub(r"&#x([0-9A-F]{4});",
                      lambda m: chr(int(m[1], 16)) if int(m[1], 16) >= 0x80 else m[0],
                      data.decode("ascii"))
        text = text.replace('<?xml version="1.0"?>', '<?xml version="1.0" encoding="UTF-8"?>')
        return b"\xef\xbb\xbf" + text.encode()

    (folder / "setup.xml").write_bytes(rewrite((folder / "setup.xml").read_bytes()))
    for archive in folder.glob("*.rar"):
        names = subprocess.run(["rar", "lb", str(archive)], capture_output=True, text=True,
                               check=True).stdout.split()
        with tempfile.TemporaryDirectory() as tmp:
            subprocess.run(["rar", "x", "-inul", str(archive), tmp + "/"], check=True)
            entries = [(n, (Path(tmp) / n).read_bytes()) for n in names]
        entries = [(n, rewrite(b) if n == "setupc.xml" else b) for n, b in entries]
        assert zspack.test_rar(archive, entries) == ""


def test_hand_written_german_package_and_administrators_file(bed, screen):
    manifest = json.loads((SAMPLE / "manifest.json").read_text())
    title = manifest["title"] = "Vesk Schutzprogramm für Büros"
    names = ["Grundschutz für Dateien", "Prüfung der Post"]
    for component, display in zip(manifest["components"], names):
        component["display"] = display
    built = zspack.build_package(manifest, bed.c / "pkg", base=SAMPLE, setup=DRIVER / "setup.exe",
                                 main=UI / "main.dll", mainlang=UI / "de" / "mainlang.dll")
    assert built.code == 0, built.error
    pkg = built.folder
    hand_written(pkg)
    # An administrator's file that cannot be read: a message names it, and nothing is installed.
    admin = pkg / "zorva.xml"
    admin.write_bytes(b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-16"?>\r\n<ZORVA />\r\n')
    run = Background(lambda: bed.run(pkg / "setup.exe", cwd=pkg).code)
    text = message(screen, "Fehler!")
    assert text.startswith("Die Datei des Administrators kann nicht gelesen werden")
    assert text.endswith("C:\\pkg\\zorva.xml")
    screen.keys("Fehler!", "Return")
    assert run.result() == 111
    assert bed.reg_query(PRODUCT + r"\Info", "InstallDir") is None

    admin.write_bytes('<ZORVA><SETUP INSTALLPATH="C:\\Programme\\Vesk Süd" /></ZORVA>'.encode())
    run = Background(lambda: bed.run(pkg / "setup.exe", cwd=pkg).code)
    setup = f"{title} Setup"
    dialog = screen.read(setup)
    assert dialog.control(INTRO).text.startswith(f"Setup installiert {title} mit")
    assert [row[0] for row in dialog.rows] == names
    assert dialog.control(FOLDER).text == "C:\\Programme\\Vesk Süd\\"
    screen.photograph(setup, "german")
    screen.keys(setup, "Escape")
    assert run.result() == 3010
    assert bed.run(pkg / "setup.exe", "/SILENTMODE", cwd=pkg).code == 3010
    assert (bed.c / "Programme" / "Vesk Süd" / "readme.txt").exists()
    # The components' names as registered (reg.exe writes the OEM code page, 437 here); the
    # uninstall entry's name is the product's, string 400 of the language library.
    for name, display in zip(("Core", "Mail"), names):
        got = bed.reg_query(PRODUCT + rf"\InstalledComponents\{name}", "DispName")
        assert got.encode("latin-1").decode("cp437") == display
    assert bed.reg_query(r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA",
                         "DisplayName") == TITLE


def test_downgrade_question_end_dialog_and_locked_uninstall_through_the_sequence(bed, screen):
    seq = Sequence(bed)
    run = seq.start(script="CheckInstalledVersions=108\n")
    assert "older build of a component" in message(screen)
    screen.keys(TITLE, "n")
    assert run.result() == 3010
    assert not any(line.startswith("RegWriteProductRoot") for line in seq.journal())

    bed.arm_restart_marker()
    run = seq.start()
    assert screen.read(SETUP).rows == [("Core protection", "0")]
    # The scripted description resolves no install folder: the user names one.
    screen.keys(SETUP, "Return")
    assert "Enter the full path of a folder" in message(screen)
    screen.keys(TITLE, "Return")
    screen.type(SETUP, "C:\\Apps\\Zorva")
    screen.keys(SETUP, "Return")
    end = screen.read(END)
    assert end.control(END_TEXT).text == f"{TITLE} has been installed on this computer."
    assert end.control(RESTART_NOTE).visible and end.control(RESTART).checked == 1
    screen.photograph(END, "end", docs="end-dialog.png")
    # "Restart now" turned off: no restart, and the exit code still reports the one needed.
    screen.keys(END, "alt+r")
    assert screen.read(END).control(RESTART).checked == 0
    screen.keys(END, "Return")
    assert run.result() == 3010
    assert "RegWriteProductRoot -> 0" in seq.journal()
    assert not bed.restart_requested(wait=2)

    bed.reg_add(PRODUCT + r"\Info", "InstallDir", "C:\\Apps\\Zorva\\")
    bed.reg_add(PRODUCT + r"\Common", None)
    bed.reg_add(PRODUCT + r"\Info", "PackageID", str(0x5A0000 | crc16_xmodem("secret")),
                type="REG_DWORD")
    run = seq.start("/UNINSTALL", restarts=True)
    assert f"Do you want to remove {TITLE}" in message(screen)
    screen.keys(TITLE, "y")
    dialog = screen.read(PASSWORD)
    assert dialog.control(PASSWORD_WRONG).text == "" and not dialog.control(IDOK).enabled
    screen.type(PASSWORD, "wrong")
    screen.photograph(PASSWORD, "password", docs="password-dialog.png")
    screen.keys(PASSWORD, "Return")
    # The dialog comes back saying why.
    assert password_note(screen).startswith("The password is not correct.")
    screen.type(PASSWORD, "secret")
    screen.keys(PASSWORD, "Return")
    end = screen.read(END)
    assert end.control(END_TEXT).text == f"{TITLE} has been removed from this computer."
    # "Restart now" left on: Windows is asked to restart.
    screen.keys(END, "Return")
    run.result()
    assert bed.restart_requested()
    assert "SetupRemoveProductFolders" in seq.journal()


def test_library_alone_wait_marquee_german_texts_and_limits(bed, screen):
    drive = winebed.TOOLS / "zsvisdrive.exe"
    main = f"main={bed.winpath(UI / 'main.dll')}"
    base = [main, "title=Sample", "comp=Core:1A", "comp=Mail:10000120"]
    release = bed.root / "release"
    run = Background(lambda: bed.run(drive, main, f"title={TITLE}", "phase=12", "wait",
                                     bed.winpath(release)))
    assert screen.read(WAIT).control(PHASE).text == f"Installing {TITLE}..."
    # The bar keeps moving while the program dispatches its messages.
    x, y, w, h = screen.geometry(screen.find(WAIT))
    first = screen.photograph(WAIT, "wait")
    time.sleep(1)
    second = screen.shot("wait-later")
    assert screen.rgb(first, x, y, w, h) != screen.rgb(second, x, y, w, h)
    release.write_text("x")
    assert run.result().code == 0

    # German texts come from the German language library; the folder typed is written into the
    # context, the variable the component libraries read and global.xml, whose other content stays.
    global_xml = bed.c / "global.xml"
    # A target 151 characters below the install folder leaves 260 - 151 - 3 (the name of a copy
    # waiting for the restart) = 106 for the folder.
    target = "%INSTALLDIR%\\" + "x" * 146 + ".txt"
    global_xml.write_text('<?xml version="1.0"?>\n<ZORVASETUP><PACKAGE><SETUP DAT_CNT="2" '
                          'INSTALLPATH="C:\\Old\\"/><COMPONENTS><COMPONENT><FILES><FILE '
                          f'TARGET="{target}"/></FILES></COMPONENT></COMPONENTS></PACKAGE>'
                          '</ZORVASETUP>\n')
    german = f"lang={bed.winpath(UI / 'de' / 'mainlang.dll')}"
    # The folder browser is the shell32.dll double, which tells whether COM was initialised on the
    # thread, as Windows' browser needs (Wine's initialises it for itself).
    shutil.copy(DOUBLES / "shell32.dll", bed.c / "windows" / "system32" / "shell32.dll")
    shell = {"WINEDLLOVERRIDES": "shell32=n", "ZS_SHELL_JOURNAL": "C:\\shell.txt"}
    run = Background(lambda: bed.run(drive, *base, german, "folder=C:\\Old",
                                     "global=C:\\global.xml", "setup", env=shell))
    dialog = screen.read("Sample Setup")
    assert dialog.control(INTRO).text.startswith("Setup installiert Sample")
    assert [dialog.control(i).text for i in (BROWSE, IDOK, IDCANCEL)] == [
        "&Durchsuchen...", "&Installieren", "Abbrechen"]
    assert dialog.columns == ["Komponente", "Version"]
    assert dialog.rows == [("Core", "1A"), ("Mail", "10000120")]
    for typed, refusal in (("C:\\" + "z" * 104, "höchstens 106 Zeichen"),
                           ("D:\\Ziel", "Das Laufwerk D:\\ gibt es")):
        screen.keys("Sample Setup", "alt+z")
        screen.type("Sample Setup", typed)
        screen.keys("Sample Setup", "Return")
        assert refusal in message(screen, "Sample")
        screen.keys("Sample", "Return")
    screen.keys("Sample Setup", "alt+d")
    assert wait_for(bed.c / "shell.txt") == "SHBrowseForFolderA com\n"
    screen.keys("Sample Setup", "alt+z")
    screen.type("Sample Setup", "C:\\" + "z" * 102 + " ")
    screen.keys("Sample Setup", "Return")
    folder = "C:\\" + "z" * 102 + "\\"
    assert run.result().stdout.splitlines() == ["result 12324", f"folder {folder}",
                                                f"variable {folder}"]
    root = ET.parse(global_xml).getroot()
    assert root.find("PACKAGE/SETUP").attrib == {"DAT_CNT": "2", "INSTALLPATH": folder}
    assert root.find("PACKAGE/COMPONENTS/COMPONENT/FILES/FILE").get("TARGET") == target


def test_library_end_dialog_escape_texts_that_cannot_be_filled_and_the_password_in_bytes(bed,
                                                                                       screen):
    drive = winebed.TOOLS / "zsvisdrive.exe"
    main = f"main={bed.winpath(UI / 'main.dll')}"
    # Esc on the end dialog is "not now", whatever the box says: no restart closes the other
    # programs unasked. The title's "&" shows as it is (no mnemonic), and after an uninstallation
    # the restart note speaks of no setup.
    run = Background(lambda: bed.run(drive, main, "title=Zorva & Co", "restart=1", "end", "16"))
    end = screen.read("Zorva & Co - Finished")
    assert end.control(END_TEXT).text == "Zorva & Co has been removed from this computer."
    assert end.control(END_TEXT).style & SS_NOPREFIX and end.control(RESTART).checked == 1
    assert end.control(RESTART_NOTE).text.startswith("Windows must be restarted to finish.")
    screen.keys("Zorva & Co - Finished", "Escape")
    assert run.result().stdout.splitlines() == ["restart 0"]

    # A language library whose texts use inserts that are not there (%4, a printf format): main.dll
    # shows its own English ones instead of reading past its inserts. An exit code in error style
    # gets its meaning, the name the program passed (a step tag such as "EE" is for the log only)
    # and the code; a number from 301 to 308 is a component's failure code like any other, not one
    # of the program's own strings.
    lang = f"lang={bed.winpath(DOUBLES / 'mainlang.dll')}"
    missing = "The package's data files are missing"
    for number, detail, start, details in (
            ("106", "EE", missing, None),
            ("106", "Web shield", missing, "Details: Web shield"),
            ("305", "Web shield", f'The component "Web shield" of {TITLE} reported a failure',
             None)):
        run = Background(lambda: bed.run(drive, main, lang, f"title={TITLE}", "msg", number, "16",
                                         detail))
        text = message(screen, TITLE)
        assert text.startswith(start), text
        assert text.endswith(f"Error code: {number}") and "LANG:" not in text
        assert (details in text) if details else ("Details" not in text and "EE" not in text), text
        screen.keys(TITLE, "Return")
        assert run.result().stdout.splitlines() == ["result 1"]

    # The password field takes 29 characters at most, the buffer's 30 bytes with the terminator,
    # and in a double-byte code page (Japanese, 932) as many characters as fit those bytes: the
    # 15th two-byte character is refused where it is typed, so the field holds what counts (a
    # one-byte character still fits behind the 14th), instead of a password cut where it no
    # longer fits. (xdotool drops a character of a long Unicode text now and then: 20 are typed.)
    run = Background(lambda: bed.run(drive, main, "pwd"))
    screen.type(PASSWORD, "abcdefghij" * 4)
    screen.keys(PASSWORD, "Return")
    assert run.result().stdout.splitlines() == ["password " + ("abcdefghij" * 3)[:29]]
    run = Background(lambda: bed.run(drive, main, "pwd", env={"LC_ALL": "ja_JP.UTF-8"}))
    screen.type(PASSWORD, "\u30a2" * 20 + "b")
    screen.keys(PASSWORD, "Return")
    typed = ("\u30a2" * 14 + "b").encode("cp932").decode("latin-1")
    assert run.result().stdout.splitlines() == ["password " + typed]
