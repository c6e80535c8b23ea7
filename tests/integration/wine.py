"""Runs the Windows build (brevorin.dll with tests/wine/wine_driver.exe)
under Wine, in a private prefix, and parses the driver's output."""
import atexit
import os
import shutil
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))

_PREFIX = None


def win_build_dir():
    return os.environ.get("BREVORIN_WIN_BUILD_DIR") or os.path.join(SOURCE, "build-win")


def _env(prefix):
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


def _remove_prefix(prefix, owned):
    """Stops the prefix's wineserver (and its services); removes a prefix we made."""
    subprocess.run(["wineserver", "-k"], env=_env(prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    if owned:
        shutil.rmtree(prefix, ignore_errors=True)


def wine_prefix():
    """One initialised prefix per process (wineboot takes a while), stopped
    and removed when the process ends."""
    global _PREFIX
    if _PREFIX is None:
        given = os.environ.get("BREVORIN_WINEPREFIX")
        _PREFIX = given or tempfile.mkdtemp(prefix="brevorin-wine-")
        atexit.register(_remove_prefix, _PREFIX, given is None)
        env = _env(_PREFIX)
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run(["wineserver", "-w"], env=env, timeout=300)
        # Keep one server with its services running for the whole process.
        # Otherwise every run starts them anew, they inherit the run's output
        # pipes, and reading a run's output waits for them to linger out
        # (about 2.5 s a run, all of it Wine's and none of it the program's).
        subprocess.Popen(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True)
        subprocess.run(["wineboot"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
    return _PREFIX


def to_windows_path(path):
    """Z: maps the Unix root in a default prefix."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Result:
    def __init__(self, name, status, texts):
        self.name = name
        self.status = status
        self.texts = texts
        self.seconds = None  # how long the call took, from the driver's TIME line

    def __repr__(self):
        return "Result(%s, %d, %r)" % (self.name, self.status, self.texts)


def parse(output):
    results = []
    pos = 0
    while pos < len(output):
        end = output.index(b"\n", pos)
        line = output[pos:end].decode("latin-1")
        pos = end + 1
        if line.startswith("RESULT "):
            _, name, status = line.split(" ")
            results.append(Result(name, int(status), []))
        elif line.startswith("TEXT "):
            n = int(line.split(" ")[1])
            results[-1].texts.append(output[pos:pos + n])
            pos += n + 1
        elif line.startswith("TIME "):
            results[-1].seconds = int(line.split(" ")[1]) / 1000.0
    return results


class WineRunner:
    def __init__(self, build):
        self.build = build
        self.driver = os.path.join(build, "wine_driver.exe")

    @classmethod
    def from_environment(cls):
        build = win_build_dir()
        if shutil.which("wine") is None or not os.path.exists(os.path.join(build, "wine_driver.exe")):
            if os.environ.get("BREVORIN_REQUIRE_WINE") == "1":
                raise RuntimeError("wine or the Windows build is missing but required")
            return None
        return cls(build)

    def env(self):
        return _env(wine_prefix())

    def run(self, *args, trace=64, charset=None, timeout=600, cwd=None):
        """Runs the driver with commands (lists joined by "+"); returns
        (results by order, stderr text)."""
        cmd = ["wine", self.driver, "--trace", str(trace)]
        if charset:
            cmd += ["--charset", charset]
        cmd += [str(a) for a in args]
        proc = subprocess.run(cmd, cwd=cwd or self.build, env=self.env(), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
        return parse(proc.stdout), proc.stderr.decode("latin-1")

    def write_file(self, directory, name, data):
        path = os.path.join(directory, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("latin-1"))
        return to_windows_path(path)
