"""The tool's credentials and accounts: where a password may come from (never
a piped message), the terminal prompt, the configuration file and what
overrides it, netrc for SMTP, the CA file checked before connecting, and the
name the tool greets an SMTP server with."""
import base64
import email
import email.policy
import os
import pty
import select
import socket
import subprocess

import pytest

from conftest import USER, PASSWORD
from modern_support import esmtp_peer
from servers import free_port
from test_cli import CLI, read_until, wait_for_child

MESSAGE = b"Hello Bob,\nthe report is attached.\n"


def run(args, stdin=b"", env=None):
    """The tool without a controlling terminal: nothing can be prompted for."""
    proc = subprocess.run([CLI] + args, input=stdin, capture_output=True, timeout=60,
                          env=env, start_new_session=True)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("BREVORIN_PASSWORD", "BREVORIN_TOKEN", "NETRC", "XDG_CONFIG_HOME")}
    env["HOME"] = extra.pop("HOME", "/nonexistent")
    env.update(extra)
    return env


class Listener:
    """A port that accepts connections and never answers: the tests ask
    whether the tool connected at all."""

    def __enter__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.server = "127.0.0.1+%d" % self.sock.getsockname()[1]
        return self

    def connected(self):
        return bool(select.select([self.sock], [], [], 0)[0])

    def __exit__(self, *exc):
        self.sock.close()


def auth_plain(peer):
    """(user, password) of the AUTH PLAIN the peer saw, or None."""
    for line in peer.lines:
        if line.startswith(b"AUTH PLAIN "):
            _, user, password = base64.b64decode(line.split()[2]).split(b"\0")
            return user.decode(), password.decode()
    return None


def data_of(peer):
    lines = peer.lines
    start = lines.index(b"DATA\r\n") + 1
    return email.message_from_bytes(b"".join(lines[start:lines.index(b".\r\n", start)]),
                                    policy=email.policy.default)


SEND = ["send", "--from", "Ann <ann@example.org>", "--to", "bob@example.org"]


@pytest.mark.parametrize("args", [
    SEND + ["--smtp-user", "ann"],
    SEND + ["--smtp-user", "ann", "--auth", "xoauth2"],
], ids=["password", "token"])
def test_a_piped_message_is_never_taken_for_the_password(args):
    with Listener() as listener:
        rc, out, err = run(args + ["--server", listener.server, "--allow-plaintext-auth"],
                           stdin=MESSAGE)
        assert not listener.connected(), "the tool connected"
    assert (rc, out) == (2, ""), err
    assert "no terminal to ask for one on" in err and "--password-stdin" in err
    assert "Hello" not in err


# The mailbox commands read nothing else from standard input: scripts that
# pipe the password in keep working, told to say so.
def test_mailbox_commands_still_take_a_piped_password_with_a_warning(mailbox):
    rc, out, err = run(["stat", "--user", USER, "--server", mailbox.server],
                       stdin=(PASSWORD + "\n").encode())
    assert (rc, out.startswith("0 messages")) == (0, True), err
    assert "--password-stdin" in err and PASSWORD not in err


def test_password_stdin_takes_the_first_line_and_sends_the_rest():
    peer = esmtp_peer([b"AUTH PLAIN"])
    try:
        rc, _, err = run(SEND + ["--server", peer.server, "--smtp-user", "ann",
                                 "--allow-plaintext-auth", "--password-stdin"],
                         stdin=b"pw\n" + MESSAGE)
    finally:
        peer.close()
    assert rc == 0, err
    assert auth_plain(peer) == ("ann", "pw")
    assert data_of(peer).get_content().replace("\r\n", "\n").startswith(MESSAGE.decode())


@pytest.mark.parametrize("other", [["--password-file", "/dev/null"],
                                   ["--password-command", "echo x"],
                                   ["--token-file", "/dev/null"]])
def test_password_stdin_is_one_source_among_others_not_beside_them(other):
    rc, _, err = run(["stat", "--password-stdin", "--server", "127.0.0.1+1", "--user", USER] +
                     other)
    assert rc == 2, err
    assert "give one of --password-stdin" in err


def test_terminal_prompt_while_the_message_is_piped_in():
    """The password is typed on the terminal; standard input stays the text."""
    peer = esmtp_peer([b"AUTH PLAIN"])
    text_read, text_write = os.pipe()
    pid, fd = pty.fork()
    if pid == 0:
        os.dup2(text_read, 0)
        os.execv(CLI, [CLI] + SEND + ["--server", peer.server, "--smtp-user", "ann",
                                      "--allow-plaintext-auth"])
    os.close(text_read)
    os.write(text_write, MESSAGE)
    os.close(text_write)
    try:
        seen = read_until(fd, b": ")
        assert ("SMTP password for ann at %s: " % peer.server).encode() in seen
        os.write(fd, b"typed-pw\n")
        seen += read_until(fd, b"sent")
        status = wait_for_child(pid)
    finally:
        os.close(fd)
        peer.close()
    assert os.waitstatus_to_exitcode(status) == 0, seen
    assert b"typed-pw" not in seen  # not echoed
    assert auth_plain(peer) == ("ann", "typed-pw")
    assert data_of(peer).get_content().replace("\r\n", "\n").startswith(MESSAGE.decode())


