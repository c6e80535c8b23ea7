"""What the tests of the session options share: setting an option through
the binding, and what Python's email package makes of a message (the
reference the library's decoding is held against)."""
import ctypes
import email
import email.policy
import os
import re
import shutil
import subprocess
import tempfile

import pytest

ESC = b"\x1b"


def set_option(session, name, value):
    f = session.lib.brevorin_setoption
    f.restype = ctypes.c_int
    f.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p]
    return f(name.encode(), value.encode(), session.handle)


def wire(msg):
    return msg.as_bytes(policy=msg.policy.clone(linesep="\r\n"))


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def unnamed_extension(part):
    """The extension an unnamed part's file gets from its type: the common
    one, none for opaque bytes."""
    import mimetypes
    kind = part.get_content_type()
    extension = None if kind == "application/octet-stream" else mimetypes.guess_extension(kind)
    return extension.encode() if extension else b""


def expected_parts(data, host_codec):
    """(body, [(name, bytes)]) the way mime=modern should hand them to a
    host whose charset is host_codec: the plain text alternative (or the
    plain text parts) as body, every other leaf part as a file; HTML that
    no text came before is the body too, rendered (here by dropping its tags,
    enough for the plain documents these tests compose)."""
    msg = email.message_from_bytes(data, policy=email.policy.default)
    body = b""
    files = []

    def is_body_text(part):
        return (part.get_content_type() == "text/plain" and part.get_content_disposition() != "attachment"
                and part.get_filename() is None)

    def text_of(part):
        raw = part.get_payload(decode=True)
        charset = part.get_content_charset()
        if charset in (None, "us-ascii"):
            return raw
        return raw.decode(charset).encode(host_codec, "replace")

    def walk(part):
        nonlocal body
        if part.is_multipart():
            children = part.get_payload()
            if part.get_content_subtype() == "alternative":
                plain = [c for c in children if not c.is_multipart() and is_body_text(c)]
                for c in (plain[:1] or children[:1]):
                    walk(c)
                return
            for c in children:
                walk(c)
            return
        if is_body_text(part):
            body += text_of(part)
            return
        name = part.get_filename()
        shown = (part.get_content_type() == "text/html" and not body
                 and part.get_content_disposition() != "attachment")
        if shown:
            html = part.get_payload(decode=True).decode(part.get_content_charset() or "us-ascii")
            text = re.sub(r"\s+", " ", re.sub(r"<[^>]+>", " ", html)).strip()
            body = text.encode(host_codec, "replace") + b"\r\n" if text else b""
            if not name:
                files.append((b"message.html", part.get_payload(decode=True)))
                return
        name = name.encode(host_codec, "replace") if name else b"att-1" + unnamed_extension(part)
        files.append((name, part.get_payload(decode=True)))

    walk(msg)
    return body, files


def numbered(files):
    """Names as the library numbers repeated ones (a, a-1, a-2...)."""
    seen = {}
    out = []
    for name, data in files:
        if name in seen:
            seen[name] += 1
            stem, dot, ext = name.partition(b".")
            name = stem + b"-%d." % seen[name] + ext
        else:
            seen[name] = 0
        out.append((name, data))
    return out


def s_nail_message(tmpdir, subject, text, attachments):
    """A message composed by s-nail, with attachments named as given."""
    if shutil.which("s-nail") is None:
        pytest.skip("s-nail not installed")
    args = ["s-nail", "-:/", "-Sv15-compat", "-Sttycharset=utf-8", "-Ssendcharsets=utf-8",
            "-Smta=test://" + os.path.join(tmpdir, "out.eml"), "-s", subject, "-r", "sender@example.org"]
    for name, data in attachments:
        path = os.path.join(tmpdir, name)
        with open(path, "wb") as f:
            f.write(data)
        args += ["-a", path]
    args.append("alice@example.org")
    subprocess.run(args, input=text.encode(), check=True, cwd=tmpdir,
                   env=dict(os.environ, LC_ALL="C.UTF-8", HOME=tmpdir, MAILRC="/dev/null"))
    with open(os.path.join(tmpdir, "out.eml"), "rb") as f:
        data = f.read()
    # The mbox "From " line is no part of the message.
    return crlf(data.split(b"\n", 1)[1] if data.startswith(b"From ") else data)


def mpack_message(tmpdir, subject, name, data):
    if shutil.which("mpack") is None:
        pytest.skip("mpack not installed")
    path = os.path.join(tmpdir, name)
    with open(path, "wb") as f:
        f.write(data)
    out = os.path.join(tmpdir, "mpack.eml")
    subprocess.run(["mpack", "-s", subject, "-o", out, path], check=True, cwd=tmpdir,
                   env=dict(os.environ, TMPDIR=tmpdir))
    with open(out, "rb") as f:
        msg = f.read()
    return crlf(b"From: sender@example.org\nTo: alice@example.org\n" + msg)


def scratch():
    return tempfile.mkdtemp(prefix="brevorin-modern-")


def PipeliningSink(deliver_to=None):
    """The SMTP sink offering PIPELINING in its EHLO reply."""
    from servers import SmtpSink
    return SmtpSink(deliver_to=deliver_to, pipelining=True)


class ScriptedPeer:
    """A loopback server for one client: sends greeting, then hands each
    line it reads to answer(line) and sends what that returns. chunks holds
    the lines of each receive, so a test sees which commands came together."""

    def __init__(self, greeting, answer):
        import socket
        import threading
        self.greeting = greeting
        self.answer = answer
        self.chunks = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @property
    def server(self):
        return "127.0.0.1+%d" % self.port

    @property
    def lines(self):
        return [l for c in self.chunks for l in c]

    def _serve(self):
        self.listener.settimeout(30)
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(30)
            conn.sendall(self.greeting)
            pending = b""
            while True:
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                pending += data
                chunk = []
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    chunk.append(line + b"\n")
                if chunk:
                    self.chunks.append(chunk)
                for line in chunk:
                    reply = self.answer(line)
                    if reply:
                        conn.sendall(reply)

    def close(self):
        self.listener.close()
        self.thread.join(5)


def esmtp_peer(extensions, auth=b"235 welcome\r\n"):
    """An SMTP server that states extensions in its EHLO reply (b"SIZE 1000",
    b"AUTH PLAIN LOGIN", ...), answers AUTH with auth and takes whatever
    mail it is sent; its lines record the dialogue."""
    state = {"data": False}

    def answer(line):
        if state["data"]:
            state["data"] = line != b".\r\n"
            return b"" if state["data"] else b"250 queued\r\n"
        verb = line.split(b" ")[0].strip().upper()
        if verb == b"EHLO":
            return b"".join(b"250-%s\r\n" % e for e in [b"test"] + extensions[:-1]) + \
                b"250 %s\r\n" % extensions[-1]
        if verb == b"AUTH":
            return auth
        if verb == b"DATA":
            state["data"] = True
            return b"354 go on\r\n"
        return b"221 bye\r\n" if verb == b"QUIT" else b"250 ok\r\n"
    return ScriptedPeer(b"220 esmtp\r\n", answer)
