"""A header block around the size of the header buffer, fetched over POP3
and IMAP from a real Dovecot: what getmail hands out, its status and
warning, and that the visit goes on afterwards."""
import pytest

import brevorin_ffi
from conftest import USER, PASSWORD

CAPACITY = 32768  # the header buffer, its end included


def block_of(size):
    """A header block of exactly size bytes on the wire, its empty line
    included, whose last field is "Cc: last@example.org"."""
    head = ("From: Ann <ann@example.org>\r\nTo: bob@example.org\r\n"
            "Subject: Padded\r\nMessage-ID: <pad@example.org>\r\n")
    tail = "Cc: last@example.org\r\n\r\n"
    pad = ""
    while len(head) + len(pad) + 200 + len(tail) <= size:
        pad += "X-Pad: " + "p" * 91 + "\r\n"
    rest = size - len(head) - len(pad) - len(tail)
    pad += "X-Pad: " + "q" * (rest - 9) + "\r\n"
    block = head + pad + tail
    assert len(block) == size
    return block.encode()


SECOND = b"From: Carl <carl@example.org>\r\nSubject: Second\r\n\r\nsecond\r\n"

# (id, header block size, mime rules, status, Cc kept)
CASES = [
    ("fills-the-buffer", CAPACITY - 1, "modern", 0, True),
    ("one-past", CAPACITY, "modern", 1, True),
    ("last-field-past", CAPACITY + 2, "modern", 1, False),
    ("classic-buffer", CAPACITY - 1, "classic", -11, None),
]


@pytest.mark.parametrize("protocol", ["pop3", "imap"])
@pytest.mark.parametrize("size,mime,status,cc_kept",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_header_around_the_buffer(mailbox, protocol, size, mime, status, cc_kept):
    raw = block_of(size) + b"the body\r\n"
    mailbox.add_message(USER, raw)
    mailbox.add_message(USER, SECOND)
    host = brevorin_ffi.Host()
    s = host.session()
    try:
        assert s.setoptions({"mime": mime, "protocol": protocol,
                             "allow_plaintext_auth": "yes"}) == 0
        server = mailbox.imap_server if protocol == "imap" else mailbox.server
        assert s.logon(server, USER, PASSWORD) == 0
        got, header, body, _ = s.get(1)
        warned = [line for line in host.lines if "GETMAIL: Header of message 1" in line]
        again = s.get(1)
        second = s.get(2)
        raw_status, raw_text = s.raw(1) if status >= 0 else (None, None)
        assert s.logoff() == 0
    finally:
        s.cleanup()
        host.close()

    assert got == status, host.lines
    assert warned == (["BREVORIN: <W1> GETMAIL: Header of message 1 longer than 32767 bytes, "
                       "fields taken from its start"] if status == 1 else [])
    # The next message is fetched as usual whatever became of this one.
    assert second[0] == 0 and dict(brevorin_ffi.fields(second[1]))["SUBJECT"] == b"Second"
    if status < 0:
        # Classic rules keep their buffer: the message is refused and
        # forgotten for the visit.
        assert (header, body) == (b"", b"")
        assert again[0] == -7
        return
    fields = dict(brevorin_ffi.fields(header))
    assert fields["FROM"] == b"Ann <ann@example.org>"
    assert fields["SUBJECT"] == b"Padded"
    assert fields["CC"] == (b"last@example.org" if cc_kept else b"")
    assert body == b"the body\r\n"
    # Answered again from what was read; the raw text is all there (over
    # the host's text limit, so with -16).
    assert again[0] == 0 and again[1:3] == (header, body)
    assert raw_status == -16 and raw_text == raw
