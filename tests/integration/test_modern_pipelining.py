"""pipelining=auto: POP3 LIST/TOP in batches after CAPA, SMTP envelope in one
group after EHLO; results identical to the one-at-a-time dialogue, against
Dovecot, aiosmtpd and scripted peers that check the batching."""
import email

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD
from modern_support import PipeliningSink, ScriptedPeer, set_option


def message(n, subject_length=20):
    subject = ("S%d-" % n) + "x" * subject_length
    return ("From: sender%d@example.org\r\nTo: a@example.org\r\nSubject: %s\r\nMessage-ID: <%d@x>\r\n\r\n"
            "body %d\r\n" % (n, subject, n, n)).encode()


def pop3_answer(messages, top_works=True, refuse_top=()):
    def answer(line):
        words = line.decode().split()
        verb = words[0].upper()
        n = int(words[1]) if len(words) > 1 and words[1].isdigit() else 0
        if verb in ("USER", "PASS"):
            return b"+OK\r\n"
        if verb == "STAT":
            return b"+OK %d %d\r\n" % (len(messages), sum(map(len, messages)))
        if verb == "CAPA":
            return b"+OK\r\nTOP\r\nUSER\r\nPIPELINING\r\n.\r\n"
        if verb == "LIST":
            return b"+OK %d %d\r\n" % (n, len(messages[n - 1]))
        if verb == "TOP":
            if not top_works or n in refuse_top:
                return b"-ERR no TOP\r\n"
            return b"+OK\r\n" + messages[n - 1].split(b"\r\n\r\n")[0] + b"\r\n\r\n.\r\n"
        if verb == "RETR":
            return b"+OK\r\n" + messages[n - 1] + b".\r\n"
        if verb in ("DELE", "QUIT"):
            return b"+OK\r\n"
        return b"-ERR unknown\r\n"
    return answer


SCENARIOS = {
    # name: (messages, peer options, records expected from the listing)
    "all-listed": ([message(n) for n in range(1, 8)], {}, 7),
    "top-refused-at-probe": ([message(n) for n in range(1, 8)], {"top_works": False}, 7),
    "top-refused-mid-batch": ([message(n) for n in range(1, 8)], {"refuse_top": (4,)}, -11),
    "window-cut": ([message(n, 1500) for n in range(1, 21)], {}, 17),
}


def run_listing(host, scenario, pipelining):
    messages, options, _ = SCENARIOS[scenario]
    peer = ScriptedPeer(b"+OK ready\r\n", pop3_answer(messages, **options))
    s = host.session()
    try:
        assert set_option(s, "pipelining", pipelining) == 0
        assert s.logon(peer.server, USER, PASSWORD) == 0
        result = s.list()
        # The dialogue is still in step: DELE 2 reads its own answer.
        deleted = s.delete(2)
        s.logoff()
    finally:
        s.cleanup()
        peer.close()
    return result, deleted, peer


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_pop3_batches_give_what_one_at_a_time_gives(host, scenario):
    (status, listing), deleted, sequential = run_listing(host, scenario, "off")
    (status_p, listing_p), deleted_p, batched = run_listing(host, scenario, "auto")
    assert status == SCENARIOS[scenario][2]
    assert (status_p, listing_p, deleted_p) == (status, listing, deleted)
    assert deleted == 0
    assert b"CAPA\r\n" not in sequential.lines
    assert max(len(c) for c in sequential.chunks) == 1
    # After the first message (which learns whether TOP works) LIST and
    # TOP (or RETR) of the other messages go out in one write.
    header_verb = b"TOP" if SCENARIOS[scenario][1].get("top_works", True) else b"RETR"
    count = len(SCENARIOS[scenario][0]) - 1
    batch = max(batched.chunks, key=len)
    assert len(batch) == 2 * count
    assert batch[:2] == [b"LIST 2\r\n", header_verb + (b" 2 0\r\n" if header_verb == b"TOP" else b" 2\r\n")]
    # Whatever came back past a failure or the cut was read: DELE 2 follows.
    assert batched.lines[batched.lines.index(batch[-1]) + 1] == b"DELE 2\r\n"


def listing_of(host, dovecot, options):
    s = host.session()
    try:
        for name, value in options.items():
            assert set_option(s, name, value) == 0
        assert s.logon(dovecot.server, USER, PASSWORD) == 0
        result = s.list()
        s.logoff()
        return result
    finally:
        s.cleanup()


def test_dovecot_listing_pipelined_equals_one_at_a_time(mailbox, host):
    for n in range(1, 51):
        mailbox.add_message(USER, message(n, 200 + n))
    plain = listing_of(host, mailbox, {})
    host.lines.clear()
    piped = listing_of(host, mailbox, {"pipelining": "auto"})
    assert any("Server offers pipelining" in l for l in host.lines)
    assert piped == plain
    assert plain[0] > 20
    # Paging with list_from gives the same records, numbered from there on.
    page = listing_of(host, mailbox, {"pipelining": "auto", "list_from": str(plain[0] + 1)})
    page_plain = listing_of(host, mailbox, {"list_from": str(plain[0] + 1)})
    assert page == page_plain
    records = brevorin_ffi.list_records(page[1])
    assert page[0] == 50 - plain[0]
    assert records[0]["NMB"] == str(plain[0] + 1).encode()


