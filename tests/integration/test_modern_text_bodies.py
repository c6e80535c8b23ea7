"""mime=modern against Python's email package on the messages of its own
test suite: the plain-text body a mail client shows must reach the body.
Each message either gives Python's body, or gives it followed by the further
inline text parts (which the library shows one after the other, where Python
picks the first), or is one where Python records a defect and takes another
reasonable reading. Where Python finds no plain text but HTML, the body is
the HTML's rendering."""
import email
import email.policy
import glob
import os

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD

# From Debian's libpython3.X-testsuite, which the set-up script installs.
MESSAGES = sorted(glob.glob("/usr/lib/python3*/test/test_email/data/msg_*.txt"))


def python_body(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    part = msg.get_body(("plain",))
    defects = list(msg.defects) + [d for p in msg.walk() for d in p.defects]
    html = part is None and msg.get_body(("html",)) is not None
    return (part.get_content() if part is not None else ""), defects, html


def plain(text):
    return text.replace("\r\n", "\n").strip()


@pytest.mark.skipif(not MESSAGES, reason="Python's test suite data is not installed")
def test_bodies_agree_with_python(mailbox, tmp_path):
    raws = [open(path, "rb").read() for path in MESSAGES]
    for raw in raws:
        mailbox.add_message(USER, raw)
    host = brevorin_ffi.Host(charset="UTF8")
    s = host.session()
    try:
        assert s.setoption("mime", "modern") == 0
        assert s.logon(mailbox.server, USER, PASSWORD) == 0
        kinds = {"same": [], "more inline text": [], "python records a defect": [],
                 "rendered html": [], "differ": []}
        for n, (path, raw) in enumerate(zip(MESSAGES, raws), start=1):
            status, _, body, _ = s.get(n, str(tmp_path))
            assert status >= 0, (path, status)
            ours = plain(body.decode("utf-8", "replace"))
            theirs, defects, html = python_body(raw)
            theirs = plain(theirs)
            if ours == theirs:
                kind = "same"
            elif ours.startswith(theirs + "\n\n"):
                kind = "more inline text"
            elif defects:
                kind = "python records a defect"
            elif html and not theirs and ours:
                kind = "rendered html"
            else:
                kind = "differ"
            kinds[kind].append(os.path.basename(path))
        s.logoff()
    finally:
        s.cleanup()
        host.close()
    print({k: len(v) for k, v in kinds.items()}, kinds)
    assert kinds["differ"] == []
    assert len(kinds["same"]) >= 34 and len(kinds["rendered html"]) <= 1
