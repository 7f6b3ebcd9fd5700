#!/usr/bin/env bash
# Sets up the machine and runs every test: unit, integration and end to end
# (Linux build under Xvfb, Windows build under Wine), then the unit and
# integration layers again under ASan+UBSan and TSan (with a fixed fuzzing
# run), and the static checks.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)

echo "== Windows build (mingw-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

echo "== Linux build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"

status=0
for preset in asan tsan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

echo "== static checks (clang-format, cppcheck, clang-tidy)"
scripts/lint.sh || status=1

for preset in asan tsan; do
  echo "== tests under $preset"
  ctest --preset "$preset" -j "$jobs" || status=1
done

echo "== tests (unit, integration, end to end on both builds)"
ctest --preset native || status=1

exit "$status"
