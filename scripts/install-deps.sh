#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need. Safe to rerun:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  libboost1.81-dev libboost-url1.81-dev libssl-dev
  nlohmann-json3-dev libspdlog-dev libfmt-dev libcli11-dev libedit-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libre2-dev clang libclang-rt-14-dev
  libcmark-gfm-dev libcmark-gfm-extensions-dev  # Markdown replies on a terminal
  libdtl-dev  # the shortest edit script of the diffs shown before a file is changed
  python3 curl iproute2
  libgomp1  # OpenMP runtime of the real llama-server the tests run
  git  # the first-run set-up clones llama.cpp to build llama-server
  patch  # tests: diffs shown before a change apply with GNU patch
  bubblewrap libseccomp-dev  # the sandbox of shell commands (bwrap; Landlock + seccomp without it)
  nodejs npm  # tests: the MCP server they talk to
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Node.js and npm may come from elsewhere than Debian's packages: what is on
# PATH serves.
if command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
  kept=()
  for p in "${missing[@]}"; do [ "$p" = nodejs ] || [ "$p" = npm ] || kept+=("$p"); done
  missing=("${kept[@]}")
fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
else
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The MCP server of the tests, from the npm registry, version pinned, in a
# cache folder outside the source tree (scripts/test.sh finds it there).
mcp_version=2026.8.31
mcp_dir="${XDG_CACHE_HOME:-$HOME/.cache}/dravik/test-peers/server-everything-$mcp_version"
if [ ! -f "$mcp_dir/node_modules/@modelcontextprotocol/server-everything/dist/index.js" ]; then
  echo "install-deps: installing @modelcontextprotocol/server-everything@$mcp_version into $mcp_dir"
  mkdir -p "$mcp_dir"
  npm install --prefix "$mcp_dir" --no-audit --no-fund --loglevel=error \
    "@modelcontextprotocol/server-everything@$mcp_version"
fi
