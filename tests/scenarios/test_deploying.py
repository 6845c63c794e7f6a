"""The deployment guide (docs/deploying.md) held to the product: every command line in it runs here,
as written, on the sample product under Wine and ends as the guide says, its log appended to the
file its /LOG= names; a log that cannot be written there lands in the temporary folder; the startup script and the administrator's file are taken
from the guide itself; every exit code of its table is produced here or by the scenario file
named below."""

import contextlib
import json
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET

import winebed
from setup_runs import DOUBLES, build, crc16_xmodem, lib, temp_folder, zspack

import test_authorization

GUIDE = winebed.ROOT / "docs" / "deploying.md"
SAMPLE = winebed.ROOT / "examples" / "sample"
UNINSTALL_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA"
INFO_KEY = r"SOFTWARE\Vesk\Zrv\CurrentVersion\Info"
INSTALL = "C:\\Program Files\\Vesk\\"

# The guide's command lines; `setup.exe` is the package folder's.
INSTALL_LOG = " /LOG=C:\\Logs\\zorva-install.log"
UNINSTALL_LOG = " /LOG=C:\\Logs\\zorva-uninstall.log"
INSTALL_CMD = "setup.exe /SILENTMODE" + INSTALL_LOG
RELATIVE = "setup.exe /SILENTMODE /LOG=zorva-install.log"
WITH_FILE = ('setup.exe /SILENTMODE /CFG=sales.xml /$SERVER=update.example.com /$DEPT="Sales East"'
             + INSTALL_LOG)
FORCEOLD = "setup.exe /SILENTMODE /FORCEOLD" + INSTALL_LOG
REBOOT = "setup.exe /SILENTMODE /REBOOT" + INSTALL_LOG
QUIET = '"C:\\Program Files\\Vesk\\Setup\\setup.exe" /UNINSTALL /SILENTMODE'
UNINSTALL = QUIET + UNINSTALL_LOG
UNINSTALL_PWD = QUIET + ' /PWD="Secret 1"' + UNINSTALL_LOG
AUTHORIZED = "setup.exe /SILENTMODE /AUTHSERVER=localhost:4401" + INSTALL_LOG
COMMANDS = [INSTALL_CMD, RELATIVE, WITH_FILE, FORCEOLD, REBOOT, UNINSTALL, UNINSTALL_PWD,
            AUTHORIZED]

# Rows of the guide's exit code table: produced in this file, or by another scenario file (with the
# code it asserts for a row that stands for several).
PRODUCED_HERE = ["0", "3010", "101", "102", "103", "105", "107", "108", "113"]
PRODUCED_ELSEWHERE = {
    "-1": ("test_driver_sequences.py", "-1"),
    "104": ("test_driver_sequences.py", "104"),
    "106": ("test_package.py", "106"),
    "109": ("test_package.py", "109"),
    "111": ("test_install.py", "111"),
    "112": ("test_disk_space.py", "112"),
    "114": ("test_package.py", "114"),
    "115": ("test_install.py", "115"),
    "116": ("test_install.py", "116"),
    "117": ("test_driver_sequences.py", "117"),
    "118": ("test_install.py", "118"),
    "119": ("test_driver_sequences.py", "119"),
    "121": ("test_package.py", "121"),
    "202": ("test_engines.py", "202"),
    "301, 302": ("test_driver_sequences.py", "(301"),
    "307": ("test_driver_sequences.py", "(307"),
    "above 307": ("test_driver_sequences.py", "(400"),
    "1618": ("test_one_setup.py", "1618"),
    "100 to 1000 (others)": ("test_install.py", "500"),
}

# The component double beside the sample's libraries keeps global.xml as each command finds it,
# so the settings the components receive can be read; as a user-interface library it can fail.
COMP_SCRIPT = "zskeep.dll keep C:\\zs\\\n"
ENV = {"ZS_COMP_SCRIPT": "C:\\zs\\comp_script.txt", "ZS_VIS_SCRIPT": "C:\\zs\\vis_script.txt"}


def blocks(kind):
    """The guide's fenced blocks of that kind."""
    return re.findall(rf"^```{kind}\n(.*?)^```$", GUIDE.read_text(), re.M | re.S)


def sample(bed, name, build_id="10000120", dialogs=True):
    """The sample product's package with the product's visual and English language libraries."""
    manifest = json.loads((SAMPLE / "manifest.json").read_text())
    for component in manifest["components"]:
        component["build"] = build_id
    manifest["components"][1]["exe"] = [lib("zskeep.dll")]
    manifest["components"][1]["gui"] = [{"name": "zskeep.dll"}]
    ui = winebed.BUILD_WIN / "src" / "ui"
    libraries = {"main": ui / "main.dll", "mainlang": ui / "en" / "mainlang.dll"} if dialogs else {}
    return build(bed, manifest, name, base=SAMPLE, **libraries)


