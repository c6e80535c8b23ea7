"""Mail shaped the way large providers and other mail programs send it,
delivered to a real Dovecot and read back through the C ABI: listing
records, header records, bodies, statuses, warnings and files. One table;
each row is a small message of our own with the shape that went wrong, and
a check of what a host sees. Python's email (policy=default) is the judge
where a parser's reading is the question."""
import collections
import email
import email.policy
import os

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD

Received = collections.namedtuple(
    "Received", "listing status header body files lines directory")


def crlf(text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def python_message(raw):
    return email.message_from_bytes(raw, policy=email.policy.default)


def receive(mailbox, tmp_path, raw, charset="UTF8", mime="modern", protocol="pop3"):
    """Lists and fetches the one message of a fresh mailbox."""
    mailbox.add_message(USER, raw)
    host = brevorin_ffi.Host(charset=charset)
    s = host.session()
    directory = tmp_path / "files"
    directory.mkdir()
    try:
        assert s.setoptions({"mime": mime, "protocol": protocol,
                             "allow_plaintext_auth": "yes"}) == 0
        server = mailbox.imap_server if protocol == "imap" else mailbox.server
        assert s.logon(server, USER, PASSWORD) == 0
        status, listing = s.list()
        assert status == 1, (status, host.lines)
        records = brevorin_ffi.list_records(listing)
        status, header, body, files = s.get(1, str(directory))
        s.logoff()
    finally:
        s.cleanup()
        host.close()
    names = [f for f in files.split(b"\x1b") if f]
    return Received(records[0], status, dict(brevorin_ffi.fields(header)), body, names,
                    list(host.lines), directory)


# Each area of the library adds its rows here: (id, raw message, host
# charset, mime rules, check(received)). A check asserts what a host sees.
HEADER_FIELD_CASES = []
TEXT_CASES = []
HTML_CASES = []

CASES = HEADER_FIELD_CASES + TEXT_CASES + HTML_CASES


@pytest.mark.parametrize("raw,charset,mime,check",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_world_mail_is_read_as_sent(mailbox, tmp_path, raw, charset, mime, check):
    check(receive(mailbox, tmp_path, raw, charset, mime))
