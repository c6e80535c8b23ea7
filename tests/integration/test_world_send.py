"""What the library sends, judged by strict readers: the SMTP sink keeps
the bytes, Python's email (policy=default) parses them, and every row of
one table says what a recipient's reader must see: folded lines within
their limits, display names and file names as written, encoded words a
strict decoder takes, no defects."""
import collections
import email
import email.policy

import pytest

import brevorin_ffi

Sent = collections.namedtuple("Sent", "status data message lines smtp")


def strict(data):
    """The message as Python's email reads it, with its defects."""
    message = email.message_from_bytes(data, policy=email.policy.default)
    defects = list(message.defects) + [d for p in message.walk() for d in p.defects]
    return message, defects


def header_lines(data):
    """The header block's physical lines, without their CR LF."""
    head = data.split(b"\r\n\r\n", 1)[0]
    return head.split(b"\r\n")


def send(smtp, tmp_path, header_items, text, charset="UTF8", options=None, attachments=()):
    """Sends one message through the sink; attachments are (name, bytes)."""
    paths = []
    for name, content in attachments:
        folder = tmp_path / ("a%d" % len(paths))
        folder.mkdir()
        path = folder / name
        path.write_bytes(content)
        paths.append(str(path))
    host = brevorin_ffi.Host(charset=charset)
    s = host.session()
    try:
        assert s.setoptions(dict({"mime": "modern"}, **(options or {}))) == 0
        header = b"\x1b".join(brevorin_ffi._b(k + "=") + brevorin_ffi._b(v)
                              for k, v in header_items)
        status = s.send(smtp.server, header, brevorin_ffi._b(text),
                        "\x1b".join(paths).encode("utf-8", "surrogateescape") if paths else b"")
    finally:
        s.cleanup()
        host.close()
    data = smtp.messages[-1]["data"] if smtp.messages else b""
    message = strict(data)[0] if data else None
    return Sent(status, data, message, list(host.lines), smtp)


# Each area of the library adds its rows here: (id, header items [(KEY,
# value)], text, host charset, options, attachments [(name, bytes)],
# check(sent)).
ADDRESS_CASES = []
ENCODED_WORD_CASES = []
ATTACHMENT_CASES = []

CASES = ADDRESS_CASES + ENCODED_WORD_CASES + ATTACHMENT_CASES


@pytest.mark.parametrize("items,text,charset,options,attachments,check",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_sent_mail_reads_as_written(smtp, tmp_path, items, text, charset, options, attachments,
                                    check):
    check(send(smtp, tmp_path, items, text, charset, options, attachments))
