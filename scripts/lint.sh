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

echo "== clang-tidy, Windows sources (mingw-w64 headers, the windows build's commands)"
if [[ -f build/windows/compile_commands.json ]]; then
  mingw=/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++
  win_args=(--extra-arg=--target=x86_64-w64-mingw32
    "--extra-arg=-isystem$mingw" "--extra-arg=-isystem$mingw/x86_64-w64-mingw32"
    --extra-arg=-isystem/usr/x86_64-w64-mingw32/include)
  git ls-files 'platform/win32/*.cpp' 'tools/win32-inspector/*.cpp' | tr '\n' '\0' |
    xargs -0 -n 2 -P "$(nproc)" clang-tidy --quiet -p build/windows "${win_args[@]}" 2>/dev/null ||
    status=1
else
  echo "lint: build/windows is missing; build the windows preset first" >&2
  status=1
fi

exit "$status"
