#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing. Safe to run again.
set -euo pipefail

need=(cmake g++ make ninja-build libgtest-dev googletest python3
      g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
      wine wine32:i386 iproute2 socat xvfb xdotool util-linux procps
      pkg-config libgtk-3-dev imagemagick clang-format clang-tidy
      clang libclang-rt-14-dev python3-serial systemd dpkg dpkg-dev lintian
      debootstrap systemd-container)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

new_arch=
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  new_arch=1
fi

missing=()
for pkg in "${need[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done

if [ ${#missing[@]} -gt 0 ] || [ -n "$new_arch" ]; then
  log=$(mktemp /tmp/tovl-setup.XXXXXX.log)
  echo "setup: installing ${missing[*]:-nothing} (log: $log)"
  if ! { "${sudo_cmd[@]}" apt-get update -q &&
         DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q \
           --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    tail -n 30 "$log"
    echo "setup: installing packages failed"
    exit 1
  fi
fi
echo "setup: all packages present"
