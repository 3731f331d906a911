#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and benchmarks with.
set -euo pipefail
packages=(cmake ninja-build g++ clang lld libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libfmt-dev libtinygltf-dev valgrind clang-tidy clang-format cppcheck chromium
  python3-dev pybind11-dev python3-numpy python3-pytest python3-distributed blender assimp-utils)
# Node.js and npm usually come with the machine (a newer build than Debian's); Debian's are the fallback.
if ! command -v node > /dev/null || ! command -v npm > /dev/null; then packages+=(nodejs npm); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update
  $sudo_cmd apt-get install -y "${missing[@]}"
fi
