#!/usr/bin/env bash
# Builds the tests that run rows on several workers, or one row on several cores, with
# ThreadSanitizer (gcc) into build-tsan/ and runs them: any report fails the run.
# tests/tsan.supp holds the only reports left out, each with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build_dir=${BUILD_DIR:-build-tsan}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARVIMAGE_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
tests=(tst_batchrunner tst_batchrun tst_mainwindow tst_jpegstream tst_pngstream tst_heif tst_routine)
cmake --build "$build_dir" -j "$(nproc)" --target "${tests[@]}"
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
cd "$build_dir"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -R "^($(IFS='|'; echo "${tests[*]}"))\$"
