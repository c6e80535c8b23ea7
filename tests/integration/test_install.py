"""The installed package: layout, exports, and programs built against it
through pkg-config (the README's C example) and through find_package."""
import glob
import os
import re
import shutil
import subprocess
import tempfile

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD

SOURCE = os.environ.get("BREVORIN_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.abspath(brevorin_ffi.build_dir())


def run(cmd, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300, **kw)
    assert proc.returncode == 0, "%s\n%s%s" % (cmd, proc.stdout, proc.stderr)
    return proc


@pytest.fixture(scope="module")
def prefix():
    root = tempfile.mkdtemp(prefix="brevorin-install-")
    run(["cmake", "--install", BUILD, "--prefix", root])
    yield root
    shutil.rmtree(root, ignore_errors=True)


def libdir(prefix):
    found = glob.glob(os.path.join(prefix, "lib*", "**", "libbrevorin.so.1.0.0"), recursive=True)
    assert len(found) == 1, found
    return os.path.dirname(found[0])


def exported(path):
    out = run(["nm", "-D", "--defined-only", path]).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def def_file_names():
    with open(os.path.join(SOURCE, "src", "api", "brevorin.def")) as f:
        return {w for w in f.read().split()[3:]}  # after "LIBRARY brevorin EXPORTS"


@pytest.mark.parametrize("path", [
    "include/brevorin.h", "include/brevorin_host.h", "bin/brevorin",
    "share/man/man1/brevorin.1", "share/doc/brevorin/README.md",
    "share/bash-completion/completions/brevorin", "share/zsh/site-functions/_brevorin", "share/doc/brevorin/LICENSE",
    "LIB/cmake/brevorin/brevorinConfig.cmake", "LIB/cmake/brevorin/brevorinConfigVersion.cmake",
    "LIB/pkgconfig/brevorin.pc"])
def test_installed_file(prefix, path):
    lib = os.path.relpath(libdir(prefix), prefix)
    assert os.path.isfile(os.path.join(prefix, path.replace("LIB", lib)))


def test_library_is_versioned_and_stripped(prefix):
    d = libdir(prefix)
    assert os.readlink(os.path.join(d, "libbrevorin.so")) == "libbrevorin.so.1"
    assert os.readlink(os.path.join(d, "libbrevorin.so.1")) == "libbrevorin.so.1.0.0"
    real = os.path.join(d, "libbrevorin.so.1.0.0")
    assert "Library soname: [libbrevorin.so.1]" in run(["readelf", "-d", real]).stdout
    assert ".debug_info" not in run(["readelf", "-S", real]).stdout
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        build_type = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", f.read(), re.M).group(1)
    if build_type in ("Debug", "RelWithDebInfo"):
        built = os.path.join(BUILD, "libbrevorin.so")
        assert ".debug_info" in run(["readelf", "-S", built]).stdout


@pytest.mark.parametrize("where", ["build", "installed"])
def test_only_the_c_exports_are_visible(prefix, where):
    path = os.path.join(BUILD if where == "build" else libdir(prefix), "libbrevorin.so.1.0.0")
    assert exported(path) == def_file_names()


def test_readme_example_through_pkg_config_lists_a_mailbox(prefix, mailbox, tmp_path):
    with open(os.path.join(SOURCE, "README.md")) as f:
        example = re.search(r"```c\n(/\* list\.c.*?)```", f.read(), re.S).group(1)
    (tmp_path / "list.c").write_text(example)
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(libdir(prefix), "pkgconfig"))
    assert run(["pkg-config", "--modversion", "brevorin"], env=env).stdout.strip() == "1.0.0"
    flags = run(["pkg-config", "--cflags", "--libs", "brevorin"], env=env).stdout.split()
    exe = str(tmp_path / "list")
    run(["cc", "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror", str(tmp_path / "list.c"),
         "-o", exe] + flags + ["-Wl,-rpath," + libdir(prefix)])
    mailbox.add_message(USER, b"From: a@example.org\r\nSubject: installed\r\n\r\nhi\r\n")
    out = run([exe, mailbox.server, USER], input=PASSWORD + "\n")
    assert "1 messages listed\nNMB=1\n" in out.stdout
    assert "SUBJECT=installed\n" in out.stdout
    assert "LOGONMAIL: Opened socket" in out.stderr
    assert "\n\n" not in out.stderr  # one line per sink call


def test_cpp_program_through_find_package(prefix, tmp_path):
    (tmp_path / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.16)\nproject(user CXX)\n"
        "find_package(brevorin 1.0 CONFIG REQUIRED)\n"
        "add_executable(user main.cpp)\ntarget_link_libraries(user PRIVATE brevorin::brevorin)\n")
    (tmp_path / "main.cpp").write_text(
        '#include <cstdio>\n#include "brevorin.h"\n'
        "int main() {\n  MailSession* s = nullptr;\n  int n = brevorin_init(&s);\n"
        '  int bad = brevorin_setoption("timeout", "soon", s);\n'
        '  std::printf("%d %d\\n", n, bad);\n  brevorin_cleanup(s);\n}\n')
    build = str(tmp_path / "build")
    run(["cmake", "-S", str(tmp_path), "-B", build, "-DCMAKE_PREFIX_PATH=" + prefix])
    run(["cmake", "--build", build])
    assert run([os.path.join(build, "user")]).stdout == "1 -10\n"


@pytest.mark.parametrize("tests,ok", [("OFF", True), ("ON", False)])
def test_configure_without_googletest(tmp_path, tests, ok):
    proc = subprocess.run(["cmake", "-S", SOURCE, "-B", str(tmp_path), "-DBREVORIN_TESTS=" + tests,
                           "-DBREVORIN_BENCH=OFF", "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"],
                          capture_output=True, text=True, timeout=300)
    assert (proc.returncode == 0) == ok, proc.stdout + proc.stderr
    if not ok:
        assert "-DBREVORIN_TESTS=OFF" in proc.stderr
