#!/usr/bin/env bash
# Every tracked C and C++ file is formatted as .clang-format says (the
# stand-in driver included); prints the places that are not and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
if git ls-files -z -- '*.c' '*.cpp' '*.h' | xargs -0 "$format" --dry-run -Werror; then
  echo "clang-format: every file formatted"
else
  echo "clang-format: files above need formatting (clang-format -i FILE)"
  exit 1
fi
