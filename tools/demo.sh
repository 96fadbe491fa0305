#!/usr/bin/env bash
# The main job end to end, in one command (make demo): installs what it needs,
# builds, then publishes a sample game, serves it with nginx on 127.0.0.1 and
# lets the launcher install and update it under Wine (tools/demo.py).
set -eu
cd "$(dirname "$0")/.."
began=$(date +%s)
eval "$(python3 tools/wine_build.py shell)"
export TARSIN_BUILD TARSIN_BUILD_REASON
echo "make demo: the $TARSIN_BUILD build runs under $TARSIN_WINE, since $TARSIN_BUILD_REASON"
bash tools/setup.sh
bash tools/build.sh "$TARSIN_BUILD"
python3 tools/demo.py --build "$TARSIN_BUILD_DIR" "$@"
echo "demo: $(( $(date +%s) - began )) s in all, the build included"
