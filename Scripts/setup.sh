#!/usr/bin/env bash
# Installs the dependencies and builds the release configuration into build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
bash Scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DOXRETARGET_BUILD_TESTS=OFF -DOXRETARGET_BUILD_BENCHMARKS=OFF
cmake --build build/release -j "$(nproc)"
