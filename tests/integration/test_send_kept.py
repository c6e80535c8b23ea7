"""Several messages over one SMTP connection (smtp_keep_open): reuse across a
refused message, a server that ends an idle connection, a reply lost after
the data, and the tool's send --batch."""

import email
import email.policy
import json
import os
import subprocess
import tempfile
import time

import pytest

import brevorin_ffi
import certs
from brevorin_ffi import header_list
from servers import SmtpSink
from test_cli import CLI

REFUSED = -2  # the server refused the sender, a recipient or the message
NETWORK = -9

# Each way of sending: the envelope pipelined or not, or the message as one
# BDAT chunk where the server offers CHUNKING.
GREETINGS = [
    pytest.param({"pipelining": "auto"}, {"pipelining": True}, id="pipelined"),
    pytest.param({"pipelining": "off", "mime": "modern"}, {}, id="one-at-a-time"),
    pytest.param({"pipelining": "auto", "mime": "modern"}, {"chunking": True}, id="chunked"),
]


def headers(to, subject):
    return header_list(TO=to, FROM="me@example.org", SUBJECT=subject)


def subjects(sink):
    return [email.message_from_bytes(m["data"], policy=email.policy.default)["Subject"]
            for m in sink.messages]


@pytest.fixture
def session():
    host = brevorin_ffi.Host()
    s = host.session()
    yield s
    s.cleanup()
    host.close()


@pytest.mark.parametrize("options,offer", GREETINGS)
def test_refused_recipient_in_the_middle_of_a_batch(session, options, offer):
    with SmtpSink(refuse={"nobody@example.org"}, **offer) as sink:
        assert session.setoptions(dict(options, smtp_keep_open="30")) == 0
        batch = [("ann@example.org", "first", 0), ("nobody@example.org", "second", REFUSED),
                 ("bob@example.org", "third", 0), ("cid@example.org", "fourth", 0)]
        for to, subject, status in batch:
            assert session.send(sink.server, headers(to, subject), "body of " + subject) == status
        assert subjects(sink) == ["first", "third", "fourth"]
        assert all(m["chunked"] == bool(offer.get("chunking")) for m in sink.messages)
        # One connection; the refusal cost one RSET, nothing else did.
        assert (sink.greetings, sink.resets, sink.quits) == (1, 1, 0)
        session.cleanup()
        assert sink.quits == 1


def test_server_ending_an_idle_connection(session):
    with SmtpSink(pipelining=True, idle_timeout=0.5) as sink:
        assert session.setoptions({"pipelining": "auto", "smtp_keep_open": "30"}) == 0
        assert session.send(sink.server, headers("ann@example.org", "before"), "one") == 0
        time.sleep(1.2)  # the server says 421 and closes meanwhile
        assert session.send(sink.server, headers("ann@example.org", "after"), "two") == 0
        assert subjects(sink) == ["before", "after"]
        assert sink.greetings == 2


@pytest.mark.parametrize("chunking", [False, True], ids=["data", "chunked"])
def test_lost_reply_after_the_data_is_a_failure_not_a_resend(session, chunking):
    with SmtpSink(pipelining=True, chunking=chunking, lose_reply={"lost@example.org"}) as sink:
        assert session.setoptions({"pipelining": "auto", "mime": "modern",
                                   "smtp_keep_open": "30"}) == 0
        assert session.send(sink.server, headers("ann@example.org", "first"), "one") == 0
        assert session.send(sink.server, headers("lost@example.org", "lost"), "two") == NETWORK
        assert session.send(sink.server, headers("ann@example.org", "third"), "three") == 0
        # The server saw the lost one once; the next went over a new connection.
        assert subjects(sink) == ["first", "lost", "third"]
        assert sink.greetings == 2


