#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-fuzz/ and runs each for a bounded time (seconds, default 30), seeded from the corpus
# beside the checkout when it is there. New inputs go to a temporary folder, never into the seeds;
# those of the targets that run a row on several cores to build-fuzz/found/, which
# scripts/fuzz-tsan.sh runs again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
bash scripts/deps.sh
build_dir=${BUILD_DIR:-build-fuzz}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DPARVIMAGE_BUILD_BENCH=OFF -DPARVIMAGE_BUILD_FUZZERS=ON \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build "$build_dir" -j "$(nproc)" --target fuzz_decode fuzz_metadata fuzz_naming \
    fuzz_cores fuzz_bands fuzz_pngshares

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpora=../shared/corpora
decode_seeds=()
for folder in "$corpora"/corrupt "$corpora"/odd "$corpora"/orientation "$corpora"/heif \
    "$corpora"/webp "$corpora"/raw "$corpora"/hdr fuzz/regressions/decode; do
    [ -d "$folder" ] && decode_seeds+=("$folder")
done
metadata_seeds=()
for folder in "$corpora"/cameras "$corpora"/orientation "$corpora"/webp "$corpora"/hdr \
    fuzz/regressions/metadata; do
    [ -d "$folder" ] && metadata_seeds+=("$folder")
done
[ -d "$corpora" ] || echo "No corpus at $corpora: fuzz_decode starts from the regression inputs."
mkdir -p "$work/naming-seeds" "$work/decode" "$work/metadata" "$work/naming"
found=$build_dir/found
rm -rf "$found"
mkdir -p "$found/cores" "$found/bands" "$found/pngshares"
printf '\001\000\000vacances%%1\000photo.jpg' >"$work/naming-seeds/rename"
printf '\000\000\007\000archive.2012.JPG' >"$work/naming-seeds/keep"
printf '\001\003\350a%%1b%%1\000.jpg' >"$work/naming-seeds/hidden"

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="*.warning=false"
run() {
    local target=$1
    shift
    # The size limit lets a 16-bit image of the largest accepted size decode (2 GB).
    "$build_dir/fuzz/$target" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=4096 -malloc_limit_mb=4096 -max_len=131072 -print_final_stats=1 \
        -artifact_prefix="$work/$target-" "$@" 2>"$work/$target.log" ||
        { tail -60 "$work/$target.log"; cp "$work/$target"-* . 2>/dev/null || true; exit 1; }
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" \
        "$work/$target.log" | sed "s/^/$target: /"
}
run fuzz_decode "$work/decode" "${decode_seeds[@]}"
run fuzz_metadata "$work/metadata" "${metadata_seeds[@]}"
run fuzz_naming "$work/naming" "$work/naming-seeds" fuzz/regressions/naming
# The row on one core against two to four, from the regression inputs (what it found once
# among them): the corpus's large photos alone would take longer than the run. Every allocation
# filled, so that a damaged file whose decoder reads memory it never wrote decodes the same each
# time. Up to six decodes an input: a large one takes longer than one decode may.
ASAN_OPTIONS=$ASAN_OPTIONS:max_malloc_fill_size=67108864 run fuzz_cores "$found/cores" \
    fuzz/regressions/decode -timeout=60
# Band files of the seeds' JPEGs as they are, and of JPEGs coded from the inputs.
run fuzz_bands "$found/bands" fuzz/regressions/decode fuzz/regressions/bands
# The inputs only seed an image's samples: short ones do.
run fuzz_pngshares "$found/pngshares" fuzz/regressions/pngshares -max_len=4096
