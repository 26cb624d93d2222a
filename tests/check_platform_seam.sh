#!/usr/bin/env bash
# Platform headers and _WIN32 tests stay behind the seam: under src/platform/
# or in files suffixed _win32 / folders named win32 (tests likewise).
cd "$(dirname "$0")/.."
leaks=$(grep -rlE '#\s*if(def)?\s*.*_WIN32|<windows\.h>|<winsock2?\.h>' src tests \
        | grep -vE '(^src/platform/|_win32[._]|/win32/)')
if [ -n "$leaks" ]; then
  echo "platform code outside the seam:"
  echo "$leaks"
  exit 1
fi
echo "platform code stays behind the seam"
