"""Throwaway mail servers on 127.0.0.1 for tests, benchmarks and the demo.

Dovecot runs POP3 and IMAP from a private configuration in a temporary
directory, both reading the same maildirs; it starts as root but logs users
in as nobody (login processes as dovenull). Given a certificate it requires
TLS: STLS/STARTTLS on the plain ports, and POP3S and IMAPS on two more. The SMTP sink is aiosmtpd in a thread of the calling process,
optionally with STARTTLS and AUTH required, or with TLS from the first byte.
"""
import os
import pwd
import grp
import logging
import shutil
import socket
import subprocess
import tempfile
import time
import uuid
import warnings


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=15.0, address="127.0.0.1"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with socket.create_connection((address, port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


DOVECOT_CONF = """\
base_dir = {root}/run
state_dir = {root}/state
log_path = {root}/dovecot.log
info_log_path = {root}/dovecot.log
protocols = {protocols}
listen = {address}
{ssl}
disable_plaintext_auth = no
auth_mechanisms = plain
default_login_user = dovenull
default_internal_user = dovecot
mail_location = maildir:~/Maildir
first_valid_uid = 1
pop3_uidl_format = %08Xu%08Xv
shutdown_clients = yes
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {root}/passwd
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {root}/passwd
  default_fields = uid=nobody gid=nogroup home={root}/home/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = {address}
    port = {port}
  }}
{pop3s}}}
service imap-login {{
  inet_listener imap {{
    address = {address}
    port = {imap_port}
  }}
{imaps}}}
service anvil {{
  chroot =
}}
"""


DOVECOT_TLS = """\
ssl = required
ssl_cert = <{cert}
ssl_key = <{key}
"""

DOVECOT_POP3S = """\
  inet_listener pop3s {{
    address = 127.0.0.1
    port = {port}
    ssl = yes
  }}
"""

DOVECOT_IMAPS = """\
  inet_listener imaps {{
    address = 127.0.0.1
    port = {port}
    ssl = yes
  }}
"""

# Whether dovecot-imapd is installed: without it only POP3 is served.
HAS_IMAP = os.path.exists("/usr/lib/dovecot/imap")


class Dovecot:
    """A private Dovecot POP3 server with users and maildirs of our own.

    tls: optional (cert_file, key_file). TLS is then required: the plain
    port offers STLS, and tls_port speaks POP3S.
    """

    def __init__(self, users=None, port=None, tls=None, address="127.0.0.1"):
        self.address = address
        self.users = dict(users or {"alice": "secret"})
        self.port = port or free_port()
        self.tls = tls
        self.tls_port = free_port() if tls else None
        self.imap_port = free_port() if HAS_IMAP else 0
        self.imaps_port = free_port() if tls and HAS_IMAP else None
        self.root = tempfile.mkdtemp(prefix="brevorin-dovecot-")
        self.proc = None
        self._nobody = pwd.getpwnam("nobody").pw_uid
        self._nogroup = grp.getgrnam("nogroup").gr_gid

    @property
    def server(self):
        host = "[%s]" % self.address if ":" in self.address else self.address
        return "%s+%d" % (host, self.port)

    @property
    def tls_server(self):
        return "127.0.0.1+%d" % self.tls_port

    @property
    def imap_server(self):
        host = "[%s]" % self.address if ":" in self.address else self.address
        return "%s+%d" % (host, self.imap_port)

    @property
    def imaps_server(self):
        return "127.0.0.1+%d" % self.imaps_port

    def logins(self):
        """The log's "Login:" lines, oldest first; an encrypted session's
        line carries "TLS"."""
        return [l for l in self.log().splitlines() if "Login: " in l]

    def maildir(self, user):
        return os.path.join(self.root, "home", user, "Maildir")

    def _chown_tree(self, path):
        for base, dirs, files in os.walk(path):
            os.chown(base, self._nobody, self._nogroup)
            for f in files:
                os.chown(os.path.join(base, f), self._nobody, self._nogroup)

    def start(self):
        os.chmod(self.root, 0o755)
        for d in ("run", "state", "home"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        with open(os.path.join(self.root, "passwd"), "w") as f:
            for user, password in self.users.items():
                f.write("%s:{PLAIN}%s::::::\n" % (user, password))
        for user in self.users:
            for sub in ("cur", "new", "tmp"):
                os.makedirs(os.path.join(self.maildir(user), sub), exist_ok=True)
            self._chown_tree(os.path.join(self.root, "home", user))
        conf = os.path.join(self.root, "dovecot.conf")
        with open(conf, "w") as f:
            f.write(DOVECOT_CONF.format(
                root=self.root, port=self.port, address=self.address,
                ssl=DOVECOT_TLS.format(cert=self.tls[0], key=self.tls[1]) if self.tls else "ssl = no",
                pop3s=DOVECOT_POP3S.format(port=self.tls_port) if self.tls else "",
                protocols="pop3 imap" if HAS_IMAP else "pop3", imap_port=self.imap_port,
                imaps=DOVECOT_IMAPS.format(port=self.imaps_port) if self.imaps_port else ""))
        self.proc = subprocess.Popen(["dovecot", "-F", "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not (wait_for_port(self.port, address=self.address) and
                (not self.tls or wait_for_port(self.tls_port)) and
                (not self.imap_port or wait_for_port(self.imap_port, address=self.address)) and
                (not self.imaps_port or wait_for_port(self.imaps_port))):
            self.stop()
            raise RuntimeError("dovecot did not start: " + self.log())
        return self

    def log(self):
        try:
            with open(os.path.join(self.root, "dovecot.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def add_message(self, user, data, name=None):
        """Delivers one message (bytes, LF or CRLF line ends) into new/."""
        if isinstance(data, str):
            data = data.encode()
        name = name or "%d.%s.brevorin" % (time.time_ns(), uuid.uuid4().hex)
        tmp = os.path.join(self.maildir(user), "tmp", name)
        with open(tmp, "wb") as f:
            f.write(data.replace(b"\r\n", b"\n"))
        os.chown(tmp, self._nobody, self._nogroup)
        dest = os.path.join(self.maildir(user), "new", name)
        os.rename(tmp, dest)
        return dest

    def clear(self, user):
        # A client that does not wait for the answer to its QUIT may leave
        # the server still finishing that visit: let it drop its lock first.
        lock = os.path.join(self.maildir(user), "dovecot-uidlist.lock")
        deadline = time.time() + 5
        while os.path.exists(lock) and time.time() < deadline:
            time.sleep(0.01)
        for sub in ("cur", "new", "tmp"):
            d = os.path.join(self.maildir(user), sub)
            for f in os.listdir(d):
                self._unlink_if_there(os.path.join(d, f))
        for f in os.listdir(self.maildir(user)):
            if f.startswith("dovecot"):
                p = os.path.join(self.maildir(user), f)
                if os.path.isfile(p):
                    self._unlink_if_there(p)

    @staticmethod
    def _unlink_if_there(path):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass

    def message_files(self, user):
        files = []
        for sub in ("cur", "new"):
            d = os.path.join(self.maildir(user), sub)
            files += [os.path.join(d, f) for f in sorted(os.listdir(d))]
        return files

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None
        # Dovecot's children exit with the master; give them a moment.
        time.sleep(0.1)
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# aiosmtpd warns of AUTH without STARTTLS, which TLS from the first byte
# makes moot (it counts only STARTTLS as TLS for AUTH).
warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")


def server_tls_context(cert_file, key_file):
    import ssl
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert_file, key_file)
    return ctx


def chunking_controller():
    """An aiosmtpd controller whose server also takes BDAT (RFC 3030): the
    chunks of a message gathered, and the message handed to the DATA hook
    at the LAST one, as if it had come after DATA."""
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import SMTP

    class ChunkingSmtp(SMTP):
        async def smtp_BDAT(self, arg):
            words = (arg or "").split()
            if not words or not words[0].isdigit() or len(words) > 2 or \
                    (len(words) == 2 and words[1].upper() != "LAST"):
                await self.push("501 Syntax: BDAT size [LAST]")
                return
            # The chunk is read whatever the verdict, or its bytes would be
            # taken for commands.
            chunk = await self._reader.readexactly(int(words[0]))
            if not self.envelope.rcpt_tos:
                self.envelope.chunks = []
                await self.push("554 5.5.1 No valid recipients")
                return
            chunks = getattr(self.envelope, "chunks", [])
            chunks.append(chunk)
            self.envelope.chunks = chunks
            if len(words) == 1:
                await self.push("250 2.0.0 %d octets received" % len(chunk))
                return
            self.envelope.content = self.envelope.original_content = b"".join(chunks)
            self.session.chunked = True
            status = await self._call_handler_hook("DATA")
            self.session.chunked = False
            self._set_post_data_state()
            await self.push(status)

    class ChunkingController(Controller):
        def factory(self):
            return ChunkingSmtp(self.handler, **self.SMTP_kwargs)

    return ChunkingController


class SmtpSink:
    """aiosmtpd on 127.0.0.1 keeping every envelope and message it receives.

    deliver_to: optional (Dovecot, user) to drop each message into a maildir
    as well, for round trips through POP3.
    tls: optional (cert_file, key_file); implicit_tls: TLS from the first
    byte instead of STARTTLS, which is otherwise required before any mail.
    users: optional {name: password}; AUTH (PLAIN, LOGIN, and XOAUTH2 with
    the bearer tokens in tokens {name: token}) is then required, and only
    after TLS.
    refuse: recipients RCPT TO refuses with 550. lose_reply: recipients whose
    message is kept but whose verdict never comes: the connection drops.
    idle_timeout: seconds a connection may wait for a command (421 after).
    chunking: offer CHUNKING (with PIPELINING) and take BDAT, which
    aiosmtpd does not know; each message then notes whether it came so.
    greetings, resets and quits count EHLOs, RSETs and QUITs.
    """

    def __init__(self, port=None, deliver_to=None, tls=None, implicit_tls=False, users=None,
                 tokens=None, pipelining=False, refuse=(), lose_reply=(), idle_timeout=None,
                 chunking=False):
        self.port = port or free_port()
        self.chunking = chunking
        pipelining = pipelining or chunking
        self.refuse = set(refuse)
        self.lose_reply = set(lose_reply)
        self.idle_timeout = idle_timeout
        self.greetings = self.resets = self.quits = 0
        self.pipelining = pipelining
        self.messages = []  # dicts: mail_from, rcpt_tos, data (bytes), tls
        self.logins = []    # (mechanism, user) of each successful AUTH
        self.deliver_to = deliver_to
        self.tls = tls
        self.implicit_tls = implicit_tls
        self.users = users
        self.tokens = dict(tokens or {})
        self.controller = None

    @property
    def server(self):
        return "127.0.0.1+%d" % self.port

    def start(self):
        from aiosmtpd.controller import Controller

        from aiosmtpd.smtp import AuthResult

        sink = self

        class Handler:
            # aiosmtpd reads pipelined commands but does not say so itself.
            async def handle_EHLO(self, server, session, envelope, hostname, responses):
                session.host_name = hostname
                sink.greetings += 1
                if not sink.pipelining:
                    return responses
                offered = ["250-PIPELINING"] + (["250-CHUNKING"] if sink.chunking else [])
                return responses[:-1] + offered + [responses[-1]]

            async def handle_DATA(self, server, session, envelope):
                data = envelope.original_content or envelope.content
                if isinstance(data, str):
                    data = data.encode("utf-8", "surrogateescape")
                sink.messages.append({
                    "mail_from": envelope.mail_from, "rcpt_tos": list(envelope.rcpt_tos),
                    "data": data, "chunked": getattr(session, "chunked", False),
                    "tls": server.transport.get_extra_info("ssl_object") is not None})
                if sink.deliver_to is not None:
                    dovecot, user = sink.deliver_to
                    dovecot.add_message(user, data)
                if sink.lose_reply & set(envelope.rcpt_tos):
                    server.transport.abort()
                return "250 OK"

            async def handle_RSET(self, server, session, envelope):
                sink.resets += 1
                return "250 OK"

            async def handle_QUIT(self, server, session, envelope):
                sink.quits += 1
                return "221 Bye"

            # XOAUTH2: "user=U^Aauth=Bearer T^A^A" as the initial response;
            # a bad token gets the error report as a challenge, and the
            # refusal after the client's empty answer.
            async def auth_XOAUTH2(self, server, args):
                import base64
                import binascii
                try:
                    fields = base64.b64decode(args[1], validate=True).split(b"\x01")
                except (IndexError, binascii.Error):
                    return AuthResult(success=False, handled=False,
                                      message="501 5.5.2 Bad initial response")
                values = dict(f.split(b"=", 1) for f in fields if b"=" in f)
                user = values.get(b"user", b"").decode("latin-1")
                if user in sink.tokens and \
                        values.get(b"auth") == b"Bearer " + sink.tokens[user].encode():
                    sink.logins.append(("XOAUTH2", user))
                    return AuthResult(success=True, auth_data=user)
                await server.challenge_auth(b'{"status":"401","schemes":"Bearer"}')
                return AuthResult(success=False, handled=False,
                                  message="535 5.7.8 Token refused")

        def authenticator(server, session, envelope, mechanism, auth_data):
            user = auth_data.login.decode("latin-1")
            ok = sink.users.get(user) == auth_data.password.decode("latin-1")
            if ok:
                sink.logins.append((mechanism, user))
            return AuthResult(success=ok)

        options = {}
        context = server_tls_context(*self.tls) if self.tls else None
        if context is not None and self.implicit_tls:
            options.update(ssl_context=context, auth_require_tls=False)
        elif context is not None:
            options.update(tls_context=context, require_starttls=True)
        if self.refuse:
            async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
                if address in sink.refuse:
                    return "550 5.1.1 No such user"
                envelope.rcpt_tos.append(address)
                return "250 OK"
            Handler.handle_RCPT = handle_RCPT
        if self.idle_timeout is not None:
            options.update(timeout=self.idle_timeout)
        if self.users is not None:
            options.update(auth_required=True, authenticator=authenticator)
            # aiosmtpd logs a deprecation of its own at every AUTH.
            logging.getLogger("mail.log").setLevel(logging.ERROR)
        controller = chunking_controller() if self.chunking else Controller
        self.controller = controller(Handler(), hostname="127.0.0.1", port=self.port,
                                     decode_data=False, data_size_limit=0, **options)
        self.controller.start()
        return self

    def stop(self):
        if self.controller is not None:
            self.controller.stop()
            self.controller = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
