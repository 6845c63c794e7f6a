"""The dialogs over a real installation, upgrade and uninstall of the sample product: the files
land in the folder chosen in the setup dialog, an upgrade stays where the product is, a downgrade
answered No changes nothing, the end dialog's restart choice decides the restart, and a locked
product is removed after a wrong and then the right password; a package signed by the package
builder verifies and installs.

"""

import json
import subprocess
import sys
import xml.etree.ElementTree as ET

import winebed
from test_ui import (DRIVER, END, END_TEXT, ES_READONLY, FOLDER, PASSWORD, PRODUCT, RESTART, SAMPLE,
                     SETUP, TITLE, crc16_xmodem, log, message, password_note, sample_package)
from xscreen import Background

UNINSTALL_ENTRY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA"
FILES = ["readme.txt", "Data\\signatures.dat", "mail.txt"]
SETUP_EXE = DRIVER / "setup.exe"


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
    assert folder.text == "C:\\Chosen\\" and folder.style & ES_READONLY
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


def test_a_signed_package_verifies_and_installs_with_its_dialogs(bed, screen, tmp_path):
    # A throwaway publisher, as an administrator would make one to try the signing out.
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Throwaway publisher", "-keyout", key, "-out", cert,
                    "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    ui = winebed.BUILD_WIN / "src" / "ui"

    def pack(out, *signing):
        return subprocess.run([sys.executable, winebed.ROOT / "tools" / "zspack.py", "--setup",
                               SETUP_EXE, "--main", ui / "main.dll", "--mainlang",
                               ui / "en" / "mainlang.dll", *signing, SAMPLE / "manifest.json",
                               out], capture_output=True, text=True)

    def verify(path):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                              capture_output=True, text=True)

    # Half a key pair, a key that is no key, an unreachable timestamp server: refused, nothing made.
    assert pack(bed.c / "bad", "--sign-cert", cert).returncode == 2
    failed = pack(bed.c / "bad", "--sign-cert", cert, "--sign-key", cert)
    assert failed.returncode == 1 and "osslsigncode failed" in failed.stderr
    failed = pack(bed.c / "bad", "--sign-cert", cert, "--sign-key", key,
                  "--sign-timestamp", "http://127.0.0.1:9/")
    assert failed.returncode == 1 and "127.0.0.1:9" in failed.stderr
    assert not (bed.c / "bad").exists()

    assert pack(bed.c / "pkg", "--sign-cert", cert, "--sign-key", key).returncode == 0
    pkg = bed.c / "pkg"
    unsigned = verify(SETUP_EXE)
    assert unsigned.returncode != 0 and "No signature found" in unsigned.stderr + unsigned.stdout
    # Every library the components load, unpacked from their archives; the files to install are
    # packed as they are.
    libraries = []
    for archive in sorted(pkg.glob("*.rar")):
        out = tmp_path / archive.stem
        subprocess.run(["rar", "x", "-idq", archive, f"{out}/"], check=True)
        # A library's resource library is packed beside it and signed like it.
        names = [f.get(attr) for f in ET.parse(out / "setupc.xml").iterfind("MODULES/*/FILE")
                 for attr in ("NAME", "RESOURCE") if f.get(attr) not in (None, "unknown")]
        libraries += [out / name for name in names]
        for entry in out.iterdir():
            if entry.name not in names and entry.name != "setupc.xml":
                assert entry.read_bytes() == (SAMPLE / "files" / entry.name).read_bytes()
    assert [p.name for p in libraries] == ["zsample.dll", "zsamplefmt.dll"]
    for path in [pkg / "setup.exe", pkg / "main.dll", pkg / "mainlang.dll", *libraries]:
        checked = verify(path)
        assert checked.returncode == 0, (path, checked.stdout + checked.stderr)
        assert "Signature verification: ok" in checked.stdout, path
        assert "Throwaway publisher" in checked.stdout, path

    # The signed programs still start, show their dialogs and install.
    run = Background(lambda: bed.run(pkg / "setup.exe", "/TEST", cwd=pkg).code)
    screen.keys(SETUP, "Return")
    assert screen.read(END).control(END_TEXT).text == f"{TITLE} has been installed on this computer."
    screen.keys(END, "alt+r", "Return")
    assert run.result() == 3010
    assert installed(bed.c / "Program Files" / "Vesk")
    # What the uninstaller runs and loads, kept in the setup folder.
    kept = sorted((bed.c / "Program Files" / "Vesk" / "Setup").rglob("*.[de][lx][le]"))
    assert [p.name for p in kept] == [
        "zsample.dll", "zsamplefmt.dll", "main.dll", "mainlang.dll", "setup.exe"]
    assert all(verify(path).returncode == 0 for path in kept)
    assert "Resource: mainlang.dll" in log(pkg)
    assert any(line.startswith("Cmd:  0 Exelib: Core protection") for line in log(pkg))
