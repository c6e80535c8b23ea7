#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds, starts a
# throwaway Dovecot (POP3 and IMAP) and an SMTP server on 127.0.0.1, sends mail
# through the command-line tool into the mailbox, lists it (over POP3 and
# IMAP), fetches it with its attachment, fetches it raw and deletes it; then
# the same round trip over TLS (throwaway CA, Dovecot with ssl=required, SMTP
# with STARTTLS and AUTH required).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec /usr/bin/python3 scripts/demo.py
