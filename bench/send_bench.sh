#!/usr/bin/env bash
# Sending benchmark: a message with a 20 MiB attachment to a local SMTP sink,
# the library against Python's smtplib + email and curl, natively and (when
# built) as the Windows build under Wine.
#   bench/send_bench.sh [--mebibytes N] [--rounds R]
# Needs the send_bench target in $BREVORIN_BUILD_DIR (default build) and, for
# the Wine figures, in $BREVORIN_WIN_BUILD_DIR (default build-win).
set -euo pipefail
cd "$(dirname "$0")/.."
exec /usr/bin/python3 bench/send_bench.py "$@"