@pytest.mark.parametrize("close", ["logoff", "cleanup", "other server", "option cleared"])
def test_kept_connection_ends_with_quit(session, close):
    with SmtpSink(pipelining=True) as sink, SmtpSink(pipelining=True) as other:
        assert session.setoptions({"pipelining": "auto", "smtp_keep_open": "30"}) == 0
        assert session.send(sink.server, headers("ann@example.org", "kept"), "one") == 0
        assert sink.quits == 0
        if close == "logoff":
            assert session.logoff() == session.lib.brevorin_logoffmail(session.handle)
        elif close == "cleanup":
            session.cleanup()
        elif close == "other server":
            assert session.send(other.server, headers("ann@example.org", "other"), "two") == 0
        else:
            assert session.setoption("smtp_keep_open", "0") == 0
            assert session.send(sink.server, headers("ann@example.org", "again"), "two") == 0
        deadline = time.time() + 5
        while sink.quits == 0 and time.time() < deadline:
            time.sleep(0.05)
        assert sink.quits == (2 if close == "option cleared" else 1)


@pytest.fixture(scope="module")
def pki():
    with tempfile.TemporaryDirectory(prefix="brevorin-pki-") as d:
        p = certs.Pki(d)
        p.good = p.server("good")
        yield p


def test_starttls_and_auth_happen_once_for_many_messages(session, pki):
    with SmtpSink(tls=pki.good, users={"carol": "pw", "dave": "pw2"}, pipelining=True) as sink:
        assert session.setoptions({
            "security": "starttls", "ca_file": pki.ca_file, "auth": "plain",
            "smtp_user": "carol", "smtp_password": "pw", "pipelining": "auto",
            "smtp_keep_open": "30"}) == 0
        for n in range(3):
            assert session.send(sink.server, headers("ann@example.org", "m%d" % n), "x") == 0
        assert len(sink.logins) == 1 and sink.greetings == 2  # EHLO before and after TLS
        assert all(m["tls"] for m in sink.messages) and len(sink.messages) == 3
        # Other credentials are another connection, and a logon of their own.
        assert session.setoptions({"smtp_user": "dave", "smtp_password": "pw2"}) == 0
        assert session.send(sink.server, headers("ann@example.org", "m3"), "x") == 0
        assert sink.logins == [("PLAIN", "carol"), ("PLAIN", "dave")]
        assert sink.quits == 1 and len(sink.messages) == 4


def run_batch(sink, lines, *extra):
    with tempfile.TemporaryDirectory() as d:
        batch = os.path.join(d, "batch.jsonl")
        text = os.path.join(d, "note.txt")
        with open(text, "w") as f:
            f.write("from a file\n")
        with open(batch, "w") as f:
            f.write("\n".join(line.replace("TEXT_FILE", text) for line in lines) + "\n")
        proc = subprocess.run([CLI, "send", "--server", sink.server, "--from", "me@example.org",
                               "--batch", batch] + list(extra), capture_output=True, timeout=60)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


BATCH = [
    '{"to": "ann@example.org", "subject": "one", "text": "first"}',
    '{"to": ["nobody@example.org"], "subject": "two", "text": "second"}',
    'not json',
    '{"to": "bob@example.org", "cc": ["cid@example.org"], "subject": "three", '
    '"text_file": "TEXT_FILE", "from": "boss@example.org"}',
    '{"subject": "no recipient", "text": "x"}',
    '',
    '{"to": "dan@example.org", "subject": "four", "text": "x", "colour": "red"}',
]


def test_tool_batch_reports_each_line(tmp_path):
    with SmtpSink(pipelining=True, refuse={"nobody@example.org"}) as sink:
        rc, out, err = run_batch(sink, BATCH, "--json")
        assert rc != 0
        results = json.loads(out)
        assert (results["sent"], results["failed"]) == (2, 4)
        by_line = {m["line"]: m for m in results["messages"]}
        assert sorted(by_line) == [1, 2, 3, 4, 5, 7]
        assert by_line[1]["sent"] and by_line[1]["recipients"] == ["ann@example.org"]
        assert by_line[4]["recipients"] == ["bob@example.org", "cid@example.org"]
        assert not by_line[2]["sent"] and by_line[2]["status"] == REFUSED
        for line, why in ((3, "JSON"), (5, "recipient"), (7, "colour")):
            assert not by_line[line]["sent"] and why in by_line[line]["error"]
            assert "line %d" % line in err
        assert subjects(sink) == ["one", "three"]
        assert sink.messages[1]["mail_from"] == "boss@example.org"
        assert b"from a file" in sink.messages[1]["data"]
        assert (sink.greetings, sink.quits) == (1, 1)


