#!/usr/bin/env bash
# `make bench`: builds the launcher and the ceiling in build-bench, runs the benchmark
# and writes bench/results.md (and the table in bench/README.md). Arguments go to
# bench/run.py, e.g. `bash bench/run.sh --runs 5 --keep`.
set -eu
cd "$(dirname "$0")/.."
bash tools/setup.sh
missing=()
for p in strace time curl; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
cmake --preset win32 -B build-bench >/dev/null
cmake --build build-bench --target TarsinLauncher ceiling hold_desktop
exec python3 bench/run.py --build build-bench --out bench/results.md --readme bench/README.md "$@"
