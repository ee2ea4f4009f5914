#!/usr/bin/env bash
# Builds the dravik executable and runs it (default: `dravik chat`, the coding
# assistant; `scripts/run.sh doctor` shows what a launch would do).
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
if [ $# -eq 0 ]; then set -- chat; fi
exec build/bin/dravik "$@"
