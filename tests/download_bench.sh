#!/usr/bin/env bash
# Measures the download path on one large object over loopback.
# Usage: tests/download_bench.sh [BUILD_DIR] [MIB] [ROUNDS]   (defaults: build 512 3)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
mib=${2:-512}
rounds=${3:-3}
cmake --build "$build" --target download_bench >/dev/null

state="$build/bench-server"
work="$build/bench-work"
mkdir -p "$state/www/bench/o" "$work"
object=$(mktemp -p "$state/www/bench/o")
cleanup() {
  python3 "$here/server/test_server.py" stop "$state" >/dev/null
  rm -rf "$state/www/bench" "$work"
}
trap cleanup EXIT

head -c $((mib * 1048576)) /dev/urandom > "$object"
hash=$(sha256sum "$object" | cut -d' ' -f1)
mv "$object" "$state/www/bench/o/$hash"
url=$(python3 "$here/server/test_server.py" start "$state")
"$here/wine-run.sh" "$build/tests/download_bench.exe" "${url}bench/" "$hash" $((mib * 1048576)) \
  "Z:$(echo "$work" | tr / '\\')" "$rounds"
