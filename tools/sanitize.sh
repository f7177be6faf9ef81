#!/usr/bin/env bash
# The native tests under AddressSanitizer and UndefinedBehaviorSanitizer
# (any report stops the test and fails the run), built with clang and
# warnings as errors; then each fuzz target for a short time from its seeds
# (tools/fuzz.sh). Without clang the tests are built with g++ instead and the
# fuzz targets are skipped. Build tree: build-san.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${TX_FUZZ_SECONDS:-60}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# -O1 with line tables: a quarter of the compile time of -O2 -g on a busy
# machine, and reports still name file and line.
flags=(-G Ninja -DTX_WERROR=ON -DTX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
       "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only")
if command -v clang++ >/dev/null && echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
     clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  have_fuzz=1
  CC=clang CXX=clang++ cmake -S . -B build-san "${flags[@]}" -DTX_FUZZ=ON >/dev/null
else
  have_fuzz=0
  cmake -S . -B build-san "${flags[@]}" >/dev/null
fi
cmake --build build-san -j "$jobs"
(cd build-san && ctest --output-on-failure -j "$jobs")

if [ "$have_fuzz" = 1 ]; then
  bash tools/fuzz.sh "$fuzz_seconds"
else
  echo "fuzz targets SKIPPED: clang++ with libFuzzer (-fsanitize=fuzzer) not found"
fi
