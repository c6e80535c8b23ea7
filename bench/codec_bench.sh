#!/bin/sh
# Codec speed against the reference tools, on the same inputs in one run:
#   base64 file encoding of 40 MiB       vs coreutils base64
#   base64 file decoding of that result  vs coreutils base64 -d
#   EUC-JP -> ISO-2022-JP of 20 MiB      vs glibc iconv and Python's codec
# and, in memory only, quoted-printable decoding of 40 MiB.
# Prints MB/s (input bytes per second, process start and file I/O included
# for every contender) and our speed as a ratio to each reference.
#
#   bench/codec_bench.sh [BUILD_DIR]     (default: build-codec in the tree)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-codec}
bench="$build/bench/codec_bench"
python=/usr/bin/python3
runs=${BENCH_RUNS:-7}

[ -x "$bench" ] || { echo "build codec_bench first ($bench)"; exit 2; }
command -v hyperfine >/dev/null || { echo "hyperfine is needed"; exit 2; }

# Files live in memory when there is room, so that disk speed does not
# blur the codecs' figures.
if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 1048576 ]; then
    work=$(mktemp -d /dev/shm/codec_bench.XXXXXX)
else
    work=$(mktemp -d)
fi
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bench" gen-binary 40 data.bin
"$bench" encode data.bin data.b64
"$bench" gen-euc 20 text.euc

# The results must be right before their speed counts.
base64 -d data.b64 | cmp -s - data.bin || { echo "our base64 does not decode with coreutils"; exit 1; }
"$bench" decode data.b64 back.bin && cmp -s back.bin data.bin || { echo "base64 round trip failed"; exit 1; }
"$bench" euc2jis text.euc ours.jis
iconv -f EUC-JP -t ISO-2022-JP text.euc > ref.jis
$python -c "import sys
a=open('ours.jis','rb').read().replace(b'\x1b(J',b'\x1b(B')
sys.exit(a!=open('ref.jis','rb').read())" || { echo "EUC-JP conversion differs from iconv"; exit 1; }

measure() {  # name, then hyperfine -n/command pairs
    name=$1
    shift
    hyperfine --style none --warmup 1 --runs "$runs" --export-json "$name.json" "$@" >/dev/null
}

measure encode -n ours "$bench encode data.bin out.b64" \
               -n "coreutils base64" "base64 data.bin > ref.b64"
measure decode -n ours "$bench decode data.b64 out.bin" \
               -n "coreutils base64 -d" "base64 -d data.b64 > ref.bin"
measure kanji -n ours "$bench euc2jis text.euc out.jis" \
              -n "glibc iconv" "iconv -f EUC-JP -t ISO-2022-JP text.euc > ref.jis" \
              -n "python codec" "$python -c \"import sys;open('py.jis','wb').write(open('text.euc','rb').read().decode('euc_jp').encode('iso2022_jp'))\""

$python - "$work" <<'PY'
import json, os, sys
work = sys.argv[1]
inputs = {"encode": "data.bin", "decode": "data.b64", "kanji": "text.euc"}
titles = {"encode": "base64 encode, 40 MiB file",
          "decode": "base64 decode, 40 MiB of data",
          "kanji": "EUC-JP -> ISO-2022-JP, 20 MiB"}
for name in ("encode", "decode", "kanji"):
    size = os.path.getsize(os.path.join(work, inputs[name])) / 1e6
    results = json.load(open(os.path.join(work, name + ".json")))["results"]
    speed = {r["command"]: size / r["mean"] for r in results}
    print(titles[name])
    for command, mbs in speed.items():
        print("  %-22s %9.1f MB/s" % (command, mbs))
    ours = speed.pop("ours")
    for command, mbs in speed.items():
        print("  ours / %-15s %9.2fx" % (command, ours / mbs))
    if name == "kanji":
        print("  ours / fastest reference %6.2fx (target 2x)" % (ours / max(speed.values())))
PY
"$bench" inprocess data.bin text.euc
"$bench" qp 40
