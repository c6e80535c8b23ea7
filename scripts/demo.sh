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
# The build speaks only when it fails: its log is the demo's business then.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "building (a minute or two the first time)..."
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build -j"$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "the build failed; its log is above" >&2
  exit 1
fi
rm -f "$log"
trap - EXIT
exec /usr/bin/python3 scripts/demo.py
