#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own.

The layers, bottom up: core, platform, net, codec and mime (which read from a
line source and know no sockets); mailbox (the visit, its listing, records
and message readers, and the interface each mail protocol implements); pop3
and imap beside each other on mailbox, and smtp beside them on mime and net;
host and api. Siblings never include each other.
The CMake link graph states the same edges; this keeps the #include lines
honest, since a header-only upward use would link without complaint.

The command-line tool (tools/) plays a host: it uses the public headers in
include/, the tool-support header of api and core's plain helpers (texts,
character sets, limits), and nothing of the protocols or the mailbox.
"""
import os
import re
import sys

ALLOWED = {
    "core": {"core"},
    "platform": {"core", "platform"},
    "net": {"core", "platform", "codec", "net"},  # SASL responses go in base64
    "codec": {"core", "codec"},
    "mime": {"core", "platform", "codec", "mime"},
    "mailbox": {"core", "platform", "net", "codec", "mime", "mailbox"},
    "pop3": {"core", "platform", "net", "codec", "mime", "mailbox", "pop3"},
    "imap": {"core", "platform", "net", "codec", "mime", "mailbox", "imap"},
    "smtp": {"core", "platform", "net", "codec", "mime", "smtp"},
    "host": {"core", "platform", "host"},
    "api": {"core", "platform", "net", "codec", "mime", "mailbox", "pop3", "imap", "smtp", "host",
            "api"},
}

# What the tool may include of src/: whole layers, and single headers.
TOOL_LAYERS = {"core"}
TOOL_HEADERS = {"api/tool_support.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z0-9_]+)/[^"]+"')
INCLUDE_PATH = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def tool_problems(root):
    """The tool's includes of src/ beyond what a host-like program needs."""
    problems = []
    folder = os.path.join(root, "tools")
    if not os.path.isdir(folder):
        return problems
    public = os.path.join(root, "include")
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not os.path.isfile(path):  # tools/completion holds shell scripts
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE_PATH.match(line)
                if not m:
                    continue
                header = m.group(1)
                if "/" not in header:
                    # The tool's own headers, and the public ones.
                    if os.path.exists(os.path.join(folder, header)) or os.path.exists(
                            os.path.join(public, header)):
                        continue
                    problems.append(f"tools/{name}:{number}: includes unknown {header}")
                    continue
                layer = header.split("/", 1)[0]
                if header in TOOL_HEADERS or layer in TOOL_LAYERS:
                    continue
                problems.append(f"tools/{name}:{number}: the tool includes {header}")
    return problems


def main(root):
    src = os.path.join(root, "src")
    problems = []
    for layer in sorted(os.listdir(src)):
        folder = os.path.join(src, layer)
        if not os.path.isdir(folder):
            continue
        if layer not in ALLOWED:
            problems.append(f"src/{layer}: a directory that is no known layer")
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m and m.group(1) in ALLOWED and m.group(1) not in ALLOWED[layer]:
                        problems.append(f"src/{layer}/{name}:{number}: {layer} includes {m.group(1)}")
    problems += tool_problems(root)
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")))
