#!/bin/sh
# Installs what building, running and testing vimra needs on Debian 12.
set -eu
PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 xvfb xauth xdotool x11-utils
  imagemagick iproute2 procps psmisc python3 zip time osslsigncode openssl
  softhsm2 libengine-pkcs11-openssl python3-pefile python3-asn1crypto"
missing=""
for package in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