# As curl does: a netrc entry for the SMTP host logs on with its login.
@pytest.mark.parametrize("netrc,expected", [
    ("machine 127.0.0.1 login ann password from-netrc", ("ann", "from-netrc")),
    ("machine other.example login x password y", None),
    ("default login ann password any-host", ("ann", "any-host")),
])
def test_send_takes_its_smtp_user_from_netrc(tmp_path, netrc, expected):
    path = tmp_path / "netrc"
    path.write_text(netrc + "\n")
    peer = esmtp_peer([b"AUTH PLAIN"])
    try:
        rc, _, err = run(SEND + ["--server", peer.server, "--netrc-file", str(path),
                                 "--allow-plaintext-auth"], stdin=MESSAGE, env=clean_env())
    finally:
        peer.close()
    assert rc == 0, err
    assert auth_plain(peer) == expected


@pytest.mark.parametrize("kind", ["missing", "directory"])
@pytest.mark.parametrize("command", ["stat", "send"])
def test_unreadable_ca_file_stops_the_tool_before_it_connects(tmp_path, kind, command):
    path = str(tmp_path / "nothere.pem") if kind == "missing" else str(tmp_path)
    why = "No such file or directory" if kind == "missing" else "Is a directory"
    with Listener() as listener:
        args = ["stat", "--user", USER] if command == "stat" else SEND
        rc, out, err = run(args + ["--server", listener.server, "--tls", "--ca-file", path,
                                   "--password-stdin"], stdin=b"pw\n" + MESSAGE)
        assert not listener.connected(), "the tool connected"
    assert (rc, out) == (8, ""), err
    assert "--ca-file %s: %s" % (path, why) in err


@pytest.mark.parametrize("with_ca", [False, True])
def test_tls_failure_hint_follows_the_ca_file_given(mailbox, tmp_path, with_ca):
    from certs import Pki
    args = ["stat", "--server", mailbox.server, "--user", USER, "--tls", "--timeout", "10",
            "--password-stdin"]
    ca_file = Pki(str(tmp_path)).ca_file
    rc, _, err = run(args + (["--ca-file", ca_file] if with_ca else []), stdin=b"pw\n")
    assert rc == 10, err
    assert ("trusted with --ca-file FILE" in err) != with_ca
    assert (ca_file in err) == with_ca


# The modern rules name the sender's domain in the Message-ID; the classic
# ones keep the machine's name there.
@pytest.mark.parametrize("extra,ehlo,id_domain", [
    ([], "MACHINE", "example.org"),
    (["--helo", "mx.example.net"], "mx.example.net", "example.org"),
    (["--classic-mime"], "MACHINE", "MACHINE"),
    (["--helo", "mx.example.net", "--classic-mime"], "mx.example.net", "MACHINE"),
])
def test_helo_name_and_message_id_domain(extra, ehlo, id_domain):
    machine = socket.gethostname()
    peer = esmtp_peer([b"8BITMIME"])
    try:
        rc, _, err = run(SEND + ["--server", peer.server] + extra, stdin=MESSAGE)
    finally:
        peer.close()
    assert rc == 0, err
    greeting = [l for l in peer.lines if l[:5] in (b"EHLO ", b"HELO ")][0]
    assert greeting[5:].decode().strip() == ehlo.replace("MACHINE", machine)
    message_id = data_of(peer)["Message-ID"]
    assert message_id.endswith("@%s>" % id_domain.replace("MACHINE", machine)), message_id


# ---- the configuration file ----------------------------------------------

def write_config(directory, text, mode=0o600):
    path = os.path.join(str(directory), "config")
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
    return path


def accounts(server, smtp_server="127.0.0.1+1"):
    return ("# accounts for the tests\n"
            "default = home\n"
            "[home]\n"
            "  server = %s  \n"
            "user = %s\n"
            "password = %s\n"
            "smtp-server = %s\n"
            "from = Ann <ann@example.org>\n"
            "helo = laptop.example.org\n"
            "\n"
            "[work]\n"
            "server = %s\n"
            "user = %s\n"
            "password = wrong\n" % (server, USER, PASSWORD, smtp_server, server, USER))


