"""The dialogs over a real installation, upgrade and uninstall of the sample product: the files
land in the folder chosen in the setup dialog, an upgrade stays where the product is, a downgrade
answered No changes nothing, the end dialog's restart choice decides the restart, and a locked
product is removed after a wrong and then the right password.

"""

import json

import winebed
from test_ui import (END, END_TEXT, FOLDER, PASSWORD, PRODUCT, RESTART, SAMPLE, SETUP, TITLE,
                     crc16_xmodem, message, password_note, sample_package)
from xscreen import Background

UNINSTALL_ENTRY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA"
FILES = ["readme.txt", "Data\\signatures.dat", "mail.txt"]


def installed(folder) -> bool:
    return all((folder / f.replace("\\", "/")).is_file() for f in FILES)


def test_install_into_a_chosen_folder_then_upgrade_there(bed, screen):
    pkg = sample_package(bed)
    chosen = bed.c / "Chosen"
    chosen.mkdir()
    bed.arm_restart_marker()
    run = Background(lambda: bed.run(pkg / "setup.exe", "/TEST", cwd=pkg).code)
    screen.keys(SETUP, "alt+b")
    screen.keys("Browse for Folder", "shift+Tab")
    screen.type("Browse for Folder", "chosen")
    screen.keys("Browse for Folder", "Return")
    screen.gone("Browse for Folder")
    assert screen.read(SETUP).control(FOLDER).text == "C:\\Chosen\\"
    screen.keys(SETUP, "Return")
    end = screen.read(END)
    assert end.control(END_TEXT).text == f"{TITLE} has been installed on this computer."
    screen.keys(END, "alt+r", "Return")
    # "Restart now" turned off: no restart, and the exit code still tells that one is needed.
    assert run.result() == 3010
    assert not bed.restart_requested(wait=2)
    assert installed(chosen) and not (bed.c / "Program Files" / "Vesk").exists()
    assert bed.reg_query(PRODUCT + r"\Info", "InstallDir") == "C:\\Chosen\\"

    assert bed.reg_has_key(UNINSTALL_ENTRY)

    # The same package again is an upgrade: the folder is fixed, and the files stay there.
    run = Background(lambda: bed.run(pkg / "setup.exe", cwd=pkg).code)
    folder = screen.read(SETUP).control(FOLDER)
    assert folder.text == "C:\\Chosen\\" and not folder.enabled
    screen.keys(SETUP, "Return")
    assert screen.read(END).control(END_TEXT).text == f"{TITLE} has been upgraded."
    screen.keys(END, "alt+r", "Return")
    assert run.result() == 3010
    assert installed(chosen)
    assert bed.reg_query(PRODUCT + r"\Info", "InstallDir") == "C:\\Chosen\\"


def test_default_folder_downgrade_refused_and_locked_uninstall_with_restart(bed, screen):
    pkg = sample_package(bed)
    default = bed.c / "Program Files" / "Vesk"
    run = Background(lambda: bed.run(pkg / "setup.exe", cwd=pkg).code)
    assert screen.read(SETUP).control(FOLDER).text == "C:\\Program Files\\Vesk\\"
    screen.keys(SETUP, "Return")
    screen.keys(END, "alt+r", "Return")
    assert run.result() == 3010
    assert installed(default)

    # An older build of the installed components: the question answered No ends the run through
    # the exit path with 0 (3010, a restart being pending from the start) and changes nothing.
    manifest = json.loads((SAMPLE / "manifest.json").read_text())
    for component in manifest["components"]:
        component["build"] = "1000011F"
    older = sample_package(bed, "older", components=manifest["components"])
    (default / "readme.txt").write_text("kept")
    run = Background(lambda: bed.run(older / "setup.exe", cwd=older).code)
    assert "older build of a component" in message(screen)
    screen.keys(TITLE, "n")
    assert run.result() == 3010
    assert (default / "readme.txt").read_text() == "kept"

    # The settings lock: a wrong password, then the right one.
    bed.reg_add(PRODUCT + r"\Info", "PackageID", str(0x5A0000 | crc16_xmodem("secret")),
                type="REG_DWORD")
    bed.arm_restart_marker()
    # Wine ends every process when the restart is requested, the launcher too.
    run = Background(lambda: bed.wine(pkg / "setup.exe", "/UNINSTALL", cwd=pkg))
    screen.keys(TITLE, "y")
    screen.type(PASSWORD, "wrong")
    screen.keys(PASSWORD, "Return")
    assert password_note(screen).startswith("The password is not correct.")
    screen.type(PASSWORD, "secret")
    screen.keys(PASSWORD, "Return")
    end = screen.read(END)
    assert end.control(END_TEXT).text == f"{TITLE} has been removed from this computer."
    assert end.control(RESTART).checked == 1
    screen.keys(END, "Return")
    run.result()
    assert bed.restart_requested()
    assert not any((default / f.replace("\\", "/")).exists() for f in FILES)
    assert not bed.reg_has_key(UNINSTALL_ENTRY)
