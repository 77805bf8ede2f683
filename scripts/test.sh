#!/usr/bin/env bash
# Builds and runs every test: AddressSanitizer + UndefinedBehaviorSanitizer (all tests),
# ThreadSanitizer (the tests labelled "threads") and short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

jobs=$(nproc)
ctest_jobs=${TEV_CTEST_JOBS:-2}

# Four builds of the same sources: a compiler cache keyed on paths relative to the checkout lets a
# second run, or a fresh clone elsewhere, reuse what did not change.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true

echo "== ASan + UBSan: build and run all tests"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_C_COMPILER=gcc -DTEV_SANITIZE=address,undefined -DTEV_WERROR=ON
cmake --build build/asan -j "$jobs"
(cd build/asan && ctest -j "$ctest_jobs" --output-on-failure --timeout 300)

echo "== ThreadSanitizer: build and run the tests labelled threads (with the CI update key built in)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_C_COMPILER=gcc -DTEV_SANITIZE=thread -DTEV_TEST_LABELS=threads \
    -DTEV_BUILD_APP=OFF -DTEV_WERROR=ON \
    -DTEV_UPDATE_TRUST_KEYS="$root/tests/support/ci_update_key.pub.pem"
cmake --build build/tsan -j "$jobs"
(cd build/tsan && ctest -j "$ctest_jobs" -L threads --output-on-failure --timeout 300)

echo "== Release: build everything, tests included (build only: optimised code warns anew)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_C_COMPILER=gcc -DTEV_WERROR=ON
cmake --build build/release -j "$jobs"

echo "== Fuzz targets: build with clang and run each for a few seconds"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_C_COMPILER=clang-14 -DTEV_FUZZ=ON -DTEV_WERROR=ON
cmake --build build/fuzz -j "$jobs"
shopt -s nullglob
for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="$root/fuzz/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus/." "$work/"
    echo "-- $name"
    mkdir -p build/fuzz/artifacts
    "$target" -max_total_time="${TEV_FUZZ_SECONDS:-5}" -print_final_stats=1 \
        -artifact_prefix="$root/build/fuzz/artifacts/" "$work" 2>&1 | tail -n 3
    rm -rf "$work"
done
echo "== All tests passed"
