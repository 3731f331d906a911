#!/usr/bin/env bash
# Builds with g++ and with clang++ (warnings are errors here), runs every test with each, then installs
# the package and builds and runs the downstream example against it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash Scripts/install-deps.sh
jobs=$(nproc)
for compiler in g++ clang++; do
  dir=build/test-${compiler%++}
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$compiler \
    -DCMAKE_C_COMPILER=$([ "$compiler" = g++ ] && echo gcc || echo clang) \
    -DOXRETARGET_BUILD_BENCHMARKS=ON -DOXRETARGET_WERROR=ON -DOXRETARGET_BUILD_PYTHON=ON -DPython_EXECUTABLE=/usr/bin/python3
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

# Downstream project against the installed package.
prefix=$PWD/build/test-install
rm -rf "$prefix"
cmake --install build/test-g --prefix "$prefix"
cmake -S Examples/consumer -B build/test-consumer -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
cmake --build build/test-consumer
LD_LIBRARY_PATH="$prefix/lib:${LD_LIBRARY_PATH:-}" ./build/test-consumer/consumer

# The Python package as installed, with its tests.
site=$(dirname "$(find "$prefix" -type d -path '*-packages/oxretarget')")
PYTHONPATH="$site" OXRETARGET_TOOL="$prefix/bin/oxretarget" OX_TEST_DATA_DIR="$PWD/Tests/Data" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider Python/tests

# The installed cluster runner on a local cluster gives the tool's own result.
"$prefix/bin/oxretarget" demo -o build/test-dask > /dev/null
"$prefix/bin/oxretarget-dask" --local 2 build/test-dask/demo.bvh -o build/test-dask/dask.json > /dev/null
cmp build/test-dask/demo.json build/test-dask/dask.json
echo "All tests passed."
