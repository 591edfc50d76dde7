#!/usr/bin/env bash
# Fresh-machine test command: installs what is missing, builds, runs every test,
# then does the same in a sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

export QT_QPA_PLATFORM=offscreen
# The tests through a private Firebird server fail, rather than skip, when it cannot start.
export KESTA_REQUIRE_FIREBIRD_SERVER=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The embedded engine keeps its shared lock memory in a folder of its own for this run, so that
# what an earlier process killed inside the engine left in the machine's default folder cannot
# stop the tests.
FIREBIRD_LOCK=$(mktemp -d "${TMPDIR:-/tmp}/kesta-fblock.XXXXXX")
export FIREBIRD_LOCK
trap 'rm -rf "$FIREBIRD_LOCK"' EXIT

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTA_WERROR=$werror "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

# Every libFuzzer target, built with clang: it replays its committed seed corpus
# (fuzz/<folder>/corpus/<target>/ where there is one), then fuzzes for a short fixed time from a
# fixed seed, so that a run replays the same inputs every time. What a run finds goes to a
# scratch folder; longer campaigns are in the README.
fuzz_smoke() {
  local dir=build-fuzz seconds=${KESTA_FUZZ_SECONDS:-15}
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DKESTA_BUILD_FUZZ=ON -DKESTA_BUILD_APP=OFF
  local targets
  targets=$(ninja -C "$dir" -t targets all | sed -n 's|^\(fuzz/[a-z]*/[A-Za-z0-9_]*\): CXX_EXECUTABLE_LINKER.*|\1|p')
  ninja -C "$dir" -j "$jobs" $targets
  local t scratch seeds log ran=0
  for t in $targets; do
    scratch=$(mktemp -d)
    seeds="$(dirname "$t")/corpus/$(basename "$t")"
    log="$dir/$(basename "$t").log"
    local -a corpora=("$scratch")
    if [ -d "$seeds" ]; then corpora+=("$seeds"); fi
    echo "fuzzing $t for ${seconds}s (seeds: $([ -d "$seeds" ] && echo "$seeds" || echo none))"
    "$dir/$t" -seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
      "${corpora[@]}" > "$log" 2>&1 || {
      tail -n 40 "$log"
      echo "replay: $dir/$t <input>   (the crashing input is named in the lines above)"
      rm -rf "$scratch"
      return 1
    }
    rm -rf "$scratch"
    ran=$((ran + 1))
  done
  echo "fuzz: $ran passed, 0 failed"
}

run_suite build
run_suite build-asan -DKESTA_SANITIZE=ON
fuzz_smoke
