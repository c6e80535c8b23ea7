"""The session options in the Windows DLL under Wine: conversion through the
kernel32 code pages, and the pipelined listing against Dovecot."""
import os
import shutil
from email.message import EmailMessage

import pytest

import brevorin_ffi
import wine
from conftest import USER, PASSWORD
from modern_support import scratch, wire


@pytest.fixture
def runner(wine_build):
    return wine_build


@pytest.fixture
def password_file(wine_build):
    directory = scratch()
    yield wine_build.write_file(directory, "pw", PASSWORD)
    shutil.rmtree(directory, ignore_errors=True)


def by_name(results):
    return {r.name: r for r in results}


def converted_message():
    msg = EmailMessage()
    msg["From"] = "=?utf-8?q?J=C3=B6rg?= <j@example.org>"
    msg["To"] = "%s@example.org" % USER
    msg["Subject"] = "Grüße"
    msg.set_content("Grüße aus Köln – 5 €\n", charset="utf-8", cte="quoted-printable")
    msg.add_alternative("<p>html</p>\n", subtype="html")
    msg.add_attachment("Zeile\n".encode("cp1252"), maintype="text", subtype="plain",
                       filename="Prüfung.txt")
    return wire(msg)


@pytest.mark.parametrize("charset,body,name,status", [
    ("LATIN1", "Grüße aus Köln ? 5 ?".encode("latin-1"), "Prüfung.txt".encode("latin-1"), 1),
    ("UTF8", "Grüße aus Köln – 5 €".encode(), "Prüfung.txt".encode(), 0),
])
def test_dll_converts_to_the_host_charset(mailbox, runner, password_file, charset, body, name,
                                         status):
    mailbox.add_message(USER, converted_message())
    outdir = scratch()
    try:
        results, err = runner.run("option", "mime", "modern", "+",
                                  "logon", mailbox.server, USER, password_file, "+",
                                  "list", "+", "get", "1", wine.to_windows_path(outdir), "0", "+",
                                  "logoff",
                                  charset=charset)
        r = by_name(results)
        assert r["logon"].status == 0, err
        assert r["get"].status == status, err
        assert r["get"].texts[1].replace(b"\r\n", b"\n").rstrip(b"\n") == body
        assert r["get"].texts[2] == name
        record = brevorin_ffi.list_records(r["list"].texts[0])[0]
        assert record["SUBJECT"] == "Grüße".encode("latin-1" if charset == "LATIN1" else "utf-8")
        assert os.listdir(outdir) == ["Prüfung.txt"]
    finally:
        shutil.rmtree(outdir, ignore_errors=True)


def test_dll_pipelined_listing_equals_one_at_a_time(mailbox, runner, password_file):
    for n in range(1, 41):
        mailbox.add_message(USER, ("From: s%d@example.org\r\nSubject: message %d %s\r\n\r\nbody\r\n"
                                   % (n, n, "y" * 200)).encode())
    lists = {}
    for mode in ("off", "auto"):
        results, err = runner.run("option", "pipelining", mode, "+",
                                  "logon", mailbox.server, USER, password_file, "+", "list", "+",
                                  "logoff")
        r = by_name(results)
        assert r["logon"].status == 0, err
        lists[mode] = (r["list"].status, r["list"].texts[0])
        assert ("Server offers pipelining" in err) == (mode == "auto")
    assert lists["auto"] == lists["off"]
    assert lists["off"][0] > 30
