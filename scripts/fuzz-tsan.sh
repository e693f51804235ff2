#!/usr/bin/env bash
# Builds the fuzz targets that run one row on several cores with ThreadSanitizer (clang) into
# build-tsan-fuzz/ and runs each for a bounded time (seconds, default 30), seeded as
# scripts/fuzz.sh seeds them and with what it found (build-fuzz/found/): any report fails the
# run. tests/tsan.supp holds the only reports left out, each with its reason.
# Only the targets' own code counts coverage here: the project's counters would be written by
# all its threads at once, which ThreadSanitizer reports. The inputs that reach deep come from
# scripts/fuzz.sh's run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
bash scripts/deps.sh
build_dir=${BUILD_DIR:-build-tsan-fuzz}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DPARVIMAGE_BUILD_BENCH=OFF -DPARVIMAGE_BUILD_FUZZERS=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
cmake --build "$build_dir" -j "$(nproc)" --target fuzz_cores fuzz_bands fuzz_pngshares

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpora=../shared/corpora
decode_seeds=()
for folder in "$corpora"/corrupt "$corpora"/odd "$corpora"/orientation "$corpora"/heif \
    "$corpora"/webp "$corpora"/hdr fuzz/regressions/decode; do
    [ -d "$folder" ] && decode_seeds+=("$folder")
done
found=${FOUND_DIR:-build-fuzz/found}
for target in cores bands pngshares; do
    mkdir -p "$work/$target"
    [ -d "$found/$target" ] && cp -r "$found/$target/." "$work/$target/"
done

export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
# LLVM's OpenMP runtime would load its ThreadSanitizer companion (archer) for libraw's parallel
# loops, which reports its own lock taken twice from libraw's gcc-built calls.
export OMP_TOOL=disabled
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="*.warning=false"
run() {
    local target=$1
    shift
    "$build_dir/fuzz/$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
        -malloc_limit_mb=4096 -max_len=131072 -print_final_stats=1 \
        -artifact_prefix="$work/tsan-$target-" "$@" 2>"$work/$target.log" ||
        { tail -80 "$work/$target.log"; cp "$work/tsan-$target"-* . 2>/dev/null || true; exit 1; }
    if grep -q "WARNING: ThreadSanitizer" "$work/$target.log"; then
        grep -A40 "WARNING: ThreadSanitizer" "$work/$target.log" | head -80
        exit 1
    fi
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" \
        "$work/$target.log" | sed "s/^/tsan $target: /"
}
# Up to six decodes an input, each slower here.
run fuzz_cores "$work/cores" "${decode_seeds[@]}" -timeout=120
run fuzz_bands "$work/bands" fuzz/regressions/decode fuzz/regressions/bands
run fuzz_pngshares "$work/pngshares" fuzz/regressions/pngshares -max_len=4096
