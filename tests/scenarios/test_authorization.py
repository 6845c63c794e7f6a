"""Remote authorization under Wine: setup.exe against an authorization server of ours on
127.0.0.1 that speaks the framing and performs the client side of NTLM (Debian's ntlm-auth
library) for a test account. The accepting side is the Security.dll double (tests/doubles) in the
System folder, loaded through the DLL override; it checks the account's NTLMv2 response and
impersonates. The non-administrator road is the ZS_TEST_NOT_ADMIN hook.
"""

import ctypes
import ctypes.util
import shutil
import socket
import struct
import threading
import time

from ntlm_auth import ntlm

import winebed

# The account the double knows.
USER, DOMAIN, PASSWORD = "zsadmin", "ZSTEST", "Vesk-Test-1"
OK_LOG_TAIL = ["Resource: main.dll", "Registry: old settings read", "P_NOTHING_UNINST", ""]
FAILED_LOG_TAIL = ["Error: REMOTE AUTHORIZE", "Resource: main.dll", "Exitcode: 101", ""]


def _enable_md4():
    # NTLM hashes the password with MD4, which OpenSSL 3 keeps in its legacy provider.
    lib = ctypes.CDLL(ctypes.util.find_library("crypto"))
    lib.OSSL_PROVIDER_load.restype = ctypes.c_void_p
    lib.OSSL_PROVIDER_load(None, b"legacy")


def frame(code, payload=b"", declared=None):
    length = len(payload) if declared is None else declared
    return b"\xab\xcd" + struct.pack("<hI", code, length) + payload


def tokens_reply(token, status=0, offset=20, length=None):
    length = len(token) if length is None else length
    return struct.pack("<IIIII", 0, status, offset, length, 1) + token


class AuthServer:
    """One connection's worth of authorization server on 127.0.0.1, in a thread that ends by
    itself. `faults` maps a step ("opening", "negotiate", "authenticate") to a function of the
    reply that would be sent, returning what to send instead: bytes, None to go silent, or
    ("close", bytes) to send them and close."""

    def __init__(self, faults=None, password=PASSWORD, port=0):
        self.faults = faults or {}
        self.password = password
        self.requests = []  # (type, payload, reply max)
        self.tokens = []  # lengths of the NTLM tokens sent
        self.listener = socket.create_server(("127.0.0.1", port))
        self.listener.settimeout(30)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.listener.close()
        self.thread.join(timeout=40)

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(30)
            try:
                self._converse(conn)
            except OSError:
                pass

    def _read(self, conn, n):
        data = b""
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def _converse(self, conn):
        client = ntlm.NtlmContext(USER, self.password, domain=DOMAIN, workstation="ZSCLIENT",
                                  ntlm_compatibility=3)
        for _ in range(8):
            head = self._read(conn, 12)
            if head is None:
                return
            assert head[:2] == b"\xab\xcd"
            kind, length, reply_max = struct.unpack("<HII", head[2:])
            payload = self._read(conn, length) if length else b""
            self.requests.append((kind, payload, reply_max))
            if kind == 1600:
                step, reply = "opening", frame(0)
            else:
                n = struct.unpack_from("<I", payload, 8)[0]
                step = "authenticate" if n else "negotiate"
                token = client.step(payload[12:12 + n]) if n else client.step()
                self.tokens.append(len(token))
                reply = frame(0, tokens_reply(token))
            reply = self.faults.get(step, lambda r: r)(reply)
            if reply is None:
                conn.recv(1)  # silent until the client gives up (or the timeout)
                return
            if isinstance(reply, tuple):
                conn.sendall(reply[1])
                return
            conn.sendall(reply)


# Wine loads its built-in copy of a system library unless told to prefer the file.
SECURITY_OVERRIDE = "mscoree,mshtml=;security=n,b"


def put_security_double(bed):
    """The double takes the place of the system's Security.dll, where setup.exe loads it from."""
    shutil.copy(winebed.BUILD_WIN / "tests" / "doubles" / "Security.dll",
                bed.c / "windows" / "system32" / "security.dll")


class Run:
    def __init__(self, bed, build_win):
        _enable_md4()
        self.bed = bed
        self.pkg = bed.c / "pkg"
        self.pkg.mkdir()
        shutil.copy(build_win / "src" / "driver" / "setup.exe", self.pkg / "setup.exe")
        put_security_double(bed)
        self.journal_file = bed.c / "sec.txt"
        self.env = {"ZS_SEC_JOURNAL": "C:\\sec.txt", "ZS_TEST_NOT_ADMIN": "1",
                    "WINEDLLOVERRIDES": SECURITY_OVERRIDE}

    def __call__(self, server_text, env=None):
        """Runs setup.exe silently as a user who is not an administrator; returns the exit code,
        the log lines after "CmdLine", the double's journal and the seconds it took."""
        for f in (self.journal_file, self.pkg / "zsetup.log"):
            if f.exists():
                f.unlink()
        started = time.time()
        result = self.bed.run(self.pkg / "setup.exe", "/SILENTMODE", "/UNINSTALL", "/TEST",
                              f"/AUTHSERVER={server_text}", env={**self.env, **(env or {})})
        took = time.time() - started
        log = (self.pkg / "zsetup.log").read_text().splitlines()
        log = [line.split("] ", 1)[1] if "] " in line else line for line in log]
        journal = (self.journal_file.read_text().splitlines()
                   if self.journal_file.exists() else [])
        self.stderr = result.stderr
        return result.code, log[1:], journal, took

    def against(self, faults=None, password=PASSWORD, env=None):
        server = AuthServer(faults, password)
        try:
            outcome = self(f"127.0.0.1:{server.port}", env=env)
        finally:
            server.close()
        return (*outcome, server)


