"""The same mailbox read over POP3 and over IMAP from one Dovecot: the nine
calls must give the same records, bodies, files and deletions, in the clear,
with STARTTLS and with TLS from the first byte, through the C ABI, the tool
and the DLL under Wine; and what only IMAP has (read-only, \\Seen, other
mailboxes, messages expunged by another client)."""
import imaplib
import os
import re
import shutil
import subprocess
import tempfile
from email.message import EmailMessage

import pytest

import brevorin_ffi
import certs
import wine
from conftest import USER, PASSWORD
from modern_support import scratch, wire
from servers import Dovecot, HAS_IMAP
from test_list import corpus

pytestmark = pytest.mark.skipif(not HAS_IMAP, reason="dovecot-imapd not installed")


def attachment_messages():
    plain = EmailMessage()
    plain["From"] = "Ann Example <ann@example.org>"
    plain["To"] = "%s@example.org" % USER
    plain["Subject"] = "Report with attachments"
    plain["Message-ID"] = "<attach.1@example.org>"
    plain.set_content("Figures attached.\n.leading dot line\n")
    plain.add_attachment(bytes(range(256)) * 300, maintype="application", subtype="octet-stream",
                         filename="data.bin")
    plain.add_attachment("Zeile äöü\n".encode("latin-1"), maintype="text", subtype="plain",
                         filename="notes.txt")
    html = EmailMessage()
    html["From"] = "news@example.org"
    html["To"] = "%s@example.org" % USER
    html["Subject"] = "=?utf-8?q?Gr=C3=BC=C3=9Fe?="
    html.set_content("<html><body><p>Only <b>HTML</b> here &amp; there</p></body></html>",
                     subtype="html")
    return [wire(plain), wire(html)]


def messages():
    return corpus() + attachment_messages()


def fill(dovecot, data):
    dovecot.clear(USER)
    for m in data:
        dovecot.add_message(USER, m)


def files_of(listing, directory):
    """The names of the file list, and each file's bytes."""
    names = [n for n in listing.split(b"\x1b") if n] if listing else []
    out = []
    for name in names:
        with open(os.path.join(directory.encode(), name), "rb") as f:
            out.append((name, f.read()))
    return out


def in_the_clear(options):
    """IMAP signs in without TLS only when the host says it may."""
    if options.get("protocol") == "imap" and "security" not in options:
        return dict(options, allow_plaintext_auth="yes")
    return options


def visit(lib, server, protocol, options, count, delete=()):
    """Logon, list, get and raw of every message, the deletions, logoff:
    everything the host would see, as comparable data."""
    host = brevorin_ffi.Host(lib=lib, charset="UTF8")
    directory = tempfile.mkdtemp(prefix="brevorin-imap-")
    try:
        s = host.session()
        assert s.setoptions(in_the_clear(dict(options, protocol=protocol))) == 0
        seen = {"logon": s.logon(server, USER, PASSWORD)}
        assert seen["logon"] == 0, "\n".join(host.lines[-20:])
        seen["list"] = s.list()
        for n in range(1, count + 1):
            target = os.path.join(directory, str(n))
            os.mkdir(target)
            status, header, body, files = s.get(n, target)
            seen["get", n] = (status, header, body, files_of(files, target))
            seen["raw", n] = s.raw(n)
        seen["delete"] = [s.delete(n) for n in delete]
        seen["logoff"] = s.logoff()
        s.cleanup()
        return seen
    finally:
        host.close()
        shutil.rmtree(directory, ignore_errors=True)


def remaining(dovecot):
    return sorted(open(f, "rb").read() for f in dovecot.message_files(USER))


SCENARIOS = {
    "classic": {},
    "modern": {"mime": "modern", "uidl": "yes"},
    "pipelined_pages": {"pipelining": "auto", "list_from": "3"},
}


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_same_results_over_pop3_and_imap(mailbox, lib, scenario):
    data = messages()
    results = {}
    left = {}
    for protocol, server in (("pop3", mailbox.server), ("imap", mailbox.imap_server)):
        fill(mailbox, data)
        results[protocol] = visit(lib, server, protocol, SCENARIOS[scenario], len(data),
                                  delete=(2, 5, 2))
        left[protocol] = remaining(mailbox)
    pop3, imap = results["pop3"], results["imap"]
    assert pop3["list"][0] == len(data) - int(SCENARIOS[scenario].get("list_from", 1)) + 1
    for key in pop3:
        # Each visit had a mailbox of its own: the unique ids differ.
        assert without_uidl(imap[key]) == without_uidl(pop3[key]), key
    assert pop3["delete"] == [0, 0, -7]
    assert left["imap"] == left["pop3"] and len(left["pop3"]) == len(data) - 2