def prepare(bed):
    zs = bed.c / "zs"
    zs.mkdir()
    (zs / "comp_script.txt").write_text(COMP_SCRIPT)
    (zs / "vis_script.txt").write_text("")
    (bed.c / "Logs").mkdir()
    return zs


def split(line, folder):
    if line.startswith('"'):
        program, tail = line[1:].split('" ', 1)
        return program, tail
    return folder / "setup.exe", line.split(" ", 1)[1]


def logged(bed, line, cwd=None):
    """The log the line names and the runs it holds: their lines, each run from its CmdLine on."""
    name = re.search(r"/LOG=(\S+)", line).group(1)
    path = bed.c / name[3:].replace("\\", "/") if name.startswith("C:\\") else cwd / name
    text = path.read_text() if path.exists() else ""
    return path, re.findall(r"^\[[^]]+\] (CmdLine: .*?)\n\n", text, re.M | re.S)


def run(bed, line, folder=None, env=None, cwd=None, launch=None):
    """Runs one of the guide's command lines exactly as written (launch: another way to start it)
    and checks that its log was appended to the file the line names, the password masked."""
    program, tail = split(line, folder)
    path, before = logged(bed, line, cwd)
    env = {**ENV, **(env or {})}
    code = launch() if launch else bed.run(program, raw=tail, env=env, cwd=cwd).code
    after = logged(bed, line, cwd)[1]
    shown = re.sub(r'(/PWD=")([^"]*)', lambda m: m.group(1) + "*" * len(m.group(2)), tail)
    assert after[:len(before)] == before and len(after) == len(before) + 1, (path, line)
    assert after[-1].startswith("CmdLine: " + shown + "\n"), after[-1]
    return code


def entry(bed, value):
    return bed.reg_query("HKLM\\" + UNINSTALL_KEY, value)


@contextlib.contextmanager
def read_only_share(bed, folder):
    """The package folder at C:\\share on a read-only mount: a share the machine may only read."""
    share = bed.c / "share"
    share.mkdir()
    subprocess.run(["mount", "--bind", str(folder), str(share)], check=True)
    try:
        subprocess.run(["mount", "-o", "remount,bind,ro", str(share)], check=True)
        yield share
    finally:
        subprocess.run(["umount", "-l", str(share)], check=True)


