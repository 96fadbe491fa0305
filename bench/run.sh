#!/usr/bin/env bash
# `make bench`: builds the launcher and the ceiling in build-bench (build-bench64 for the
# 64-bit build, tools/wine_build.py), runs the benchmark and writes bench/results.md (and
# the table in bench/README.md). Arguments go to bench/run.py, e.g.
# `bash bench/run.sh --runs 5 --keep`.
set -eu
cd "$(dirname "$0")/.."
eval "$(python3 tools/wine_build.py shell)"
echo "make bench: the $TARSIN_BUILD build, since $TARSIN_BUILD_REASON"
bash tools/setup.sh
folder=build-bench
[ "$TARSIN_BUILD" = win64 ] && folder=build-bench64
cmake --preset "$TARSIN_BUILD" -B "$folder" >/dev/null
cmake --build "$folder" --target TarsinLauncher TarsinLauncherNoFlush ceiling hold_desktop
exec python3 bench/run.py --build "$folder" --out bench/results.md --readme bench/README.md "$@"