def without_uidl(result):
    return re.sub(rb"UIDL=[^\x1b]*", b"UIDL=", result[1]) if isinstance(result, tuple) and \
        isinstance(result[1], bytes) else result


def test_unique_ids_are_those_of_pop3(mailbox, lib):
    """On Dovecot's default POP3 UIDL format the ids agree, so a host's
    record of what it has seen survives a move to IMAP."""
    fill(mailbox, corpus())
    ids = {}
    for protocol, server in (("pop3", mailbox.server), ("imap", mailbox.imap_server)):
        host = brevorin_ffi.Host(lib=lib)
        s = host.session()
        assert s.setoptions(in_the_clear({"protocol": protocol, "uidl": "yes"})) == 0
        assert s.logon(server, USER, PASSWORD) == 0
        ids[protocol] = ([r["UIDL"] for r in brevorin_ffi.list_records(s.list()[1])],
                         brevorin_ffi.fields(s.get(2)[1])[-1])
        assert s.logoff() == 0
        s.cleanup()
        host.close()
    assert ids["imap"] == ids["pop3"]
    assert len(ids["pop3"][0]) == len(corpus()) and all(len(i) == 16 for i in ids["pop3"][0])


@pytest.fixture(scope="module")
def tls_dovecot():
    with tempfile.TemporaryDirectory(prefix="brevorin-pki-") as d:
        pki = certs.Pki(d)
        server = Dovecot({USER: PASSWORD}, tls=pki.server("good")).start()
        server.ca_file = pki.ca_file
        yield server
        server.stop()


@pytest.mark.parametrize("security", ["starttls", "tls"])
def test_same_results_over_tls(tls_dovecot, lib, security):
    data = attachment_messages()
    servers = {"pop3": tls_dovecot.server if security == "starttls" else tls_dovecot.tls_server,
               "imap": tls_dovecot.imap_server if security == "starttls"
               else tls_dovecot.imaps_server}
    # TLS from the first byte signs in with AUTHENTICATE PLAIN / AUTH PLAIN.
    options = {"security": security, "ca_file": tls_dovecot.ca_file,
               "auth": "plain" if security == "tls" else "user"}
    results = {}
    for protocol in ("pop3", "imap"):
        fill(tls_dovecot, data)
        results[protocol] = visit(lib, servers[protocol], protocol, options, len(data))
    assert results["imap"] == results["pop3"]
    logins = [l for l in tls_dovecot.logins() if "imap-login" in l]
    assert logins and all("TLS" in l for l in logins)


def test_refusals_map_to_the_same_statuses(mailbox, host):
    fill(mailbox, corpus()[:1])
    seen = {}
    for protocol, server in (("pop3", mailbox.server), ("imap", mailbox.imap_server)):
        s = host.session()
        assert s.setoptions(in_the_clear({"protocol": protocol, "logon_pause": "0"})) == 0
        seen[protocol] = [s.logon(server, USER, PASSWORD + "x"), s.logon(server, USER, PASSWORD),
                          s.logon(server, USER, PASSWORD), s.delete(9), s.get(9)[0], s.raw(0)[0],
                          s.logoff(), s.logoff(), s.list()[0]]
        s.cleanup()
    assert seen["imap"] == seen["pop3"] == [-2, 0, -3, -7, -7, -7, 0, -8, -8]


def imap_client(dovecot):
    client = imaplib.IMAP4("127.0.0.1", dovecot.imap_port)
    client.login(USER, PASSWORD)
    return client


@pytest.mark.parametrize("options,seen,deleted", [
    ({}, False, 0), ({"mark_seen": "yes"}, True, 0),
    ({"mark_seen": "yes", "read_only": "yes"}, False, -11)])
def test_the_mailbox_changes_only_as_asked(mailbox, host, options, seen, deleted):
    fill(mailbox, corpus()[:3])
    s = host.session()
    assert s.setoptions(in_the_clear(dict(options, protocol="imap"))) == 0
    assert s.logon(mailbox.imap_server, USER, PASSWORD) == 0
    assert s.get(1)[0] == 0 and s.raw(2)[0] == 0
    assert s.delete(3) == deleted
    assert s.logoff() == 0
    s.cleanup()
    assert len(mailbox.message_files(USER)) == (3 if deleted else 2)
    client = imap_client(mailbox)
    client.select("INBOX", readonly=True)
    flags = client.fetch("1:2", "(FLAGS)")[1]
    client.logout()
    assert all((b"\\Seen" in f) == seen for f in flags), flags


