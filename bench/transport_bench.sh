#!/usr/bin/env bash
# Transport benchmark: 20 MiB of 73-byte lines read line by line, natively
# and as the Windows build under Wine, with the read-ahead buffer and with
# the peek-then-receive reader it replaced.
set -euo pipefail
cd "$(dirname "$0")/.."
native=build/bench/transport_bench
win=build-win/bench/transport_bench.exe
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 bench/stream_peer.py "$port" 20 > /tmp/brevorin-peer.log &
peer=$!
trap 'kill $peer 2>/dev/null || true' EXIT
sleep 1
rate() { sed -n 's/.*seconds=\([0-9.]*\).*/\1/p'; }
echo "20 MiB stream of 73-byte lines"
nb=$($native 127.0.0.1 "$port" buffered | tee /dev/stderr | rate)
np=$($native 127.0.0.1 "$port" peek | tee /dev/stderr | rate)
echo "native: read-ahead ${nb}s, peek-then-receive ${np}s, ratio $(echo "scale=1; $np / $nb" | bc -l)x"
if [ -x "$(command -v wine)" ] && [ -f "$win" ]; then
  export WINEDEBUG=-all
  wb=$(wine "$win" 127.0.0.1 "$port" buffered | tr -d '\r' | tee /dev/stderr | rate)
  wp=$(wine "$win" 127.0.0.1 "$port" peek | tr -d '\r' | tee /dev/stderr | rate)
  echo "wine:   read-ahead ${wb}s (target < 1 s), peek-then-receive ${wp}s, ratio $(echo "scale=1; $wp / $wb" | bc -l)x"
  echo "wine read-ahead vs native read-ahead: $(echo "scale=2; $wb / $nb" | bc -l)x"
fi
