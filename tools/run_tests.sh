#!/usr/bin/env bash
# Installs, builds and runs every test. Leaves no process behind.
# The build that runs is tools/wine_build.py's choice; the 32-bit product is built always.
set -u
cd "$(dirname "$0")/.."
eval "$(python3 tools/wine_build.py shell)" || exit 1
export TARSIN_BUILD
echo "make test: the $TARSIN_BUILD build runs the tests under $TARSIN_WINE, since $TARSIN_BUILD_REASON"
bash tools/setup.sh || exit 1
bash tools/build.sh "$TARSIN_BUILD" || exit 1

started_x=""
stop() {
  WINEPREFIX="$TARSIN_BUILD_DIR/wineprefix" wineserver -k 2>/dev/null
  [ -n "$started_x" ] && kill "$started_x" 2>/dev/null && wait "$started_x" 2>/dev/null
}
trap stop EXIT
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    started_x=$!
    sleep 0.5
    if kill -0 "$started_x" 2>/dev/null; then export DISPLAY=":$n"; break; fi
    started_x=""
  done
fi

ctest --preset "$TARSIN_BUILD" -j2 "$@"
