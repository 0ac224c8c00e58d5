#!/bin/sh
# Installs what building, running and testing vimra needs on Debian 12, as
# root or through sudo, by the installer the lanes use, which waits for apt
# when the machine holds its lock (as at boot).
exec "$(dirname "$0")/host-packages.sh" cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev \
  googletest g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 xvfb xauth xdotool x11-utils \
  imagemagick iproute2 procps psmisc python3 zip time osslsigncode openssl \
  softhsm2 libengine-pkcs11-openssl python3-pefile python3-asn1crypto
