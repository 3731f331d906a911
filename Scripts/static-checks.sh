#!/usr/bin/env bash
# Static checks on our code: formatting (clang-format), clang-tidy and cppcheck. Needs a configured
# clang build folder with compile_commands.json (argument; default build/test-clang).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test-clang}

# Vendored sources keep their authors' formatting.
sources=$(git ls-files '*.cpp' '*.h' ':!:Source/ThirdParty/*')
clang-format --dry-run --Werror $sources
echo "clang-format: clean"

# Our translation units only; headers come along through HeaderFilterRegex in .clang-tidy.
run-clang-tidy -quiet -p "$build" -j "$(nproc)" "$(pwd)/(Source|Tools)/.*\.cpp$" > build/clang-tidy.log 2>&1 || {
  grep -E "warning:|error:" build/clang-tidy.log | sort -u
  exit 1
}
echo "clang-tidy: clean"

# Parameters passed by value are part of the library's interface (names, strings and transforms are
# taken by value), so that performance hint is off.
cppcheck --quiet -i Source/ThirdParty --enable=warning,performance,portability --std=c++20 --inline-suppr --error-exitcode=1 -D__CPPCHECK__ \
  --suppress=missingIncludeSystem --suppress=passedByValue \
  -I Source/EngineCore/Public -I Source/OxUtilsTools/Public -I Source/OxRetarget/Public -I Tools/oxretarget \
  Source Tools
echo "cppcheck: clean"