# What the command line says wins over the account; the account over nothing.
@pytest.mark.parametrize("args,env,code", [
    ([], {}, 0),                                           # the default account
    (["--account", "work"], {}, 5),                        # its wrong password
    (["--account", "work"], {"BREVORIN_PASSWORD": PASSWORD}, 0),  # environment over file
    (["--account", "work", "--password-stdin"], {}, 0),    # command line over file
    (["--user", "bob"], {}, 5),                            # alice's password for bob
    (["--user", "bob"], {"BREVORIN_PASSWORD": "bobpw"}, 0),
    (["--server", "CLOSED"], {}, 4),                       # the command line's server
], ids=["default", "account", "environment", "stdin", "user", "user-env", "server"])
@pytest.mark.parametrize("located", ["--config", "XDG_CONFIG_HOME"])
def test_account_settings_under_the_command_line(mailbox, tmp_path, args, env, code, located):
    mailbox.add_message(USER, b"From: a@example.org\r\n\r\nx\r\n")
    (tmp_path / "brevorin").mkdir()
    path = write_config(tmp_path / "brevorin", accounts(mailbox.server))
    env = clean_env(**env)
    where = ["--config", path]
    if located == "XDG_CONFIG_HOME":
        env["XDG_CONFIG_HOME"] = str(tmp_path)
        where = []
    args = [("127.0.0.1+%d" % free_port()) if a == "CLOSED" else a for a in args]
    rc, out, err = run(["stat"] + where + args, stdin=(PASSWORD + "\n").encode(), env=env)
    assert rc == code, err
    if code == 0:  # bob's mailbox is empty
        assert out.startswith("%d messages, " % (0 if "bob" in args else 1))


def test_send_takes_the_accounts_smtp_keys_before_the_plain_ones(tmp_path):
    peer = esmtp_peer([b"AUTH PLAIN"])
    path = write_config(tmp_path, accounts("imaps://mail.example.org", peer.server))
    try:
        rc, _, err = run(["send", "--config", path, "--to", "bob@example.org",
                          "--allow-plaintext-auth"], stdin=MESSAGE, env=clean_env())
    finally:
        peer.close()
    assert rc == 0, err
    assert b"EHLO laptop.example.org\r\n" in peer.lines
    assert b"MAIL FROM:<ann@example.org>\r\n" in [l.replace(b": <", b":<") for l in peer.lines]
    assert auth_plain(peer) == (USER, PASSWORD)


@pytest.mark.parametrize("text,args,code,said", [
    ("[a]\nsever = x\n", ["--account", "a"], 2, "config: line 2: unknown key 'sever'"),
    ("server = x\n", [], 2, "config: line 1: 'server' outside an account"),
    ("[a]\nserver = x\n[a]\n", [], 2, "line 3: account 'a' again (first on line 1)"),
    ("[a]\nuser = x\nuser = y\n", [], 2, "line 3: 'user' again in account 'a'"),
    ("[a\n", [], 2, "line 1: no ']'"),
    ("[a]\njust words\n", [], 2, "line 2: not 'key = value'"),
    ("[a]\nserver =\n", [], 2, "line 2: no value for 'server'"),
    ("[a]\nserver = x\ntls = maybe\n", ["--account", "a"], 2, "config: line 3: tls: 'maybe' is not"),
    ("[a]\nserver = x\nauth = login\n", ["--account", "a"], 2, "'login' is no mechanism for stat"),
    ("default = b\n[a]\nserver = x\n", [], 2, "default = b: no such account in"),
    ("[a]\nserver = x\n", ["--account", "b"], 2, "--account b: no such account in"),
    ("[a]\nuser = x\n", ["--account", "a"], 2, "a server is required"),
    (None, [], 8, "--config MISSING: No such file or directory"),
], ids=["unknown-key", "outside", "account-twice", "key-twice", "bracket", "no-equals",
        "no-value", "bad-yes-no", "smtp-mechanism", "bad-default", "no-account", "no-server",
        "missing-file"])
def test_configuration_mistakes_stop_the_tool_naming_the_line(tmp_path, text, args, code, said):
    path = write_config(tmp_path, text) if text is not None else str(tmp_path / "missing")
    with Listener() as listener:
        rc, _, err = run(["stat", "--config", path] + args, stdin=b"pw\n", env=clean_env())
        assert not listener.connected()
    assert rc == code, err
    assert said.replace("MISSING", path).replace("config:", path + ":") in err, err


@pytest.mark.parametrize("mode,password,warned", [
    (0o644, True, True), (0o640, True, True), (0o600, True, False), (0o644, False, False),
])
def test_a_password_others_may_read_is_warned_of(tmp_path, mode, password, warned):
    text = "[a]\nserver = 127.0.0.1+%d\nuser = u\n%s" % (
        free_port(), "password = pw\n" if password else "password-command = echo pw\n")
    path = write_config(tmp_path, text, mode)
    rc, _, err = run(["stat", "--config", path, "--account", "a"], env=clean_env())
    assert rc == 4, err  # warned, not refused
    assert ("holds a password and others may read it (chmod 600 %s)" % path in err) == warned