def test_install_upgrade_and_uninstall_as_documented(bed):
    zs = prepare(bed)
    v1 = sample(bed, "v1")
    v2 = sample(bed, "v2", "10000121")
    temp = temp_folder(bed)

    # Runs that end before changing anything: not an administrator, obstacles, broken packages.
    assert run(bed, INSTALL_CMD, v1, env={"ZS_TEST_NOT_ADMIN": "1"}) == 101
    (temp / "ZSetup").write_text("a file where the working folder goes")
    assert run(bed, INSTALL_CMD, v1) == 105
    (temp / "ZSetup").unlink()
    broken = sample(bed, "no-setupc")
    assert zspack.test_rar(broken / "Core.rar", [("readme.txt", b"no description")]) == ""
    assert run(bed, INSTALL_CMD, broken) == 107
    broken = sample(bed, "no-datcnt")
    setup_xml = broken / "setup.xml"
    setup_xml.write_text(setup_xml.read_text().replace(' DAT_CNT="0"', ""))
    assert run(bed, INSTALL_CMD, broken) == 113
    # With dialogs (the visual library's double answers them), a user-interface library that
    # cannot connect.
    broken = sample(bed, "ui-fails", dialogs=False)
    shutil.copy(DOUBLES / "main.dll", broken / "main.dll")
    (zs / "comp_script.txt").write_text("zskeep.dll connectVis null\n")
    assert bed.run(broken / "setup.exe", env=ENV).code == 103
    (zs / "comp_script.txt").write_text(COMP_SCRIPT)
    assert not bed.reg_has_key(r"HKLM\Software\Vesk") and entry(bed, "DisplayName") is None

    with read_only_share(bed, v1) as share:
        # A log named on a share that cannot be written goes to the temporary folder, and says so
        # first.
        tail = "/SILENTMODE /LOG=C:\\share\\zorva.log"
        assert bed.run(share / "setup.exe", raw=tail, env=ENV).code == 3010
        log = temp / "zsetup.log"
        assert not (share / "zorva.log").exists() and not (share / "zsetup.log").exists()
        lines = log.read_text().splitlines()
        assert lines[0].endswith("] Error: Couldn't open log file : C:\\share\\zorva.log")
        assert lines[1].endswith("] CmdLine: " + tail) and lines[-1] == ""
        assert not any("Exitcode" in line for line in lines)
        # The components are told where it is.
        setup = ET.parse(zs / "global_3.xml").find("PACKAGE/SETUP")
        assert setup.get("LOGPATH") == bed.winpath(log)
        command = f'"{INSTALL}Setup\\setup.exe" /UNINSTALL'
        for value, data in {"DisplayName": "ZORVA Antivirus System", "DisplayVersion": "10000120",
                            "Publisher": "Vesk", "InstallLocation": INSTALL,
                            "UninstallString": command,
                            "QuietUninstallString": command + " /SILENTMODE",
                            "NoModify": "0x1", "NoRepair": "0x1", "TSAware": "0x1"}.items():
            assert entry(bed, value) == data, value
        assert bed.reg_query("HKLM\\" + INFO_KEY, "InstallDir") == INSTALL
        assert entry(bed, "QuietUninstallString") == QUIET

        # Upgrade, a refused downgrade, and a downgrade on purpose.
        assert run(bed, INSTALL_CMD, v2) == 3010
        assert entry(bed, "DisplayVersion") == "10000121"
        assert run(bed, INSTALL_CMD, v1) == 108
        assert entry(bed, "DisplayVersion") == "10000121"
        assert run(bed, FORCEOLD, v1) == 3010
        assert entry(bed, "DisplayVersion") == "10000120"
        bed.restart()

        # A locked product: without its password the uninstall ends with 0 and removes nothing;
        # the uninstaller, run from the product's folder, logs where the line says.
        bed.reg_add("HKLM\\" + INFO_KEY, "PackageID", str(0x5A0000 | crc16_xmodem("Secret 1")),
                    type="REG_DWORD")
        log.unlink()
        assert run(bed, UNINSTALL) == 0
        setup_folder = bed.c / "Program Files" / "Vesk" / "Setup"
        assert not (setup_folder / "zsetup.log").exists() and not log.exists()
        run_lines = logged(bed, UNINSTALL)[1][-1].splitlines()
        assert [line.split("] ", 1)[-1] for line in run_lines[-2:]] == [
            "Registry: old settings read", "Error: Product locked: the password is missing or wrong"]
        assert entry(bed, "DisplayVersion") == "10000120"
        assert run(bed, UNINSTALL_PWD) == 3010
        assert entry(bed, "DisplayName") is None and not bed.reg_has_key(r"HKLM\Software\Vesk\Zrv")
        bed.restart()
        assert not (bed.c / "Program Files" / "Vesk").exists()

        # The startup script, as the guide has it, with local folders for the two shares.
        (script,) = blocks("bat")
        local = re.sub(r"(?m)^set PACKAGE=.*$", r"set PACKAGE=C:\\share", script)
        local = re.sub(r"(?m)^set RESULTS=.*$", r"set RESULTS=C:\\results", local)
        assert local.count("C:\\share") == 1 and local.count("C:\\results") == 1
        (bed.c / "startup.cmd").write_text(local.replace("\n", "\r\n"))
        results = bed.c / "results"
        results.mkdir()
        bed.wine("cmd", "/c", "C:\\startup.cmd", check=True)
        (report,) = results.glob("*.txt")
        assert report.read_text().rstrip().endswith(" ZORVA setup exit code 3010")
        (written,) = results.glob("*-zsetup.log")
        assert "] CmdLine: /SILENTMODE /LOG=" in written.read_text()
        assert entry(bed, "DisplayVersion") == "10000120"
        # Installed: the script does nothing.
        bed.wine("cmd", "/c", "C:\\startup.cmd", check=True)
        assert len(report.read_text().splitlines()) == 1

        assert run(bed, UNINSTALL) == 3010
        assert entry(bed, "DisplayName") is None


