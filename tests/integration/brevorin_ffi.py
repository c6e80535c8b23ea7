"""ctypes binding of libbrevorin.so, playing the host through the runtime
stand-in: settings 3 (trace) and 39 (character set), diagnostics lines
collected in Host.lines."""
import ctypes
import os

ESC = "\x1b"


def build_dir():
    d = os.environ.get("BREVORIN_BUILD_DIR")
    if d:
        return d
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "..", "build")


SINK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)


class HostContext(ctypes.Structure):
    _fields_ = [("reserved", ctypes.c_uint32 * 4),
                ("runtime_id", ctypes.c_uint32),
                ("padding", ctypes.c_uint32),
                ("sink", SINK),
                ("sink_user", ctypes.c_void_p)]


def load(path=None):
    lib = ctypes.CDLL(path or os.path.join(build_dir(), "libbrevorin.so"))
    P = ctypes.c_void_p
    S = ctypes.c_char_p
    I = ctypes.c_int
    PS = ctypes.POINTER(ctypes.c_char_p)
    sig = {
        "brevorin_init": (I, [ctypes.POINTER(P)]),
        "brevorin_cleanup": (None, [P]),
        "brevorin_logonmail": (I, [S, S, S, P]),
        "brevorin_logoffmail": (I, [P]),
        "brevorin_listmail": (I, [PS, P]),
        "brevorin_getmail": (I, [I, S, I, PS, PS, PS, P]),
        "brevorin_getrawmail": (I, [I, I, PS, P]),
        "brevorin_sendmail": (I, [S, S, S, S, I, P]),
        "brevorin_deletemail": (I, [I, P]),
        "brevorin_setoption": (I, [S, S, P]),
        "_TCONNECT": (ctypes.c_ssize_t, [ctypes.c_ssize_t, ctypes.c_ssize_t, ctypes.c_ssize_t]),
        "brevorin_host_context_init": (I, [ctypes.POINTER(HostContext)]),
        "brevorin_host_context_release": (None, [ctypes.POINTER(HostContext)]),
        "brevorin_host_set_int": (I, [ctypes.POINTER(HostContext), I, I]),
        "brevorin_host_set_text": (I, [ctypes.POINTER(HostContext), I, S]),
        "brevorin_host_set_message_sink": (None, [ctypes.POINTER(HostContext), SINK, P]),
    }
    for name, (res, args) in sig.items():
        f = getattr(lib, name)
        f.restype = res
        f.argtypes = args
    return lib


def _b(text):
    if text is None:
        return None
    return text.encode("latin-1") if isinstance(text, str) else text


class Host:
    """Attaches to the library as the host and opens sessions."""

    def __init__(self, trace=64, charset=None, lib=None):
        self.lib = lib or load()
        self.lines = []
        self.ctx = HostContext()
        self.lib.brevorin_host_context_init(ctypes.byref(self.ctx))
        self.lib.brevorin_host_set_int(ctypes.byref(self.ctx), 3, trace)
        if charset is not None:
            self.lib.brevorin_host_set_text(ctypes.byref(self.ctx), 39, _b(charset))
        self._sink = SINK(lambda user, line: self.lines.append(line.decode("latin-1")))
        self.lib.brevorin_host_set_message_sink(ctypes.byref(self.ctx), self._sink, None)
        self.lib._TCONNECT(1, 0, ctypes.addressof(self.ctx))

    def session(self):
        return Session(self)

    def close(self):
        self.lib._TCONNECT(6, 1, 0)
        self.lib.brevorin_host_context_release(ctypes.byref(self.ctx))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Session:
    def __init__(self, host):
        self.host = host
        self.lib = host.lib
        self.handle = ctypes.c_void_p()
        self.count = self.lib.brevorin_init(ctypes.byref(self.handle))
        if not self.handle:
            raise RuntimeError("brevorin_init gave no session: %d" % self.count)

    def logon(self, server, user, password):
        return self.lib.brevorin_logonmail(_b(server), _b(user), _b(password), self.handle)

    def logoff(self):
        return self.lib.brevorin_logoffmail(self.handle)

    def delete(self, n):
        return self.lib.brevorin_deletemail(n, self.handle)

    def list(self):
        out = ctypes.c_char_p()
        status = self.lib.brevorin_listmail(ctypes.byref(out), self.handle)
        return status, (out.value or b"")

    def get(self, n, directory=None, max_size=0):
        h, b, f = ctypes.c_char_p(), ctypes.c_char_p(), ctypes.c_char_p()
        status = self.lib.brevorin_getmail(n, _b(directory), max_size, ctypes.byref(h),
                                           ctypes.byref(b), ctypes.byref(f), self.handle)
        return status, (h.value or b""), (b.value or b""), (f.value or b"")

    def raw(self, n, max_size=0):
        out = ctypes.c_char_p()
        status = self.lib.brevorin_getrawmail(n, max_size, ctypes.byref(out), self.handle)
        return status, (out.value or b"")

    def send(self, server, header_list, text, attachments="", max_size=0):
        return self.lib.brevorin_sendmail(_b(server), _b(header_list), _b(text),
                                          _b(attachments), max_size, self.handle)

    def setoption(self, name, value):
        return self.lib.brevorin_setoption(_b(name), _b(value), self.handle)

    def setoptions(self, options):
        """Sets each (name, value) of a dict; the first non-zero status, or 0."""
        for name, value in options.items():
            status = self.setoption(name, value)
            if status != 0:
                return status
        return 0

    def cleanup(self):
        if self.handle:
            self.lib.brevorin_cleanup(self.handle)
            self.handle = ctypes.c_void_p()


def fields(record):
    """Splits a field list (bytes) into (key, value) pairs."""
    out = []
    for item in record.split(b"\x1b"):
        key, _, value = item.partition(b"=")
        out.append((key.decode("latin-1"), value))
    return out


def list_records(listing):
    """Splits a list text into one dict per record (each starts with NMB=)."""
    records = []
    for key, value in fields(listing) if listing else []:
        if key == "NMB":
            records.append({})
        records[-1][key] = value
    return records


def header_list(**items):
    """TO=..\\eFROM=.. from keyword arguments (to, from_, cc, ...)."""
    parts = []
    for key, value in items.items():
        key = key.rstrip("_").upper()
        parts.append(_b(key + "=") + _b(value))
    return b"\x1b".join(parts)
