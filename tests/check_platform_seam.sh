#!/usr/bin/env bash
# Platform headers and _WIN32 tests stay behind the seam: Windows ones under
# src/platform/ or in files suffixed _win32 / folders named win32, POSIX
# ones under src/platform/ or in files suffixed _posix / folders named posix
# (tests likewise).
cd "$(dirname "$0")/.."
status=0
win32=$(grep -rlE '#\s*if(def)?\s*.*_WIN32|<windows\.h>|<winsock2?\.h>' src tests \
        | grep -vE '(^src/platform/|_win32[._]|/win32/)')
if [ -n "$win32" ]; then
  echo "Windows code outside the seam:"
  echo "$win32"
  status=1
fi
posix=$(grep -rlE '#\s*include\s*<(unistd|termios|poll|fcntl|pty|pthread)\.h>|#\s*include\s*<sys/' \
          src tests \
        | grep -vE '(^src/platform/|_posix[._]|/posix/)')
if [ -n "$posix" ]; then
  echo "POSIX code outside the seam:"
  echo "$posix"
  status=1
fi
[ $status -eq 0 ] && echo "platform code stays behind the seam"
exit $status
