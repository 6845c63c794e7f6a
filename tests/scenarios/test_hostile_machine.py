"""setup.exe on a machine where other people can write: libraries planted in the folders it is run
from, an authorized run whose temporary folder belongs to the user who started it.

Where Wine is not Windows, the scenarios make it search and act as Windows would:
- Wine loads its built-in copy of a system library even when a file of that name lies beside the
  program; WINEDLLOVERRIDES "name=n,b" makes it take the file first, which is the order in which
  Windows searches for every library that is not on its known-libraries list. The known ones
  (kernel32, user32, gdi32, advapi32, msvcrt) are not planted: Windows never looks for them
  outside the System folder. Nor is version.dll: Wine's own user32 imports it (Windows' does
  not), so under the override Wine would load a planted copy for itself before setup.exe starts;
  tests/test_images.py shows setup.exe no longer imports it.
- Wine enforces no access lists, and the stand-in Security.dll impersonates the process's own
  account, so a worker thread without the authorized token and a folder the user could swap both
  go unnoticed. setup_fault.exe records, for every change made while the main thread
  impersonates, whether the thread that made it carried the token (ZS_TOKEN_RECORD); links the
  user made in the temporary folder are symbolic links in the prefix, which Wine, as Windows,
  reports as reparse points.
- Wine has SetDefaultDllDirectories, which Windows 98, NT 4.0 and XP to 7 without the loader
  update lack; setup_unrestricted.exe (a test build of setup.exe that never restricts the search)
  stands for setup.exe on those systems.
"""

import json
import shutil

import test_authorization
import winebed
from setup_runs import DOUBLES, build, lib, temp_folder, zspack

SAMPLE = winebed.ROOT / "examples" / "sample"
SETUP_FOLDER = "C:\\Program Files\\Vesk\\Setup\\"
# Every library setup.exe or main.dll loads that is not a known one.
PLANTED = ["wsock32.dll", "Security.dll", "comctl32.dll", "shell32.dll"]
OVERRIDES = "mscoree,mshtml=;wsock32,security,comctl32,shell32=n,b"


def sample(bed, name, setup=winebed.BUILD_WIN / "src" / "driver" / "setup.exe", extra=None):
    manifest = json.loads((SAMPLE / "manifest.json").read_text())
    if extra:
        extra(manifest)
    result = zspack.build_package(manifest, bed.c / name, setup=setup, base=SAMPLE)
    assert result.code == 0, result.error
    return result.folder


def plant(folder, names):
    for name in names:
        shutil.copy(DOUBLES / "planted.dll", folder / name)


def ran(folder):
    return sorted(p.name for p in folder.glob("*.ran"))


def test_libraries_planted_where_setup_runs_never_run(bed):
    test_authorization.put_security_double(bed)
    env = {"WINEDLLOVERRIDES": OVERRIDES, "ZS_TEST_NOT_ADMIN": "1"}

    # With the dialogs the product's visual library is loaded (and with it the common controls);
    # without a screen its setup dialog cannot show, which ends the run as a cancel (3010: the
    # run owes the restart it would have needed).
    pkg = sample(bed, "dialogs")
    plant(pkg, PLANTED)
    shutil.copy(winebed.BUILD_WIN / "src" / "ui" / "main.dll", pkg / "main.dll")
    assert bed.run(pkg / "setup.exe", env={"WINEDLLOVERRIDES": OVERRIDES}).code == 3010
    assert not bed.reg_has_key(r"HKLM\Software\Vesk\Zrv")
    assert ran(pkg) == []

    # Where the search cannot be restricted: an authorized installation, and the uninstaller in
    # the product's folder started from the package folder, which now also holds a language
    # library (the product has none: none is looked for elsewhere).
    pkg = sample(bed, "pkg", setup=winebed.BUILD_WIN / "src" / "driver" / "setup_unrestricted.exe")
    # A runtime library the package carries makes the start compare versions (version.dll).
    shutil.copy(DOUBLES / "runtime_4201.dll", pkg / "msvcrt.dll")
    plant(pkg, PLANTED)

    test_authorization._enable_md4()
    server = test_authorization.AuthServer()
    try:
        code = bed.run(pkg / "setup.exe", "/SILENTMODE", f"/AUTHSERVER=127.0.0.1:{server.port}",
                       env=env).code
    finally:
        server.close()
    assert code == 3010
    assert bed.reg_query(r"HKLM\Software\Vesk\Zrv\CurrentVersion\Info", "InstallDir")

    # The uninstaller in the product's folder, started from the package folder, which now also
    # holds a language library: the product has none, and none is looked for elsewhere.
    plant(pkg, ["mainlang.dll", "main.dll"])
    server = test_authorization.AuthServer()
    try:
        code = bed.run(SETUP_FOLDER + "setup.exe", "/UNINSTALL", "/SILENTMODE",
                       f"/AUTHSERVER=127.0.0.1:{server.port}", env=env, cwd=pkg).code
    finally:
        server.close()
    assert code == 3010
    assert not bed.reg_has_key(r"HKLM\Software\Vesk\Zrv")
    assert ran(pkg) == []


