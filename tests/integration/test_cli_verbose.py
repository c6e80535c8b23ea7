"""-v as a transcript of the dialogue: what the tool sends after "> ", what
it receives after "< ", credentials starred out, message data as its size,
a TLS handshake as one "* " line, and the library's own lines only with
--trace."""
import base64
import re

import pytest

from conftest import USER, PASSWORD
from servers import SmtpSink
from test_cli import tool

BODY = b"From: a@example.org\r\nSubject: kept\r\n\r\nnot for the transcript\r\n"
SMTP_USER, SMTP_PASSWORD = "ann", "s3cret-pw"


def secrets_absent(text, user, password):
    """Neither the password nor any base64 form that carries it."""
    assert password not in text
    for encoded in (password, "\0%s\0%s" % (user, password)):
        assert base64.b64encode(encoded.encode()).decode() not in text


def sent_and_received(err):
    return [line for line in err.splitlines() if line[:2] in ("> ", "< ")]


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    from certs import Pki
    p = Pki(str(tmp_path_factory.mktemp("pki")))
    p.good = p.server("good")
    return p


# Each logon's lines, shown whole but for the password; the message itself
# comes as the size of its data on the wire (POP3's with its end line).
@pytest.mark.parametrize("protocol,logon,framing", [
    # The server offers PIPELINING: the logon and STAT go out in one write.
    ("pop3", ["> USER %s" % USER, "> PASS ****", "> STAT", "< +OK", "< +OK Logged in."], 3),
    ("imap", ['> B1 LOGIN "%s" ****' % USER], 0),
])
@pytest.mark.parametrize("flags", [["-v"], ["-v", "--trace"]], ids=["verbose", "trace"])
def test_mailbox_logon_and_retrieval(mailbox, tmp_path, protocol, logon, framing, flags):
    mailbox.add_message(USER, BODY)
    server = mailbox.server if protocol == "pop3" else mailbox.imap_server
    rc, _, err = tool(flags + ["get", "1", "--server", server, "--protocol", protocol,
                               "--user", USER, "--dir", str(tmp_path), "--allow-plaintext-auth"])
    assert rc == 0, err
    lines = sent_and_received(err)
    at = lines.index(logon[0])
    assert lines[at:at + len(logon)] == logon, err
    assert re.search(r"^< \[message data, %d bytes\]$" % (len(BODY) + framing), err, re.M), err
    assert "not for the transcript" not in err
    secrets_absent(err, USER, PASSWORD)
    assert ("BREVORIN: <" in err) == ("--trace" in flags)


# AUTH after STARTTLS with each mechanism: the capability line whole, the
# responses starred, the envelope shown, the handshake in one line.
@pytest.mark.parametrize("mechanism,auth", [
    ("plain", ["> AUTH PLAIN ****"]),
    ("login", ["> AUTH LOGIN", "< 334", "> ****", "< 334", "> ****"]),
])
def test_smtp_auth_and_envelope(pki, mechanism, auth):
    sink = SmtpSink(tls=pki.good, users={SMTP_USER: SMTP_PASSWORD}).start()
    try:
        rc, _, err = tool(["-v", "send", "--server", sink.server, "--starttls",
                           "--ca-file", pki.ca_file, "--smtp-user", SMTP_USER, "--auth", mechanism,
                           "--from", "a@example.org", "--to", "b@example.org"],
                          stdin=SMTP_PASSWORD + "\nnot for the transcript\n")
    finally:
        sink.stop()
    assert rc == 0, err
    assert sink.logins, "the server saw no logon"
    lines = sent_and_received(err)
    assert "< 250-AUTH LOGIN PLAIN XOAUTH2" in lines, err
    at = lines.index(auth[0])
    prompts_cut = [line[:5] if line.startswith("< 334 ") else line for line in lines]
    assert prompts_cut[at:at + len(auth)] == auth, err
    assert lines[at + len(auth)].startswith("< 235"), err
    assert "> MAIL FROM: <a@example.org>" in lines and "> RCPT TO: <b@example.org>" in lines
    assert re.search(r"^> \[message data, \d+ bytes\]$", err, re.M), err
    assert "not for the transcript" not in err
    tls = [line for line in err.splitlines() if line.startswith("* ")]
    assert len(tls) == 1 and re.match(r"\* TLS TLSv1\.[23], \S+, .*CN=", tls[0]), err
    secrets_absent(err, SMTP_USER, SMTP_PASSWORD)
    assert "BREVORIN: <" not in err and "SENDMAIL" not in err


def imap_login_peer(capabilities):
    """An IMAP server with one empty-handed mailbox that takes any LOGIN,
    asking for a synchronising literal's data with "+ go"."""
    from modern_support import ScriptedPeer
    state = {"tag": b""}

    def answer(line):
        if not state["tag"]:
            tag, verb = (line.split(b" ") + [b""])[:2]
            if verb.strip().upper() == b"LOGIN":
                state["tag"] = tag
        if state["tag"]:
            if line.endswith(b"+}\r\n"):
                return b""
            if line.endswith(b"}\r\n"):
                return b"+ go\r\n"
            tag, state["tag"] = state["tag"], None
            return b"%s OK done\r\n" % tag
        tag, verb = (line.split(b" ") + [b""])[:2]
        verb = verb.strip().upper()
        if verb == b"SELECT":
            return b"* 0 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n%s OK [READ-WRITE] done\r\n" % tag
        if verb == b"LOGOUT":
            return b"* BYE\r\n%s OK bye\r\n" % tag
        return b"%s OK done\r\n" % tag
    return ScriptedPeer(b"* OK [CAPABILITY %s] ready\r\n" % capabilities, answer)


# A password that no quoted string can carry goes as a literal: its size
# marker and data are hidden with it, in one write or after the server's
# request for the data.
@pytest.mark.parametrize("capabilities,logon", [
    (b"IMAP4rev1 LITERAL+", ['> B1 LOGIN "u" ****']),
    (b"IMAP4rev1", ['> B1 LOGIN "u" ****', "< + go", "> ****"]),
], ids=["non-synchronising", "synchronising"])
def test_imap_login_password_as_a_literal(capabilities, logon):
    password = "p\u00e4ss\u00f6rd"
    peer = imap_login_peer(capabilities)
    try:
        rc, _, err = tool(["-v", "stat", "--server", peer.server, "--protocol", "imap",
                           "--user", "u", "--allow-plaintext-auth"], stdin=password + "\n")
    finally:
        peer.close()
    assert rc == 0, err
    assert any(password.encode("latin-1") in line for line in peer.lines)
    lines = sent_and_received(err)
    at = lines.index(logon[0])
    assert lines[at:at + len(logon)] == logon, err
    assert lines[at + len(logon)] == "< B1 OK done", err
    assert password not in err and "p\\xe4ss" not in err