def test_other_mailbox_with_a_non_ascii_name(mailbox, host):
    fill(mailbox, [])
    client = imap_client(mailbox)
    client.create('"Gel&APY-scht"')
    client.append('"Gel&APY-scht"', None, None, corpus()[0])
    client.logout()
    s = host.session()
    assert s.setoptions(in_the_clear({"protocol": "imap", "mailbox": "Gelöscht"})) == 0
    assert s.logon(mailbox.imap_server, USER, PASSWORD) == 0
    status, listing = s.list()
    assert status == 1
    assert brevorin_ffi.list_records(listing)[0]["SUBJECT"] == b"Quarterly figures"
    assert s.logoff() == 0
    assert s.setoption("mailbox", "Nowhere") == 0
    assert s.logon(mailbox.imap_server, USER, PASSWORD) == -5
    assert any("LOGONMAIL: Server refused mailbox" in l for l in host.lines)
    s.cleanup()


def test_numbers_hold_while_another_client_expunges(mailbox, host):
    fill(mailbox, corpus()[:4])
    s = host.session()
    assert s.setoptions(in_the_clear({"protocol": "imap"})) == 0
    assert s.logon(mailbox.imap_server, USER, PASSWORD) == 0
    before = s.raw(3)
    client = imap_client(mailbox)
    client.select("INBOX")
    client.store("1:2", "+FLAGS", "\\Deleted")
    client.expunge()
    client.logout()
    assert s.get(1)[0] == -7
    assert s.raw(3) == before
    assert s.delete(2) == -7
    assert s.delete(4) == 0
    status, listing = s.list()
    assert status == 1 and brevorin_ffi.list_records(listing)[0]["NMB"] == b"3"
    assert s.logoff() == 0
    assert len(mailbox.message_files(USER)) == 1
    s.cleanup()


def test_tool_reads_imap_urls_like_pop3(mailbox):
    cli = os.path.join(brevorin_ffi.build_dir(), "brevorin")
    fill(mailbox, corpus()[:3])
    env = dict(os.environ, BREVORIN_PASSWORD=PASSWORD)

    def run(*args):
        out = subprocess.run([cli] + list(args), capture_output=True, timeout=60, env=env)
        assert out.returncode == 0, out.stderr
        return out.stdout

    host_port = "127.0.0.1:%d"
    for command in (["list"], ["raw", "2"], ["stat"]):
        pop3 = run(*command, "--server", "pop3://%s@%s" % (USER, host_port % mailbox.port))
        imap = run(*command, "--server", "imap://%s@%s" % (USER, host_port % mailbox.imap_port),
                   "--allow-plaintext-auth")
        plain = run(*command, "--protocol", "imap", "--server", mailbox.imap_server, "--user",
                    USER, "--allow-plaintext-auth")
        assert imap == pop3 == plain, command
    run("delete", "1", "--server", "imap://%s@%s" % (USER, host_port % mailbox.imap_port),
        "--allow-plaintext-auth")
    assert len(mailbox.message_files(USER)) == 2


@pytest.fixture
def password_file(wine_build):
    directory = scratch()
    yield wine_build.write_file(directory, "pw", PASSWORD)
    shutil.rmtree(directory, ignore_errors=True)


def test_dll_under_wine_reads_imap_as_pop3(mailbox, wine_build, password_file):
    data = attachment_messages() + corpus()[:2]
    seen = {}
    for protocol, server in (("pop3", mailbox.server), ("imap", mailbox.imap_server)):
        fill(mailbox, data)
        outdir = scratch()
        try:
            results, err = wine_build.run(
                "option", "protocol", protocol, "+", "option", "allow_plaintext_auth", "yes", "+",
                "logon", server, USER, password_file, "+",
                "list", "+", "get", "1", wine.to_windows_path(outdir), "0", "+", "raw", "2", "0",
                "+", "delete", "3", "+", "logoff")
            by_name = {r.name: r for r in results}
            assert by_name["logon"].status == 0, err
            files = sorted(os.listdir(outdir))
            seen[protocol] = ([(r.name, r.status, r.texts if r.name != "get" else r.texts[:2])
                               for r in results], files, remaining(mailbox))
        finally:
            shutil.rmtree(outdir, ignore_errors=True)
    assert seen["imap"] == seen["pop3"]
    assert seen["pop3"][1] == ["data.bin", "notes.txt"]