def authorized(bed, program, *switches, env, cwd=None):
    test_authorization._enable_md4()
    server = test_authorization.AuthServer()
    try:
        return bed.run(program, "/SILENTMODE", f"/AUTHSERVER=127.0.0.1:{server.port}", *switches,
                       env=env, cwd=cwd).code
    finally:
        server.close()


def test_an_authorized_run_keeps_to_a_folder_of_its_own_and_its_token_on_every_thread(bed):
    def more(manifest):
        # Enough files for the workers to share, one too large for them (the thread that decodes
        # writes it), and a component double that names global.xml.
        manifest["components"][0]["files"] += [
            {"content": f"data {i}", "name": f"f{i:02}.dat",
             "target": f"%INSTALLDIR%\\Data\\f{i:02}.dat"} for i in range(40)] + [
            {"content": "0" * (9 << 20), "name": "big.dat"}]
        manifest["components"][1]["exe"] = [lib("zskeep.dll")]

    pkg = sample(bed, "pkg", setup=winebed.BUILD_WIN / "src" / "driver" / "setup_fault.exe",
                 extra=more)
    test_authorization.put_security_double(bed)
    zs = bed.c / "zs"
    zs.mkdir()
    env = {"WINEDLLOVERRIDES": test_authorization.SECURITY_OVERRIDE, "ZS_TEST_NOT_ADMIN": "1",
           "ZS_TOKEN_RECORD": "C:\\zs\\tokens.txt", "ZS_COMP_JOURNAL": "C:\\zs\\comp.txt"}
    # The user made the working and extraction folders, and the first private one, links to
    # folders of theirs.
    temp = temp_folder(bed)
    for name in ("ZSetup", "zrvtmpa", "ZSetupAuth"):
        (bed.c / "mine" / name).mkdir(parents=True)
        (bed.c / "mine" / name / "keep.txt").write_text("mine")
        (temp / name).symlink_to(bed.c / "mine" / name)
    private = bed.winpath(temp) + "\\ZSetupAuth1\\"

    def changes():
        record = zs / "tokens.txt"
        lines = record.read_text().splitlines()
        record.unlink()
        return lines

    assert authorized(bed, pkg / "setup.exe", env=env) == 3010
    made = changes()
    assert made and all(line.endswith(" held") for line in made), [
        line for line in made if not line.endswith(" held")]
    assert any(" worker " in line for line in made)
    assert not any(line.split(" ", 1)[1].startswith(bed.winpath(temp) + "\\ZSetup\\")
                   for line in made)
    journal = (zs / "comp.txt").read_text().splitlines()
    assert journal and all(line.endswith(" " + private + "global.xml") for line in journal
                           if " exeProc " in line), journal
    assert not (temp / "ZSetupAuth1").exists()

    # The uninstaller in the product's folder, authorized the same way.
    assert authorized(bed, SETUP_FOLDER + "setup.exe", "/UNINSTALL", env=env) == 3010
    made = changes()
    assert made and all(line.endswith(" held") for line in made), made
    assert not bed.reg_has_key(r"HKLM\Software\Vesk\Zrv")
    for name in ("ZSetup", "zrvtmpa", "ZSetupAuth"):
        assert [p.name for p in (bed.c / "mine" / name).iterdir()] == ["keep.txt"], name
