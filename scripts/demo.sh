#!/usr/bin/env bash
# The bridge at work. For now: build it and show its help.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
build/krix_vxlan -h || true
