#!/usr/bin/env bash
# Installs what the build needs, builds everything and runs the tests.
#   BUILD_DIR        build directory (default: build)
#   DRAVIK_SANITIZE  1 to build with AddressSanitizer and UBSan
#   DRAVIK_TEST_LLAMA_SERVER, DRAVIK_TEST_MODEL
#                    the real llama-server and model of the real-server tests
#                    (default: the project's shared ones, next to the checkout)
#   DRAVIK_TEST_MCP_EVERYTHING
#                    the MCP "everything" server's dist/index.js (default: the
#                    one install-deps.sh installs)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh

build="${BUILD_DIR:-build}"
sanitize="${DRAVIK_SANITIZE:-0}"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
build_type=RelWithDebInfo
[ "$sanitize" = 1 ] && build_type=Debug

cmake -S . -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE="$build_type" \
  -DDRAVIK_WERROR=ON -DDRAVIK_SANITIZE="$([ "$sanitize" = 1 ] && echo ON || echo OFF)" \
  -DDRAVIK_BUILD_BENCH="$([ "$sanitize" = 1 ] && echo OFF || echo ON)"
cmake --build "$build" -j "$(nproc)"

# The real-server tests run whenever a real llama-server and a model are at
# hand; ctest runs them alone (RUN_SERIAL), so nothing competes for the cores.
shared="$root/../shared"
if [ -z "${DRAVIK_TEST_LLAMA_SERVER:-}" ] && [ -x "$shared/tools/llama-server/llama-server" ]; then
  DRAVIK_TEST_LLAMA_SERVER="$(cd "$shared/tools/llama-server" && pwd)/llama-server"
fi
if [ -z "${DRAVIK_TEST_MODEL:-}" ] && [ -f "$shared/fixtures/tiny-chat.gguf" ]; then
  DRAVIK_TEST_MODEL="$(cd "$shared/fixtures" && pwd)/tiny-chat.gguf"
fi
if [ -n "${DRAVIK_TEST_LLAMA_SERVER:-}" ] && [ -n "${DRAVIK_TEST_MODEL:-}" ]; then
  export DRAVIK_TEST_LLAMA_SERVER DRAVIK_TEST_MODEL
  echo "test: real-server tests use $DRAVIK_TEST_LLAMA_SERVER with $DRAVIK_TEST_MODEL"
else
  unset DRAVIK_TEST_LLAMA_SERVER DRAVIK_TEST_MODEL
  echo "test: real-server tests skipped: no llama-server at $shared/tools/llama-server/ or model" \
    "at $shared/fixtures/tiny-chat.gguf (set DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL)"
fi

# The MCP tests speak to the reference "everything" server that
# install-deps.sh puts in the cache; they are skipped without it.
everything="${XDG_CACHE_HOME:-$HOME/.cache}/dravik/test-peers/server-everything-2026.8.31/node_modules/@modelcontextprotocol/server-everything/dist/index.js"
if [ -z "${DRAVIK_TEST_MCP_EVERYTHING:-}" ] && [ -f "$everything" ] && command -v node >/dev/null 2>&1; then
  export DRAVIK_TEST_MCP_EVERYTHING="$everything"
fi
echo "test: MCP tests use ${DRAVIK_TEST_MCP_EVERYTHING:-nothing (skipped)}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure --timeout 300

# ---- fuzzing ---------------------------------------------------------------
# A short libFuzzer run of each fuzz target (10 s each) in the plain pass,
# when clang++ is there; the corpus replays above run in every build.
if [ "$sanitize" != 1 ] && command -v clang++ >/dev/null 2>&1; then
  FUZZ_DIR="$build/fuzz" bash scripts/fuzz.sh run 10
fi
