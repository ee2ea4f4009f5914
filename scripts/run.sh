#!/usr/bin/env bash
# Builds the dravik executable and runs it (default: `dravik doctor`, which
# shows what a llama-server launch would do on this machine).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build -G Ninja "${launcher[@]}" >/dev/null
cmake --build build -j "$(nproc)" --target dravik
if [ $# -eq 0 ]; then set -- doctor; fi
exec build/bin/dravik "$@"
