#!/usr/bin/env bash
# Listing benchmark: 1,000 messages in a throwaway Dovecot, the library's
# listing after logon against the bare LIST/TOP dialogue and Python's poplib,
# natively and (when built) as the Windows build under Wine.
#   bench/list_bench.sh [--messages N] [--rounds R]
# Needs the list_bench target in $BREVORIN_BUILD_DIR (default build) and, for
# the Wine figures, in $BREVORIN_WIN_BUILD_DIR (default build-win).
set -euo pipefail
cd "$(dirname "$0")/.."
exec /usr/bin/python3 bench/list_bench.py "$@"
