#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12, from Debian's
# packages only. Quick when everything is present already.
set -eu
# Both cross compilers and both Wine loaders: the 32-bit product is built everywhere; where
# 32-bit programs cannot start, the tests run a 64-bit build under wine64 (tools/wine_build.py).
# wine32 installs there all the same, it just cannot run.
# curl, strace and GNU time: the benchmark's smoke run in the test suite; clang with its
# sanitizer and fuzzer runtime: the native fuzzing of the parsers; rclone: the upload tests.
packages=(cmake ninja-build python3 googletest
          g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
          wine wine32:i386 wine64 xvfb xauth x11-apps imagemagick nginx-light openssl
          curl strace time clang libclang-rt-14-dev rclone)
packages+=(python3-cryptography)  # signing the file list, for Debian's /usr/bin/python3
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing: ${missing[*]}"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
