#!/usr/bin/env bash
# Installs what is missing, builds if needed, and runs the project's main job.
set -euo pipefail
cd "$(dirname "$0")"
source tools/scripts/deps.sh
ensure_packages
cmake --preset default >/dev/null
cmake --build --preset default
echo "Ready: build/lib/libtty.so"
