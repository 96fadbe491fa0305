#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix, quietly, with the Wine loader
# of that build (tools/wine_build.py): never Debian's wrapper, which picks the 32-bit loader
# whenever wine32 is installed, even where 32-bit programs cannot start.
# Usage: wine-run.sh program.exe [arguments...]
set -u
program=$1; shift
here=$(cd "$(dirname "$0")" && pwd)

dir=$(cd "$(dirname "$program")" && pwd)
while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
[ "$dir" = / ] && dir=$(cd "$(dirname "$program")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$dir/wineprefix}
export WINELOADER=$(python3 "$here/../tools/wine_build.py" loader "$dir") || exit 1
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}

# The first program of a fresh build makes the prefix; others wait for it.
if [ ! -f "$WINEPREFIX/.tarsin-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tarsin-ready" ]; then
      "$WINELOADER" wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.tarsin-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# The integration tests' server, when one runs for this test.
if [ -n "${TARSIN_TEST_SERVER_STATE:-}" ] && [ -f "$TARSIN_TEST_SERVER_STATE/url" ]; then
  export TARSIN_TEST_URL=$(cat "$TARSIN_TEST_SERVER_STATE/url")
  export TARSIN_TEST_WWW="Z:$(echo "$TARSIN_TEST_SERVER_STATE/www" | tr / '\\')"
fi

"$WINELOADER" "$program" "$@"
