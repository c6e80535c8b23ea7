#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
set -euo pipefail

packages=(
  cmake make g++ libgtest-dev pkg-config
  clang
  python3 python3-pytest python3-aiosmtpd libpython3.11-testsuite
  dovecot-pop3d dovecot-imapd mpack s-nail
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386
  curl hyperfine time bc coreutils libc-bin
  libssl-dev openssl python3-cryptography libcli11-dev nlohmann-json3-dev help2man zsh
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" \
  >/dev/null
# A package-started Dovecot would hold port 110 and is not what the tests use.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl stop dovecot >/dev/null 2>&1 || true; fi
