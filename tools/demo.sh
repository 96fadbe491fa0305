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
# Signing needs python3-cryptography, which Debian installs for /usr/bin/python3 only.
python=python3
python3 -c 'import cryptography' 2>/dev/null || python=/usr/bin/python3
"$python" tools/demo.py --build "$TARSIN_BUILD_DIR" "$@"
echo "demo: $(( $(date +%s) - began )) s in all, the build included"
