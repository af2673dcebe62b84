#!/bin/bash
# Builds the engine and runs every test: a plain build, a build under AddressSanitizer and
# UndefinedBehaviorSanitizer (its core also compiled without exceptions), and each fuzz target
# for a short while over its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${LUMO_JOBS:-2}
fuzz_seconds=${LUMO_FUZZ_SECONDS:-30}

scripts/deps.sh cmake make gcc g++ libgtest-dev zlib1g-dev \
    rpm cpio python3 libisal-dev liblzma-dev libzstd-dev \
    clang libclang-rt-14-dev bash coreutils mawk ansible nginx libcurl4 \
    sudo passwd util-linux

echo "== layers"
bash scripts/check_layers.sh

echo "== plain build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== sanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=ON -DLUMO_NO_EXCEPTIONS=ON -DLUMO_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzz targets (${fuzz_seconds}s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_FUZZ=ON -DLUMO_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$jobs"
failed=0
passed=0
for target in build-fuzz/bin/*_fuzz; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    work=$(mktemp -d)
    cp -r "$root/tests/fuzz/corpus/$name/." "$work/" 2>/dev/null || true
    if "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
        "$work" >"build-fuzz/$name.log" 2>&1; then
        echo "$name: ok"
        passed=$((passed + 1))
    else
        echo "$name: FAILED (see build-fuzz/$name.log)"
        tail -n 40 "build-fuzz/$name.log"
        failed=$((failed + 1))
    fi
    rm -rf "$work"
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