def smtp_answer(codes):
    """Replies by command; RCPT replies taken in turn from codes."""
    state = {"data": False, "rcpt": 0}

    def answer(line):
        if state["data"]:
            if line == b".\r\n":
                state["data"] = False
                return b"250 queued\r\n"
            return None
        verb = line[:4].upper()
        if verb == b"EHLO":
            return codes.get("ehlo", b"250-peer\r\n250-PIPELINING\r\n250 8BITMIME\r\n")
        if verb == b"HELO":
            return b"250 peer\r\n"
        if verb == b"MAIL":
            return b"250 ok\r\n"
        if verb == b"RCPT":
            code = codes["rcpt"][state["rcpt"]]
            state["rcpt"] += 1
            return b"%d rcpt\r\n" % code
        if verb == b"DATA":
            state["data"] = True
            return b"354 go\r\n"
        if verb == b"QUIT":
            return b"221 bye\r\n"
        return b"500 what\r\n"
    return answer


HEADERS = brevorin_ffi.header_list(to="a@example.org,b@example.org", cc="c@example.org",
                                   from_="sender@example.org", subject="pipelined")


@pytest.mark.parametrize("codes,status", [
    ({"rcpt": [250, 250, 250]}, 0),
    ({"rcpt": [250, 550, 250]}, -2),
    ({"rcpt": [250, 452, 250]}, -15),
    ({"rcpt": [250, 250, 250], "ehlo": b"502 no EHLO\r\n"}, 0),
], ids=["accepted", "refused-rcpt", "storage-rcpt", "helo-only"])
def test_smtp_envelope_group_gives_what_one_at_a_time_gives(host, codes, status):
    results = {}
    for mode in ("off", "auto"):
        peer = ScriptedPeer(b"220 peer ready\r\n", smtp_answer(codes))
        s = host.session()
        assert set_option(s, "pipelining", mode) == 0
        results[mode] = s.send(peer.server, HEADERS, "text\n")
        s.cleanup()
        peer.close()
        envelope = [l for l in peer.lines if l[:4] in (b"MAIL", b"RCPT", b"DATA")]
        grouped = [c for c in peer.chunks if c[0].startswith(b"MAIL")][0]
        if mode == "auto" and "ehlo" not in codes:
            assert grouped == envelope and len(grouped) == 5
        else:
            assert len(grouped) == 1
    assert results == {"off": status, "auto": status}


@pytest.mark.parametrize("count", [20, 150])
def test_aiosmtpd_pipelined_send(host, count):
    # Blind copies: a To line of 150 addresses would be longer than SMTP allows.
    recipients = ",".join("r%03d@example.org" % n for n in range(1, count))
    headers = brevorin_ffi.header_list(to="r000@example.org", bcc=recipients,
                                       from_="sender@example.org", subject="many")
    with PipeliningSink() as sink:
        s = host.session()
        assert set_option(s, "pipelining", "auto") == 0
        assert set_option(s, "message_id", "auto") == 0
        assert s.send(sink.server, headers, "one text\n") == 0
        assert s.send(sink.server, headers, "two text\n") == 0
        s.cleanup()
    assert [len(m["rcpt_tos"]) for m in sink.messages] == [count, count]
    ids = [email.message_from_bytes(m["data"])["Message-ID"] for m in sink.messages]
    assert all(i and i.startswith("<") and "@" in i and i.endswith(">") for i in ids)
    assert ids[0] != ids[1]


def test_no_message_id_without_the_option(host, smtp):
    s = host.session()
    assert s.send(smtp.server, HEADERS, "text\n") == 0
    s.cleanup()
    assert email.message_from_bytes(smtp.messages[0]["data"])["Message-ID"] is None


@pytest.mark.parametrize("unanswered", [b"LIST 5\r\n", b"TOP 3 0\r\n"])
def test_pop3_batch_out_of_step_ends_the_visit(host, unanswered):
    """A server claiming PIPELINING that leaves one request of a batch
    unanswered: every later answer would belong to another message, so the
    listing ends the visit instead of handing one message's data out as
    another's."""
    answer = pop3_answer([message(n) for n in range(1, 8)])
    peer = ScriptedPeer(b"+OK ready\r\n", lambda line: None if line == unanswered else answer(line))
    s = host.session()
    try:
        assert set_option(s, "pipelining", "auto") == 0
        assert set_option(s, "timeout", "5") == 0
        assert s.logon(peer.server, USER, PASSWORD) == 0
        assert s.list() == (-9, b"")
        assert s.get(5)[0] == -8
    finally:
        s.cleanup()
        peer.close()
    assert any("<E1> LISTMAIL: Answers out of step with the requests" in l for l in host.lines)
