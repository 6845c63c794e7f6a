"""The Wine test bed: one throwaway 32-bit prefix per test with a persistent wineserver.

A template prefix is made once per build (tests/testbed/wine-env.sh) and copied for every test, so
tests never share machine state. The server is started with `wineserver -p` and kept until the
checks are done, because the first Wine process after a server start performs the restart work
(pending renames, wininit.ini, RunOnce); a restart happens only when a test asks for one.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD_WIN = Path(os.environ.get("ZS_BUILD_WIN", ROOT / "build" / "win"))
TEMPLATE = Path(os.environ.get("ZS_WINE_TEMPLATE", ROOT / "build" / "wine-template"))
TOOLS = BUILD_WIN / "tools"
RESTART_MARKER_VALUE = "zs-restart-marker"
# The registry the product touches: its own keys, the uninstall entry, the restart continuation.
SNAPSHOT_KEYS = (
    r"HKLM\Software\Vesk",
    r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZORVA",
    r"HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce",
)
PENDING_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager"


def wine_env(prefix: Path) -> dict:
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.update(
        WINEPREFIX=str(prefix),
        WINEARCH="win32",
        WINEDEBUG="-all",
        WINEDLLOVERRIDES="mscoree,mshtml=",
    )
    return env


def make_template() -> None:
    """Makes the template prefix when it is missing or older than Wine's fonts (about 10 s, once
    per build tree; wine-env.sh decides)."""
    subprocess.run(
        ["bash", "-c", f". '{ROOT}/tests/testbed/wine-env.sh' && wine_make_template"],
        check=True,
    )


@dataclass
class RunResult:
    code: int  # the full exit code, signed 32-bit
    stdout: str
    stderr: str


def quote_arg(arg: str) -> str:
    """Quotes one argument the way a Windows command line expects (enough for test paths)."""
    if arg and not any(c in arg for c in ' \t"'):
        return arg
    return '"' + arg.replace('"', '\\"') + '"'


class WineBed:
    """One scratch prefix. Use as a context manager or call close()."""

    def __init__(self) -> None:
        make_template()
        self.root = Path(tempfile.mkdtemp(prefix="zs-bed."))
        self.prefix = self.root / "prefix"
        subprocess.run(["cp", "-a", str(TEMPLATE), str(self.prefix)], check=True)
        self.c = self.prefix / "drive_c"
        self.env = wine_env(self.prefix)
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        self._counter = 0

    def close(self) -> None:
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self) -> "WineBed":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # Paths -------------------------------------------------------------------------------------

    def winpath(self, path) -> str:
        """A Unix path as the Windows program sees it: C:\\... inside drive_c, else Z:\\..."""
        p = Path(path).resolve() if Path(path).exists() else Path(os.path.abspath(path))
        try:
            rel = p.relative_to(self.c.resolve())
            return "C:\\" + str(rel).replace("/", "\\") if str(rel) != "." else "C:\\"
        except ValueError:
            return "Z:" + str(p).replace("/", "\\")

    def scratch(self, name: str = "") -> Path:
        """A fresh folder outside the prefix for the test's own files."""
        self._counter += 1
        d = self.root / f"scratch{self._counter}{('-' + name) if name else ''}"
        d.mkdir(parents=True)
        return d

    # Running -----------------------------------------------------------------------------------

    def wine(self, *args, env=None, timeout=120, check=False, cwd=None) -> subprocess.CompletedProcess:
        e = dict(self.env)
        if env:
            e.update(env)
        # Output goes through files, not pipes: the Wine services a process starts live on and
        # inherit its handles, so a pipe would never reach its end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(["wine", *[str(a) for a in args]], env=e, cwd=cwd, stdout=out,
                                  stderr=err, stdin=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(
                proc.args, proc.returncode, out.read().decode("latin-1"),
                err.read().decode("latin-1"))
        if check:
            result.check_returncode()
        return result

    def run(self, exe, *args, raw: str | None = None, env=None, cwd=None, timeout=120) -> RunResult:
        """Runs a Windows program through the launcher and returns its full exit code.

        `raw`, when given, is the command line behind the program's name exactly as it should
        arrive (quotes and all); otherwise the args are quoted where needed.
        """
        exe_win = exe if isinstance(exe, str) and ":" in exe[:3] else self.winpath(exe)
        tail = raw if raw is not None else " ".join(quote_arg(str(a)) for a in args)
        line = quote_arg(exe_win) + ((" " + tail) if tail else "")
        cmd_file = self.root / f"cmdline{self._next()}.txt"
        cmd_file.write_bytes(line.encode("latin-1") + b"\r\n")
        proc = self.wine(TOOLS / "zslaunch.exe", "@" + self.winpath(cmd_file), env=env, cwd=cwd,
                         timeout=timeout)
        code = None
        for out_line in reversed(proc.stdout.splitlines()):
            if out_line.startswith("exit code: "):
                code = int(out_line[len("exit code: "):])
                break
        if code is None:
            raise RuntimeError(f"launcher gave no exit code: rc={proc.returncode} "
                               f"stdout={proc.stdout!r} stderr={proc.stderr!r}")
        stdout = "\n".join(l for l in proc.stdout.splitlines() if not l.startswith("exit code: "))
        return RunResult(code, stdout, proc.stderr)

    def _next(self) -> int:
        self._counter += 1
        return self._counter

    # Registry ----------------------------------------------------------------------------------

    def reg_query(self, key: str, value: str | None = None):
        """Data of a value (value None: the default value) as text, or None when missing."""
        args = ["reg", "query", key] + (["/v", value] if value is not None else ["/ve"])
        proc = self.wine(*args)
        if proc.returncode != 0:
            return None
        for line in proc.stdout.replace("\r", "").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                name = parts[0]
                if value is None and name != "(Default)":
                    continue
                if value is not None and name.lower() != value.lower():
                    continue
                return parts[2] if len(parts) == 3 else ""
        return None

    def reg_has_key(self, key: str) -> bool:
        return self.wine("reg", "query", key).returncode == 0

    def reg_add(self, key: str, value: str | None, data=None, type: str = "REG_SZ") -> None:
        args = ["reg", "add", key, "/f"]
        if value is not None:
            args += ["/v", value, "/t", type]
            if data is not None:
                args += ["/d", str(data)]
        self.wine(*args, check=True)

    def reg_set_multi(self, key: str, value: str, strings) -> None:
        """Writes a REG_MULTI_SZ value; empty strings are kept (reg add cannot write them)."""
        data = "".join(x + "\0" for x in strings) + "\0"
        hexdata = ",".join(f"{b:02x}" for b in data.encode("utf-16-le"))
        reg_file = self.root / f"import{self._next()}.reg"
        reg_file.write_text("Windows Registry Editor Version 5.00\r\n\r\n"
                            f"[{key}]\r\n\"{value}\"=hex(7):{hexdata}\r\n", encoding="utf-16")
        self.wine("regedit", "/S", self.winpath(reg_file), check=True)

    def reg_delete(self, key: str, value: str | None = None) -> None:
        args = ["reg", "delete", key, "/f"] + (["/v", value] if value is not None else [])
        self.wine(*args)

    # Snapshots ---------------------------------------------------------------------------------

    def snapshot(self, keys=SNAPSHOT_KEYS, folders=None) -> dict:
        """What the product may touch, as a dict of item -> content: every key and value below
        keys (with the pending renames), and every folder and file below folders (Unix paths;
        default: the install folder, the System folder and the temporary folder). Files of the
        System folder are taken by size and time, the others by content."""
        items = {}
        for key in keys:
            items.update(self._reg_tree(key))
        pending = self.reg_query(PENDING_KEY, "PendingFileRenameOperations")
        items["reg:PendingFileRenameOperations"] = pending or ""
        if folders is None:
            folders = [self.c / "Program Files" / "Vesk", self.c / "windows" / "system32"]
            folders += list((self.c / "users").glob("*/Temp"))
        wininit = self.c / "windows" / "wininit.ini"
        items["file:" + str(wininit)] = wininit.read_text(errors="replace") if wininit.exists() \
            else None
        for folder in folders:
            folder = Path(folder)
            by_content = "system32" not in folder.parts
            for path in sorted(folder.rglob("*")) if folder.exists() else []:
                if path.is_dir():
                    items["dir:" + str(path)] = ""
                elif by_content:
                    items["file:" + str(path)] = hashlib.sha1(path.read_bytes()).hexdigest()
                else:
                    st = path.stat()
                    items["file:" + str(path)] = f"{st.st_size}:{st.st_mtime_ns}"
        return {k: v for k, v in items.items() if v is not None}

    @staticmethod
    def snapshot_diff(before: dict, after: dict) -> list:
        """Lines naming what differs: '+ item' added, '- item' gone, '~ item' changed."""
        lines = [f"- {k}" for k in before if k not in after]
        lines += [f"+ {k}" for k in after if k not in before]
        lines += [f"~ {k}" for k in before if k in after and before[k] != after[k]]
        return sorted(lines)

    def _reg_tree(self, key: str) -> dict:
        proc = self.wine("reg", "query", key, "/s")
        items = {}
        if proc.returncode != 0:
            return items
        current = None
        for line in proc.stdout.replace("\r", "").splitlines():
            if not line.strip():
                continue
            if not line.startswith(" "):
                current = line.strip()
                items["reg:" + current.lower()] = ""
                continue
            parts = line.strip().split(None, 2)
            if current and len(parts) >= 2 and parts[1].startswith("REG_"):
                data = parts[2] if len(parts) == 3 else ""
                items[f"reg:{current.lower()}\\[{parts[0].lower()}]"] = f"{parts[1]} {data}"
        return items

    # Restart -----------------------------------------------------------------------------------

    def restart(self) -> None:
        """Simulated restart: performs pending renames and deletes, wininit.ini and RunOnce."""
        self.wine("wineboot", "-r", check=True, timeout=180)

    def arm_restart_marker(self) -> None:
        """Seeds a RunOnce entry that writes a marker file when Windows restarts."""
        self._marker = self.c / "zs-restarted.txt"
        if self._marker.exists():
            self._marker.unlink()
        launcher = self.c / "zsexit.exe"
        shutil.copy(TOOLS / "zsexit.exe", launcher)
        self.reg_add(r"HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce",
                     RESTART_MARKER_VALUE, f"C:\\zsexit.exe 0 C:\\zs-restarted.txt")

    def restart_requested(self, wait: float = 10.0) -> bool:
        """True when Windows restarted since arm_restart_marker (the RunOnce entry ran)."""
        deadline = time.time() + wait
        while time.time() < deadline:
            if self._marker.exists():
                return True
            time.sleep(0.2)
        return False

    # Files in use ------------------------------------------------------------------------------

    @contextlib.contextmanager
    def hold_file(self, path, mode: str = "open"):
        """A second process holds the file open with share mode 0 ('open') or loaded ('load')."""
        n = self._next()
        ready = self.root / f"hold{n}.ready"
        release = self.root / f"hold{n}.release"
        target = path if isinstance(path, str) and ":" in path[:3] else self.winpath(path)
        log = self.root / f"hold{n}.log"
        with open(log, "wb") as out:
            proc = subprocess.Popen(
                ["wine", str(TOOLS / "zshold.exe"), mode, target, self.winpath(ready),
                 self.winpath(release)],
                env=self.env, stdout=out, stderr=out, stdin=subprocess.DEVNULL)
        try:
            deadline = time.time() + 30
            while not ready.exists():
                if proc.poll() is not None:
                    raise RuntimeError(f"zshold failed: {log.read_text(errors='replace')}")
                if time.time() > deadline:
                    raise RuntimeError("zshold did not get hold of the file")
                time.sleep(0.05)
            yield
        finally:
            release.write_text("x")
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()

    # OS family ---------------------------------------------------------------------------------

    def set_win9x(self, exe_name: str) -> None:
        """Makes the program of that file name alone report the Windows 9x family."""
        self.reg_add(rf"HKCU\Software\Wine\AppDefaults\{exe_name}", "Version", "win98")
