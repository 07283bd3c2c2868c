#!/usr/bin/env bash
# Build the libFuzzer targets of the C++ core (with CMake, in fuzz/build) and run
# each for N seconds (default 10), two at a time.
#
#   fuzz/run.sh [seconds]          build, then run every target
#   FUZZ_TARGETS="bits unicode" fuzz/run.sh 600   only some targets
#   FUZZ_JOBS=1 fuzz/run.sh        one target at a time
#   FUZZ_BUILD_ONLY=1 fuzz/run.sh  build only
#
# Needs clang with the libFuzzer runtime (Debian: clang libclang-rt-14-dev, or
# any clang-NN / libclang-rt-NN-dev pair). With CI=true or FUZZ_INSTALL=1 and
# root, missing packages are installed with apt-get.
#
# Corpora grow in fuzz/corpus/<target> (not in git); fuzz/seeds/<target> holds
# a few hand-made starting inputs (written by fuzz/make_seeds.py). Crashes land
# in fuzz/build/crashes/<target>/. Exits non-zero if any target finds a fault.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
seconds=${1:-10}
jobs=${FUZZ_JOBS:-2}
targets=${FUZZ_TARGETS:-"bits integer bcd float unicode charset ccsds crc16 columns repeated pack_columns"}
build="$here/build"

find_clang() {
    for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
        if command -v "$c" >/dev/null 2>&1 &&
            echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long){return 0;}' |
                "$c" -x c++ -fsanitize=fuzzer -o /dev/null - >/dev/null 2>&1; then
            echo "$c"
            return 0
        fi
    done
    return 1
}

cxx=${CXX_FUZZ:-}
if [ -z "$cxx" ]; then
    if ! cxx=$(find_clang); then
        if { [ "${CI:-}" = true ] || [ "${FUZZ_INSTALL:-}" = 1 ]; } && [ "$(id -u)" = 0 ] &&
            command -v apt-get >/dev/null; then
            echo "fuzz: installing clang and libclang-rt-14-dev" >&2
            DEBIAN_FRONTEND=noninteractive apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
            cxx=$(find_clang) || { echo "fuzz: clang with libFuzzer still missing" >&2; exit 2; }
        else
            echo "fuzz: no clang++ with libFuzzer (apt-get install clang libclang-rt-14-dev)" >&2
            exit 2
        fi
    fi
fi

# The targets are CMake targets (BITLOOM_BUILD_FUZZ) in their own build tree,
# which instruments the core and the column kernel they link for libFuzzer.
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" \
    -DBITLOOM_BUILD_FUZZ=ON -DBITLOOM_BUILD_MODULES=OFF -DBITLOOM_BUILD_TESTS=OFF >"$build/cmake.log" 2>&1 ||
    { cat "$build/cmake.log" >&2; echo "fuzz: cmake configure failed" >&2; exit 2; }
build_targets=()
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build "$build" --parallel "$(nproc)" --target "${build_targets[@]}" >>"$build/cmake.log" 2>&1 ||
    { cat "$build/cmake.log" >&2; echo "fuzz: build failed" >&2; exit 2; }
echo "fuzz: built $targets with $cxx"
[ "${FUZZ_BUILD_ONLY:-}" = 1 ] && exit 0

run_one() {
    local t=$1
    local corpus="$here/corpus/$t" crashes="$build/crashes/$t"
    mkdir -p "$corpus" "$crashes"
    local seeds=()
    [ -d "$here/seeds/$t" ] && seeds=("$here/seeds/$t")
    local start=$SECONDS status=ok TIMEFORMAT='%U %S'
    { time UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$build/fuzz_$t" "$corpus" "${seeds[@]}" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
        -artifact_prefix="$crashes/" -print_final_stats=1 >"$build/$t.log" 2>&1 || status=FAULT; } \
        2>"$build/$t.time"
    local runs cpu
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$t.log" | grep -o '[0-9]*$' || true)
    cpu=$(awk '{printf "%.1f", ($1 + $2) / 60}' "$build/$t.time" 2>/dev/null || true)
    echo "fuzz: $t $status: ${runs:-?} executions, $((SECONDS - start)) s wall, ${cpu:-?} CPU-min," \
        "corpus $(ls "$corpus" | wc -l) (log: $build/$t.log)"
    [ "$status" = ok ] || { tail -n 40 "$build/$t.log" >&2; return 1; }
}

status=0
pids=()
for t in $targets; do
    run_one "$t" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
