"""Logon, delete and logoff against a real Dovecot, natively through ctypes
and as the Windows DLL under Wine; the DLL's export table."""
import os
import subprocess
import tempfile

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD


def message(n):
    return ("From: sender%d@example.org\r\nTo: %s@example.org\r\nSubject: message %d\r\n"
            "\r\nbody %d\r\n" % (n, USER, n, n)).encode()


def test_logon_with_right_and_wrong_password(mailbox, host):
    for n in range(3):
        mailbox.add_message(USER, message(n))
    s = host.session()
    assert s.logon(mailbox.server, USER, "wrong") == -2
    assert any("LOGONMAIL: Exit because of authorization fault" in l for l in host.lines)
    assert s.logon(mailbox.server, USER, PASSWORD) == 0
    assert any("POP3_GETRANGE: Received countp=3, bytes=" in l for l in host.lines)
    assert not any(PASSWORD in l for l in host.lines)
    assert s.logon(mailbox.server, USER, PASSWORD) == -3
    assert s.logoff() == 0
    assert s.logoff() == -8
    s.cleanup()


def test_delete_and_logoff_remove_the_file(mailbox, host):
    for n in range(3):
        mailbox.add_message(USER, message(n))
    s = host.session()
    assert s.logon(mailbox.server, USER, PASSWORD) == 0
    assert s.delete(2) == 0
    assert s.delete(2) == -7
    assert s.delete(4) == -7
    assert len(mailbox.message_files(USER)) == 3  # removed only at QUIT
    assert s.logoff() == 0
    remaining = mailbox.message_files(USER)
    assert len(remaining) == 2
    bodies = sorted(open(f, "rb").read() for f in remaining)
    assert all(b"message 1" not in b for b in bodies)
    s.cleanup()


def test_cleanup_of_a_logged_on_session_sends_quit(mailbox, host):
    mailbox.add_message(USER, message(1))
    s = host.session()
    assert s.logon(mailbox.server, USER, PASSWORD) == 0
    assert s.delete(1) == 0
    s.cleanup()  # QUIT commits the deletion
    assert mailbox.message_files(USER) == []


def test_cli_stat_and_delete(mailbox):
    build = brevorin_ffi.build_dir()
    for n in range(2):
        mailbox.add_message(USER, message(n))
    cli = os.path.join(build, "brevorin")
    out = subprocess.run([cli, "stat", "--password-stdin", "--server", mailbox.server, "--user", USER],
                         input=PASSWORD + "\n", capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("2 messages, ")
    with tempfile.NamedTemporaryFile("w", delete=False) as pw:
        pw.write(PASSWORD + "\n")
    try:
        out = subprocess.run([cli, "--trace", "delete", "1", "--server", mailbox.server, "--user",
                              USER, "--password-file", pw.name],
                             capture_output=True, text=True, timeout=60)
    finally:
        os.unlink(pw.name)
    assert out.returncode == 0, out.stderr
    assert "BREVORIN: <F2> DELETEMAIL: Sent DELETE command to server for message: 1" in out.stderr
    assert PASSWORD not in out.stderr
    assert len(mailbox.message_files(USER)) == 1
    out = subprocess.run([cli, "stat", "--password-stdin", "--server", mailbox.server, "--user", USER],
                         input="wrong\n", capture_output=True, text=True, timeout=60)
    assert out.returncode == 5  # logon refused
    assert "logon failed: the server refused the user name or password (status -2)" in out.stderr


def test_windows_dll_logon_delete_logoff(mailbox, wine_build):
    for n in range(3):
        mailbox.add_message(USER, message(n))
    tmp = tempfile.mkdtemp()
    pw = wine_build.write_file(tmp, "pw", PASSWORD)
    results, err = wine_build.run("logon", mailbox.server, USER, pw, "+", "delete", "3", "+",
                                  "delete", "3", "+", "session", "+", "logoff")
    status = [(r.name, r.status) for r in results]
    assert status == [("attach", 1), ("init", 1), ("logon", 0), ("delete", 0), ("delete", -7),
                      ("session", 2), ("logoff", 0), ("cleanup", 0)], err
    assert "POP3_GETRANGE: Received countp=3" in err
    assert PASSWORD not in err
    assert len(mailbox.message_files(USER)) == 2


def test_windows_dll_wrong_password_and_cleanup_quits(mailbox, wine_build):
    mailbox.add_message(USER, message(1))
    tmp = tempfile.mkdtemp()
    bad = wine_build.write_file(tmp, "bad", "nope")
    good = wine_build.write_file(tmp, "good", PASSWORD)
    results, err = wine_build.run("logon", mailbox.server, USER, bad, "+", "logon",
                                  mailbox.server, USER, good, "+", "delete", "1")
    assert [r.status for r in results] == [1, 1, -2, 0, 0, 0], err
    # No logoff: cleanup must send QUIT, which commits the deletion.
    assert mailbox.message_files(USER) == []


def test_windows_dll_exports_and_imports(wine_build):
    objdump = "i686-w64-mingw32-objdump"
    out = subprocess.run([objdump, "-p", os.path.join(wine_build.build, "brevorin.dll")],
                         capture_output=True, text=True, check=True).stdout
    names = set()
    in_table = False
    for line in out.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
            continue
        if in_table:
            line = line.strip()
            if not line.startswith("["):
                in_table = False
                continue
            names.add(line.split("]", 1)[1].strip())
    required = {"brevorin_init", "brevorin_cleanup", "brevorin_logonmail", "brevorin_logoffmail",
                "brevorin_listmail", "brevorin_getmail", "brevorin_getrawmail",
                "brevorin_sendmail", "brevorin_deletemail", "brevorin_setoption", "TLOADDS",
                "_TCONNECT"}
    assert required <= names
    assert all(n in required or n.startswith("brevorin_host_") for n in names), names
    imports = {l.split(":", 1)[1].strip().lower() for l in out.splitlines() if "DLL Name:" in l}
    assert imports <= {"kernel32.dll", "msvcrt.dll", "wsock32.dll", "secur32.dll", "crypt32.dll"}, imports
