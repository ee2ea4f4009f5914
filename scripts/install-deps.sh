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
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
