#!/usr/bin/env bash
# Builds the console front end and runs it on the built-in simulated enclosures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tx4077x-console
./build/tx4077x-console --simulate
