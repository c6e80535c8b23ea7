"""What a reader meets besides the tool's output: --help and the man page
made from it, the shell completions, and the demo."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

import brevorin_ffi
from test_cli import CLI, SOURCE

BUILD = brevorin_ffi.build_dir()
COMMANDS = ["stat", "list", "get", "raw", "delete", "send"]
MAN = os.path.join(BUILD, "brevorin.1")


def help_text(*command):
    proc = subprocess.run([CLI, *command, "--help"], capture_output=True, text=True, check=True)
    return proc.stdout


def options_in(text):
    return {name for line in text.splitlines() if line.startswith("  -")
            for name in line.split()[0].split(",")}


@pytest.fixture(scope="module")
def man_page():
    if not os.path.exists(MAN):
        pytest.skip("no man page in this build (help2man missing)")
    env = dict(os.environ, MANWIDTH="80", LANG="C.UTF-8", LC_ALL="C.UTF-8")
    return subprocess.run(["man", "-l", MAN], capture_output=True, text=True, env=env,
                          check=True).stdout


def man_entries(page, option):
    return re.findall(r"^ {7}(?:-\w,)?%s(?:[ ,]|$)" % re.escape(option), page, re.M)


@pytest.mark.parametrize("command", [[]] + [[c] for c in COMMANDS], ids=["top"] + COMMANDS)
def test_help_fits_80_columns_in_plain_words_and_the_man_page_has_every_option(command,
                                                                               man_page):
    text = help_text(*command)
    assert [line for line in text.splitlines() if len(line) > 80] == []
    for leftover in ("{false}", "{true}", "not with:", "Excludes", ":{"):
        assert leftover not in text
    options = options_in(text)
    assert "--help" in options and len(options) > 3
    assert [o for o in options if o != "--help" and not man_entries(man_page, o)] == []


# The options several commands share stand once; --server and --auth once
# per wording (mailbox commands, send).
@pytest.mark.parametrize("option,times", [
    ("--ca-file", 1), ("--netrc", 1), ("--timeout", 1), ("--password-file", 1), ("--tls", 1),
    ("--modern", 1), ("--max-size", 1), ("--from", 1), ("--server", 2), ("--auth", 2)])
def test_man_page_lists_each_option_once(man_page, option, times):
    assert len(man_entries(man_page, option)) == times


def test_man_page_is_80_columns_and_names_its_relatives(man_page):
    assert [line for line in man_page.splitlines() if len(line) > 80] == []
    name = man_page.split("NAME\n", 1)[1].splitlines()[0]
    assert all(p in name for p in ("POP3", "IMAP", "SMTP"))
    for section in ("COMMANDS", "COMMON OPTIONS", "FILES", "SEE ALSO"):
        assert re.search("^%s$" % section, man_page, re.M), section
    assert "$XDG_CONFIG_HOME/brevorin/config" in man_page
    assert "fetchmail(1)" in man_page
    with open(os.path.join(BUILD, "brevorin.pc")) as f:
        description = re.search(r"^Description: (.*)$", f.read(), re.M).group(1)
    assert all(p in description for p in ("POP3", "IMAP", "SMTP"))


COMPLETIONS = [
    (["g"], {"get"}, set()),
    ([""], set(COMMANDS), set()),
    (["get", "--ser"], {"--server"}, set()),
    (["send", "--a"], {"--auth", "--attach", "--allow-plaintext-auth"}, {"--all"}),
    (["list", "--protocol", ""], {"pop3", "imap"}, {"plain"}),
    (["send", "--auth", ""], {"plain", "login", "auto", "none"}, {"user"}),
    (["stat", "--auth", ""], {"user", "plain", "xoauth2"}, {"login"}),
    (["--charset", "UTF8", "s"], {"stat", "send"}, set()),
    (["--user", "x"], set(), {"stat", "list"}),
]


def completion_env():
    return dict(os.environ, PATH=BUILD + os.pathsep + os.environ["PATH"])


@pytest.mark.parametrize("words,offered,not_offered", COMPLETIONS)
def test_bash_completion(words, offered, not_offered):
    script = ('source "$0"; COMP_WORDS=(brevorin "$@"); COMP_CWORD=$#; _brevorin; '
              'printf "%s\\n" "${COMPREPLY[@]}"')
    proc = subprocess.run(["bash", "-c", script,
                           os.path.join(SOURCE, "tools", "completion", "brevorin.bash"), *words],
                          capture_output=True, text=True, env=completion_env(), check=True)
    got = set(proc.stdout.split())
    assert offered <= got and not (not_offered & got), got


# Outside the completion system words and CURRENT are plain variables, and
# compadd and friends are stubs printing what they were given; the real
# compadd would narrow by the prefix, so the prefix is applied here.
@pytest.mark.parametrize("words,offered,not_offered", COMPLETIONS)
def test_zsh_completion(words, offered, not_offered):
    if shutil.which("zsh") is None:
        pytest.skip("zsh is not installed")
    script = ('compadd() { [[ $1 == -- ]] && shift; print -rl -- "$@" }; '
              '_describe() { print -rl -- "${(@)${(P)2}%%:*}" }; '
              'words=(brevorin "$@"); CURRENT=${#words}; PREFIX=$words[CURRENT]; '
              'source "$0"')
    proc = subprocess.run(["zsh", "-fc", script,
                           os.path.join(SOURCE, "tools", "completion", "_brevorin"), *words],
                          capture_output=True, text=True, env=completion_env())
    got = {w for w in proc.stdout.split() if w.startswith(words[-1])}
    assert offered <= got and not (not_offered & got), (got, proc.stderr)


@pytest.fixture
def demo_tmp():
    # Dovecot's unprivileged processes reach their maildirs through it.
    root = tempfile.mkdtemp(prefix="brevorin-demo-test-")
    os.chmod(root, 0o755)
    yield root
    shutil.rmtree(root, ignore_errors=True)


def start_demo(tmp):
    env = dict(os.environ, TMPDIR=tmp, BREVORIN_BUILD_DIR=BUILD, LANG="C.UTF-8")
    env.pop("LC_ALL", None)
    return subprocess.Popen(["/usr/bin/python3", os.path.join(SOURCE, "scripts", "demo.py")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)


@pytest.mark.skipif(os.geteuid() != 0, reason="the demo's Dovecot needs root")
def test_demo_shows_text_as_sent_and_leaves_nothing_behind(demo_tmp):
    proc = start_demo(demo_tmp)
    out, _ = proc.communicate(timeout=300)
    assert proc.returncode == 0, out.decode("utf-8", "replace")
    text = out.decode("utf-8")  # raises on bytes decoded and re-encoded as Latin-1
    assert "Grüße" in text and "Quartalsbericht März" in text
    assert not re.search(r"dovecot:|Info: |Login: |session=<", text)
    assert os.listdir(demo_tmp) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="the demo's Dovecot needs root")
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_interrupted_demo_removes_its_directory(demo_tmp, sig):
    proc = start_demo(demo_tmp)
    seen = b""
    while b"$ brevorin" not in seen:
        line = proc.stdout.readline()
        assert line, seen
        seen += line
    proc.send_signal(sig)
    proc.communicate(timeout=60)
    assert proc.returncode == 130
    time.sleep(0.2)
    assert os.listdir(demo_tmp) == []
