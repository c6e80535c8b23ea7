#!/usr/bin/env bash
# Builds the Linux library, tool and tests (build/) and the 32-bit Windows
# DLL with its Wine test driver (build-win/).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DBREVORIN_BENCH=OFF >/dev/null
cmake --build build-win -j"$jobs"
