#!/usr/bin/env bash
# The main job end to end, in one command (make demo): installs what it needs,
# builds, then publishes a sample game, serves it with nginx on 127.0.0.1 and
# lets the launcher install and update it under Wine (tools/demo.py).
set -eu
cd "$(dirname "$0")/.."
began=$(date +%s)
bash tools/setup.sh
cmake --preset win32
cmake --build --preset win32
python3 tools/demo.py --build build "$@"
echo "demo: $(( $(date +%s) - began )) s in all, the build included"
