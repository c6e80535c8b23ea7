"""Shared fixtures: a Dovecot POP3 server and an SMTP sink per test module,
the library through ctypes, and the Windows build under Wine."""
import os
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import brevorin_ffi  # noqa: E402
from servers import Dovecot, SmtpSink  # noqa: E402
import wine  # noqa: E402

USER = "alice"
PASSWORD = "s3cret!"


@pytest.fixture(scope="module")
def dovecot():
    server = Dovecot({USER: PASSWORD, "bob": "bobpw"}).start()
    yield server
    server.stop()


@pytest.fixture
def mailbox(dovecot):
    """An empty mailbox for USER; messages are added with dovecot.add_message."""
    dovecot.clear(USER)
    return dovecot


@pytest.fixture(scope="module")
def lib():
    return brevorin_ffi.load()


@pytest.fixture
def host(lib):
    h = brevorin_ffi.Host(lib=lib)
    yield h
    h.close()


@pytest.fixture
def smtp():
    sink = SmtpSink().start()
    yield sink
    sink.stop()


@pytest.fixture(scope="session")
def wine_build():
    """The Windows build (brevorin.dll and wine_driver.exe), or a skip when
    Wine or the cross build is missing."""
    runner = wine.WineRunner.from_environment()
    if runner is None:
        pytest.skip("Windows build or wine not available")
    return runner
