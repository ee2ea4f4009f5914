#!/usr/bin/env bash
# Coverage-guided fuzzing of the pure text parts of libdravik_host (the chat
# stream parser and accumulator, the patch applier, glob matching) and of
# dravik's own readers of model text (the Markdown renderer, the reading of
# shell commands for the deny entries) with
# clang's libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/fuzz.sh build              build the fuzzers into $FUZZ_DIR
#   scripts/fuzz.sh run SECONDS        run each target for SECONDS (default 12)
#   scripts/fuzz.sh runs N [TARGET..]  run each target (or those named) for N inputs
#
#   FUZZ_DIR   where the fuzzers, their growing corpora and any crash inputs
#              go (default: build/fuzz)
#   FUZZ_JOBS  libFuzzer -jobs/-workers (default 1)
#
# Needs clang++ with its runtime (Debian: clang, libclang-rt-14-dev); without
# clang++ it says so and exits 0. A crash leaves its input in
# $FUZZ_DIR/artifacts; copy it into tests/fuzz/corpus/TARGET/ so that the
# replay tests of ctest keep it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# The pure text targets (tests/fuzz/CMakeLists.txt also replays the
# resolver's corpus, a target that needs the real file system: ctest only).
targets=(sse patch patch_diff glob markdown command_words)
out="${FUZZ_DIR:-build/fuzz}"
jobs="${FUZZ_JOBS:-1}"
cxx="${FUZZ_CXX:-clang++}"
parallel=()
[ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs")

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "fuzz: $cxx not found, fuzzing skipped"
  exit 0
fi

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -DBOOST_ASIO_NO_DEPRECATED -Ihostlib -Isrc -Iapps/dravik -Itests/fuzz)
# The sources the targets need, compiled once into objects; every target
# links all of them (and cmark-gfm, which the renderer needs).
sources=(hostlib/sse.cpp hostlib/patch.cpp hostlib/glob.cpp apps/dravik/output/markdown.cpp apps/dravik/approval/command_words.cpp apps/dravik/approval/command_reader.cpp
         src/support/text.cpp)
libs=(-lcmark-gfm -lcmark-gfm-extensions)

build() {
  mkdir -p "$out/obj"
  local objs=() src obj t
  for src in "${sources[@]}"; do
    obj="$out/obj/$(basename "$src" .cpp).o"
    if [ ! -e "$obj" ] || [ "$src" -nt "$obj" ] || [ hostlib/text_tools.hpp -nt "$obj" ] ||
       [ "${src%.cpp}.hpp" -nt "$obj" ]; then
      "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
    fi
    objs+=("$obj")
  done
  local stale o
  for t in "${targets[@]}"; do
    stale=0
    if [ ! -e "$out/fuzz_$t" ] || [ "tests/fuzz/fuzz_$t.cpp" -nt "$out/fuzz_$t" ]; then stale=1; fi
    for o in "${objs[@]}"; do
      if [ "$o" -nt "$out/fuzz_$t" ]; then stale=1; fi
    done
    if [ "$stale" = 1 ]; then
      "$cxx" "${flags[@]}" -fsanitize=fuzzer "tests/fuzz/fuzz_$t.cpp" "${objs[@]}" "${libs[@]}" -o "$out/fuzz_$t"
    fi
  done
}

# run TARGET libFuzzer-options...: the growing corpus first (new inputs go
# there), the seed corpus of the tree second.
run_one() {
  local t="$1"
  shift
  mkdir -p "$out/corpus/$t" "$out/artifacts"
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
  local max_len=65536
  [ "$t" = sse ] && max_len=8192  # JSON-heavy: longer inputs add little but time
  "$out/fuzz_$t" -artifact_prefix="$out/artifacts/$t-" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 "$@" "$out/corpus/$t" "tests/fuzz/corpus/$t"
}

case "${1:-run}" in
  build)
    build
    ;;
  run)
    build
    seconds="${2:-12}"
    for t in "${targets[@]}"; do
      echo "fuzz: $t for ${seconds}s"
      run_one "$t" -max_total_time="$seconds" "${parallel[@]}" 2>&1 | tail -n 40
    done
    ;;
  runs)
    build
    n="${2:?number of inputs}"
    shift 2
    [ $# -gt 0 ] && targets=("$@")
    for t in "${targets[@]}"; do
      echo "fuzz: $t for $n inputs"
      run_one "$t" -runs="$n" "${parallel[@]}"
    done
    ;;
  *)
    echo "usage: scripts/fuzz.sh build | run [SECONDS] | runs N [TARGET...]" >&2
    exit 2
    ;;
esac
