#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing. Safe to run again.
set -euo pipefail

need=(cmake g++ make libgtest-dev googletest
      g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
      wine wine32:i386 iproute2 socat xvfb xdotool util-linux procps
      pkg-config libgtk-3-dev imagemagick python3)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  updated_for_arch=1
fi

missing=()
for pkg in "${need[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${updated_for_arch:-}" ]; then
  echo "setup: installing ${missing[*]:-nothing (package lists only)}"
  "${sudo_cmd[@]}" apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing[@]}"
  fi
fi