RELEASED = ["DeleteSecurityContext ours", "FreeCredentialsHandle ours"]


def test_authorization_against_a_real_ntlm_client(bed, build_win):
    run = Run(bed, build_win)

    # The whole exchange, every reply preceded by stray bytes ending in a stray 0xAB.
    stray = lambda reply: b"\x00noise\xab" + reply  # noqa: E731
    code, log, journal, _, server = run.against(
        {"opening": stray, "negotiate": stray, "authenticate": stray})
    assert code == 0 and log == OK_LOG_TAIL
    (t1, opening, max1), (t2, first, max2), (t3, second, max3) = server.requests
    assert (t1, opening, max1) == (1600, struct.pack("<6I", 24, 24, 25, 0, 0, 26) + b"\0" * 3,
                                   128)
    assert (t2, first, max2) == (1601, struct.pack("<3I", 12, 12, 0) + b"\0" * 12, 2048)
    challenge_length = struct.unpack_from("<I", second, 8)[0]
    assert t3 == 1601 and max3 == 2048 and len(second) == challenge_length + 24
    assert second[12:24] == b"NTLMSSP\0\x02\0\0\0"
    # The account's AUTHENTICATE message is longer than 300 bytes and is accepted; the output
    # buffer offers its whole room to every accept call.
    assert server.tokens[-1] > 300
    assert journal == [
        "AcquireCredentialsHandleA (none) NTLM use=1",
        f"AcceptSecurityContext new req=1 drep=0x10 in={server.tokens[0]} room=2048 negotiate"
        " -> continue",
        f"AcceptSecurityContext context req=1 drep=0x10 in={server.tokens[1]} room=2048"
        " authenticate ZSTEST\\zsadmin -> ok",
        "ImpersonateSecurityContext -> ok"] + RELEASED

    # A wrong password is refused by the accepting side; 101 stands.
    code, log, journal, _, _ = run.against(password="wrong")
    assert code == 101 and log == FAILED_LOG_TAIL
    assert journal[2].endswith("authenticate ZSTEST\\zsadmin -> denied")
    assert journal[3:] == RELEASED

    # An account that authenticates but is no administrator is reverted: 101 stands.
    code, log, journal, _, _ = run.against(env={"ZS_TEST_NOT_ADMIN": "2"})
    assert code == 101 and log == FAILED_LOG_TAIL
    assert journal[3:] == ["ImpersonateSecurityContext -> ok", "RevertSecurityContext"] + RELEASED


def test_faulty_servers_fail_the_attempt_and_release_everything(bed, build_win):
    run = Run(bed, build_win)
    acquired = ["AcquireCredentialsHandleA (none) NTLM use=1", "FreeCredentialsHandle ours"]

    def failed(faults, env=None):
        code, log, journal, took, server = run.against(faults, env=env)
        assert code == 101 and log == FAILED_LOG_TAIL
        return journal, [r[0] for r in server.requests], took

    # The opening reply: result code 0xFFFF is -1; a payload beyond the 128 bytes accepted; a
    # server closing in the middle of the payload; a marker behind too many stray bytes.
    for fault in (lambda r: frame(-1),
                  lambda r: frame(0, b"x" * 200),
                  lambda r: ("close", frame(0, b"x" * 40, declared=100)),
                  lambda r: b"\0" * 5000 + r):
        assert failed({"opening": fault})[:2] == ([], [1600])

    # Token replies: status 5; a reply shorter than its 20-byte fixed part; a token whose offset
    # wraps around past the payload; a token beyond the 2048 bytes accepted. No accept call
    # follows any of them.
    for fault in (lambda r: frame(0, tokens_reply(b"", status=5)),
                  lambda r: frame(0, struct.pack("<4I", 0, 0, 16, 0)),
                  lambda r: frame(0, tokens_reply(b"y" * 20, offset=0xFFFFFFF0, length=0x20)),
                  lambda r: frame(0, tokens_reply(b"z" * 2100))):
        journal, requests, _ = failed({"negotiate": fault})
        assert (journal, requests) == (acquired, [1600, 1601])

    # A server that stays silent: the reply's time limit (shortened by the test hook) ends it.
    journal, requests, took = failed({"negotiate": lambda r: None},
                                     env={"ZS_TEST_AUTH_WAIT_MS": "1500"})
    assert (journal, requests) == (acquired, [1600, 1601])
    assert 1.5 <= took < 25


def test_unreachable_server_and_server_without_port(bed, build_win):
    run = Run(bed, build_win)
    bed.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude",
                "ws2_32.WSAStartup;ws2_32.WSACleanup;ws2_32.connect")
    relay = {"WINEDEBUG": "+relay"}
    closed = socket.create_server(("127.0.0.1", 0))
    port = closed.getsockname()[1]
    closed.close()
    for text in (f"127.0.0.1:{port}", "127.0.0.1"):
        code, log, journal, _ = run(text, env=relay)
        assert code == 101 and log == FAILED_LOG_TAIL
        # Security.dll is never touched, and Windows Sockets is cleaned up after the failure.
        assert journal == []
        calls = [line.split("Call ws2_32.")[1].split("(")[0]
                 for line in run.stderr.splitlines() if "Call ws2_32." in line]
        assert calls == ["WSAStartup", "connect", "WSACleanup"]
