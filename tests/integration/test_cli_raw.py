"""The tool's raw: the message streamed as Dovecot stores it, to standard
output or to a file that appears only whole, in memory that does not grow
with the message."""
import os
import subprocess

import pytest

from conftest import USER, PASSWORD
from servers import HAS_IMAP
from test_cli import CLI, tool
from test_cli_bulk import account

# Lines longer than any buffer of the library, and lines that go out
# dot-stuffed (a lone dot among them would end a POP3 answer early).
AWKWARD = (b"From: a@example.org\r\nSubject: awkward\r\n\r\n"
           + b"".join(b"%s%s\r\n" % (lead, b"x" * length)
                      for lead in (b"", b".", b"..")
                      for length in (0, 1, 997, 5000, 70000))
           + b".\r\n..\r\nthe last line\r\n")

PROTOCOLS = ["pop3", pytest.param("imap", marks=pytest.mark.skipif(
    not HAS_IMAP, reason="no Dovecot IMAP"))]


def served(mailbox):
    """The stored message as a server hands it out: lines end in CRLF."""
    [path] = mailbox.message_files(USER)
    with open(path, "rb") as f:
        return f.read().replace(b"\n", b"\r\n")


def raw(args, **kw):
    proc = subprocess.run([CLI, "--password-stdin", "raw"] + args, input=PASSWORD.encode(),
                          capture_output=True, timeout=60, **kw)
    return proc.returncode, proc.stdout, proc.stderr.decode("latin-1")


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_raw_is_the_stored_message_on_stdout_and_in_a_file(mailbox, tmp_path, protocol):
    mailbox.add_message(USER, AWKWARD)
    rc, out, err = raw(["1"] + account(mailbox, protocol))
    assert rc == 0, err
    assert out == served(mailbox)
    target = tmp_path / "message.eml"
    target.write_bytes(b"an older file")
    rc, out, err = raw(["1", "--output", str(target)] + account(mailbox, protocol))
    assert (rc, out) == (0, b""), err
    assert target.read_bytes() == served(mailbox)
    assert os.listdir(tmp_path) == ["message.eml"]


# On standard output what did come stays: a refused message shows nothing,
# the message before it all of itself.
@pytest.mark.parametrize("selection,refusal,shown", [
    (["1", "--max-size", "1000"], "larger than", b""),
    (["1-2"], "no message 2", b"==> message 1 <==\n"),
])
def test_a_refused_raw_leaves_the_output_file_as_it_was(mailbox, tmp_path, selection, refusal,
                                                        shown):
    mailbox.add_message(USER, AWKWARD)
    target = tmp_path / "message.eml"
    target.write_bytes(b"an older file")
    rc, out, err = raw(selection + ["--output", str(target)] + account(mailbox))
    assert rc != 0
    assert refusal in err
    assert target.read_bytes() == b"an older file"
    assert os.listdir(tmp_path) == ["message.eml"]
    rc, out, err = raw(selection + account(mailbox))
    assert rc != 0 and refusal in err
    assert out == (shown + served(mailbox) if shown else b"")


def test_raw_beyond_the_old_ceiling_streams_in_little_memory(mailbox, tmp_path):
    line = b"y" * 1022 + b"\r\n"
    big = b"From: a@example.org\r\nSubject: big\r\n\r\n" + line * (70 * 1024)
    mailbox.add_message(USER, big)
    target = tmp_path / "big.eml"
    # /usr/bin/time reports the tool's own peak, not this process's.
    proc = subprocess.run(["/usr/bin/time", "-f", "maxrss=%M", CLI, "--password-stdin", "raw",
                           "1", "--max-size", "0", "--output", str(target)] + account(mailbox),
                          input=PASSWORD.encode(), capture_output=True, timeout=60)
    err = proc.stderr.decode("latin-1")
    assert proc.returncode == 0, err
    assert os.path.getsize(target) == len(big)
    assert target.read_bytes() == big
    peak_kib = int(err.rsplit("maxrss=", 1)[1])
    assert peak_kib < 16 * 1024, "peak %d KiB for a %d KiB message" % (peak_kib, len(big) // 1024)
