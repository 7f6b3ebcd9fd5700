#!/usr/bin/env bash
# Static checks of the project's own code: clang-format, cppcheck, clang-tidy.
# Needs the native build's compile_commands.json (scripts/test.sh builds it).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h' | grep -v '^build/')
mapfile -t linux_sources < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$' | grep -v '^platform/win32/' | grep -v '^tools/win32-inspector/')

status=0
echo "== clang-format"
clang-format --dry-run --Werror "${sources[@]}" || status=1

echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --inline-suppr \
  --enable=warning,performance,portability --suppress=missingIncludeSystem \
  -I . app update platform tools tests/fake || status=1

echo "== clang-tidy"
printf '%s\0' "${linux_sources[@]}" |
  xargs -0 -n 4 -P "$(nproc)" clang-tidy --quiet -p "${FU_LINT_BUILD:-build/native}" 2>/dev/null ||
  status=1

exit "$status"
