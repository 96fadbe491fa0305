#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix, quietly.
# Usage: wine-run.sh program.exe [arguments...]
set -u
program=$1; shift

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=$(cd "$(dirname "$program")" && pwd)
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}

# The first program of a fresh build makes the prefix; others wait for it.
if [ ! -f "$WINEPREFIX/.tarsin-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tarsin-ready" ]; then
      wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.tarsin-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# The integration tests' server, when one runs for this test.
if [ -n "${TARSIN_TEST_SERVER_STATE:-}" ] && [ -f "$TARSIN_TEST_SERVER_STATE/url" ]; then
  export TARSIN_TEST_URL=$(cat "$TARSIN_TEST_SERVER_STATE/url")
  export TARSIN_TEST_WWW="Z:$(echo "$TARSIN_TEST_SERVER_STATE/www" | tr / '\\')"
fi

wine "$program" "$@"
rc=$?
exit $rc