def test_administrators_file_and_a_restart_by_itself(bed):
    zs = prepare(bed)
    pkg = sample(bed, "pkg")
    assert run(bed, WITH_FILE, pkg) == 102
    assert entry(bed, "DisplayName") is None

    (example,) = blocks("xml")
    (pkg / "sales.xml").write_text(example)
    assert run(bed, WITH_FILE, pkg) == 3010
    assert bed.reg_query("HKLM\\" + INFO_KEY, "InstallDir") == INSTALL + "ZORVA\\"
    # TEST from the file's CMDLINE besides: the log still goes where /LOG= says.
    assert not (pkg / "zsetup.log").exists()
    log = logged(bed, WITH_FILE)[1][-1]
    assert "] Admin xml added\n" in log and "] Admins InstallPath accepted\n" in log
    root = ET.parse(zs / "global_3.xml").getroot()
    (plugin,) = [p for p in root.iterfind("SETUPINFO/SETTINGS/PLUGIN") if p.get("ID") == "100"]
    data = {n.get("NAME"): (n.get("VALUE"), n.get("TYPE")) for n in plugin.find("DATA")}
    assert data["UpdateInterval"] == ("C", "DWORD")  # the package's 18 replaced
    assert data["UpdateServer"] == ("update.example.com", "STRING")
    assert data["Department"] == ("Sales East", "STRING")
    assert data["ScanLevel"] == ("2", "DWORD")  # the component's own entry kept
    profiles = plugin.findall("DATA/NODE[@TYPE='SUBNODE']")
    assert [(n.get("NAME"), n.get("VALUE")) for n in profiles[0]] == [
        ("PROFILE_NAME", "Full scan"), ("Archives", "0")]
    assert len(profiles) == 1

    # An upgrade that restarts Windows at the end: Wine then ends every process of the prefix, so
    # the exit code cannot be read; the restart is seen by its RunOnce marker, and it put the new
    # files waiting beside the installed ones in their place.
    newer = sample(bed, "newer", "10000121")
    bed.arm_restart_marker()
    restart = lambda: bed.wine(newer / "setup.exe", *REBOOT.split()[1:], env=ENV)  # noqa: E731
    run(bed, REBOOT, newer, launch=restart)
    assert bed.restart_requested()
    assert entry(bed, "DisplayVersion") == "10000121"
    install = bed.c / "Program Files" / "Vesk" / "ZORVA"
    assert (install / "readme.txt").exists() and not list(install.rglob("_*"))


def test_a_user_who_is_no_administrator_with_an_authorization_server(bed):
    prepare(bed)
    v1 = sample(bed, "v1", dialogs=False)
    test_authorization.put_security_double(bed)
    env = {"ZS_TEST_NOT_ADMIN": "1", "ZS_SEC_JOURNAL": "C:\\zs\\sec.txt",
           "WINEDLLOVERRIDES": test_authorization.SECURITY_OVERRIDE}
    # No server there: 101, and the log says why.
    assert run(bed, AUTHORIZED, v1, env=env) == 101
    assert "] Error: REMOTE AUTHORIZE\n" in logged(bed, AUTHORIZED)[1][-1]
    assert entry(bed, "DisplayName") is None
    test_authorization._enable_md4()
    server = test_authorization.AuthServer(port=4401)
    try:
        assert run(bed, AUTHORIZED, v1, env=env) == 3010
    finally:
        server.close()
    assert entry(bed, "DisplayVersion") == "10000120"
    # A relative name: in the current folder of whatever starts the setup, not beside it.
    work = bed.c / "work"
    work.mkdir()
    assert run(bed, RELATIVE, v1, cwd=work) == 3010
    assert not (v1 / "zorva-install.log").exists()


def test_the_guide_names_what_the_scenarios_check():
    text = GUIDE.read_text()
    assert "(docs/deploying.md)" in (winebed.ROOT / "README.md").read_text()
    documented = [line for block in blocks("cmd") for line in block.splitlines()]
    assert sorted(documented) == sorted(COMMANDS)
    # Every way the guide starts the setup names its log.
    assert all("/LOG=" in line for line in documented + [blocks("bat")[0], blocks("yaml")[0]])

    table = text.split("\n## Exit codes\n", 1)[1].split("\n## ", 1)[0]
    rows = [m.group(1).strip() for m in re.finditer(r"^\| ([^|]+) \|", table, re.M)][1:]
    assert sorted(rows) == sorted(PRODUCED_HERE + list(PRODUCED_ELSEWHERE))
    pointers = [("test_deploying.py", code) for code in PRODUCED_HERE]
    for name, code in pointers + list(PRODUCED_ELSEWHERE.values()):
        scenario = (winebed.ROOT / "tests" / "scenarios" / name).read_text()
        assert re.search(r"== " + re.escape(code) + r"\b", scenario), (name, code)

    # The detection rule reads what the first scenario found an installation writes.
    for name in (UNINSTALL_KEY, INFO_KEY, "DisplayVersion", "InstallDir"):
        assert f"| `{name}` |" in text, name
    (task,) = blocks("yaml")
    product_id = re.search(r"^\s+product_id: (\S+)$", task, re.M).group(1)
    assert product_id == UNINSTALL_KEY.split("\\")[-1]
    assert "expected_return_code: [0, 3010]" in task