def test_tool_batch_all_sent_exits_zero():
    with SmtpSink(pipelining=True) as sink:
        rc, out, err = run_batch(sink, [BATCH[0], BATCH[3]])
        assert (rc, err) == (0, "")
        assert out == "line 1: sent\nline 2: sent\n2 sent, 0 failed\n"
        assert sink.greetings == 1


def normalised(data):
    """A message without what differs between two sendings of it: the Date
    and Message-ID lines and the boundaries."""
    import re
    for boundary in set(re.findall(rb'boundary="([^"]+)"', data)):
        data = data.replace(boundary, b"BOUNDARY")
    return re.sub(rb"(?m)^(Date|Message-ID): [^\r]*\r\n", b"", data)


@pytest.mark.parametrize("text,attachment", [
    ("plain", None),
    (".a line with a dot\r\n.\r\n..two\r\nlast", None),
    ("ends with a break\r\n\r\n", None),
    ("caf\u00e9 \u00fcber", None),
    ("with a file\r\n.dot", ("notes.txt", b".begins with a dot\n" * 40)),
], ids=["plain", "dots", "trailing-breaks", "8bit", "attachment"])
def test_chunked_message_is_what_data_delivers(session, tmp_path, text, attachment):
    attachments = b""
    if attachment is not None:
        path = tmp_path / attachment[0]
        path.write_bytes(attachment[1])
        attachments = str(path).encode()
    with SmtpSink(pipelining=True) as by_data, SmtpSink(chunking=True) as by_chunk:
        assert session.setoptions({"pipelining": "auto", "mime": "modern",
                                   "smtp_keep_open": "30"}) == 0
        for sink in (by_data, by_chunk):
            assert session.send(sink.server, headers("ann@example.org", "same"),
                                text.encode("utf-8"), attachments) == 0
        (data_message,), (chunk_message,) = by_data.messages, by_chunk.messages
        assert (data_message["chunked"], chunk_message["chunked"]) == (False, True)
        assert normalised(chunk_message["data"]) == normalised(data_message["data"])


@pytest.mark.parametrize("offer,recipients,turns", [
    ({"chunking": True}, ["ann@example.org"], 1),
    # A refused recipient must stop the chunk: their replies come first.
    ({"chunking": True}, ["ann@example.org", "bob@example.org"], 2),
    ({"pipelining": True}, ["ann@example.org"], 2),
], ids=["chunked", "chunked-two-recipients", "data"])
def test_round_trips_per_kept_message(session, offer, recipients, turns):
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                    "bench"))
    from pipelining_bench import DelayProxy
    with SmtpSink(**offer) as sink:
        proxy = DelayProxy(sink.port, 0.005)
        try:
            server = "127.0.0.1+%d" % proxy.port
            assert session.setoptions({"pipelining": "auto", "mime": "modern",
                                       "smtp_keep_open": "30"}) == 0
            to = ",".join(recipients)
            assert session.send(server, headers(to, "opens"), "x") == 0
            proxy.reset_turns()
            for n in range(4):
                assert session.send(server, headers(to, "m%d" % n), "body %d" % n) == 0
            # The proxy counts a write after an answer it passed since the
            # reset: the first message's first write is not one.
            assert proxy.turns == 4 * turns - 1
            assert len(sink.messages) == 5 and sink.greetings == 1
        finally:
            session.cleanup()
            proxy.listener.close()
