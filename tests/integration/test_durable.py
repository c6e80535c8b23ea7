"""Files of a fetched message are on the disk before the fetch succeeds: a
host deletes the message from the server next. The tool runs with a
preloaded shim that records each flush and naming call, and can make one
flush fail."""
import json
import os
import subprocess
import sys
from email.message import EmailMessage

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD

CLI = os.path.join(brevorin_ffi.build_dir(), "brevorin")
HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = ["a.bin", "b.bin", "c.bin"]


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    built = str(tmp_path_factory.mktemp("shim") / "sync_shim.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", built, os.path.join(HERE, "sync_shim.c"),
                    "-ldl"], check=True)
    return built


def three_files():
    msg = EmailMessage()
    msg["From"], msg["Subject"] = "a@example.org", "files"
    msg.set_content("see attached\n")
    for i, name in enumerate(NAMES):
        msg.add_attachment(bytes([65 + i]) * (1000 + 70000 * i), maintype="application",
                           subtype="octet-stream", filename=name)
    return msg.as_bytes().replace(b"\n", b"\r\n")


def get(mailbox, shim, directory, log, imap=False, **settings):
    env = dict(os.environ, LD_PRELOAD=shim, SYNC_SHIM_LOG=str(log))
    env.update(settings)
    server = ["--server", mailbox.imap_server, "--protocol", "imap",
              "--allow-plaintext-auth"] if imap else [
        "--server", mailbox.server]
    proc = subprocess.run([CLI, "get", "1", "--password-stdin", "--user", USER, "--dir", str(directory),
                           "--verbose"] + server,
                          input=(PASSWORD + "\n").encode(), capture_output=True, env=env,
                          timeout=60)
    calls = [line.split(" ") for line in log.read_text().splitlines()] if log.exists() else []
    return proc.returncode, proc.stderr.decode("latin-1"), calls, proc.stdout.decode("latin-1")


@pytest.mark.parametrize("hard_links,imap", [(True, False), (False, False), (True, True)],
                         ids=["link", "claim-and-rename", "imap"])
def test_each_file_is_flushed_before_its_name_and_the_directory_after(mailbox, shim, tmp_path,
                                                                      hard_links, imap):
    mailbox.add_message(USER, three_files())
    out = tmp_path / "out"
    out.mkdir()
    settings = {} if hard_links else {"SYNC_SHIM_NO_LINK": "1"}
    rc, err, calls, _ = get(mailbox, shim, out, tmp_path / "log", imap, **settings)
    assert rc == 0, err
    assert sorted(os.listdir(out)) == NAMES
    named = [c for c in calls if c[0] == ("link" if hard_links else "rename")]
    assert [os.path.basename(c[2]) for c in named] == NAMES
    for verb, temporary, final in named:
        flushed = calls.index(["fsync", temporary])
        assert flushed < calls.index([verb, temporary, final])
    directory_flushes = [i for i, c in enumerate(calls) if c == ["fsync", str(out)]]
    assert len(directory_flushes) == 1
    assert directory_flushes[0] > max(calls.index(c) for c in named)


@pytest.mark.parametrize("failing", [1, 3])
def test_a_file_that_cannot_be_flushed_fails_the_get_and_the_next_get_works(mailbox, shim, tmp_path,
                                                                           failing):
    mailbox.add_message(USER, three_files())
    out = tmp_path / "out"
    out.mkdir()
    rc, err, calls, out_text = get(mailbox, shim, out, tmp_path / "log", SYNC_SHIM_FAIL=str(failing))
    lost = str(out / NAMES[failing - 1])
    assert rc == 8, err
    assert "(status 2)" in err
    assert "POP3_PARSE_MIME: Could not flush file to disk: %s: Input/output error" % lost in err
    assert "brevorin: get: %s: Input/output error" % lost in err
    # Neither the file nor its temporary stays; the others are whole.
    kept = [n for n in NAMES if n != NAMES[failing - 1]]
    assert sorted(os.listdir(out)) == kept
    assert out_text.endswith("files written:\n" + "".join("  %s\n" % (out / n) for n in kept))
    assert [c[0] for c in calls].count("fsync-failed") == 1
    # The message is still on the server, and fetched whole the next time.
    for name in os.listdir(out):
        os.remove(out / name)
    rc, err, _, _ = get(mailbox, shim, out, tmp_path / "log2")
    assert rc == 0, err
    assert sorted(os.listdir(out)) == NAMES
    assert (out / NAMES[failing - 1]).read_bytes() == bytes([64 + failing]) * (
        1000 + 70000 * (failing - 1))


def test_a_directory_that_cannot_be_flushed_fails_the_get(mailbox, shim, tmp_path):
    mailbox.add_message(USER, three_files())
    out = tmp_path / "out"
    out.mkdir()
    rc, err, calls, out_text = get(mailbox, shim, out, tmp_path / "log", SYNC_SHIM_FAIL_DIR="1")
    assert rc == 8, err
    assert "POP3_PARSE_MIME: Could not flush directory to disk: %s/: Input/output error" % out in err
    # The files are whole and listed; only their names may not last.
    assert sorted(os.listdir(out)) == NAMES
    assert out_text.endswith("files written:\n" + "".join("  %s\n" % (out / n) for n in NAMES))
    assert [c for c in calls if c[0].startswith("fsync")][-1] == ["fsync-failed", str(out)]


# Two fetches of message 1 in one session; the shim is in this process.
TWICE = r"""
import json, os, sys
sys.path.insert(0, sys.argv[1])
import brevorin_ffi
server, first_dir, second_dir = sys.argv[2:5]
host = brevorin_ffi.Host()
s = host.session()
assert s.logon(server, sys.argv[5], sys.argv[6]) == 0
first = s.get(1, first_dir)
second = s.get(1, second_dir)
s.logoff()
host.close()
print(json.dumps([[r[0], r[3].decode()] for r in (first, second)]))
"""


@pytest.mark.parametrize("failure", ["flush", "write"])
def test_the_next_get_in_the_session_fetches_again_after_a_file_was_not_saved(mailbox, shim,
                                                                           tmp_path, failure):
    mailbox.add_message(USER, three_files())
    first_dir, again = tmp_path / "first", tmp_path / "again"
    first_dir.mkdir()
    again.mkdir()
    env = dict(os.environ, LD_PRELOAD=shim, SYNC_SHIM_LOG=str(tmp_path / "log"))
    if failure == "flush":
        env["SYNC_SHIM_FAIL"] = "2"
    else:
        first_dir = "/proc/self"  # no file can be made there
    proc = subprocess.run([sys.executable, "-c", TWICE, HERE, mailbox.server, str(first_dir),
                           str(again), USER, PASSWORD], capture_output=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode("latin-1")
    first, second = json.loads(proc.stdout)
    assert first == [2, "a.bin\x1bc.bin" if failure == "flush" else ""]
    # Reporting the message saved now would have the host delete it.
    assert second == [0, "\x1b".join(NAMES)]
    assert sorted(os.listdir(again)) == NAMES
    assert (again / "b.bin").read_bytes() == b"B" * 71000
