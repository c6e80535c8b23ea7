#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own.

The layers, bottom up: core, platform, net, codec and mime (which read from a
line source and know no sockets), pop3 and smtp (the dialogues; imap builds
on pop3's mailbox, records and message readers), host and api.
The CMake link graph states the same edges; this keeps the #include lines
honest, since a header-only upward use would link without complaint.
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
    "pop3": {"core", "platform", "net", "codec", "mime", "pop3"},
    "imap": {"core", "platform", "net", "codec", "mime", "pop3", "imap"},
    "smtp": {"core", "platform", "net", "codec", "mime", "smtp"},
    "host": {"core", "platform", "host"},
    "api": {"core", "platform", "net", "codec", "mime", "pop3", "imap", "smtp", "host", "api"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z0-9_]+)/[^"]+"')


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
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")))
