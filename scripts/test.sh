#!/usr/bin/env bash
# Installs what is missing, builds both platforms (and the sanitizer builds)
# and runs every test. Exits non-zero when a build or a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

presets=(linux win32 linux-asan linux-tsan)
for preset in "${presets[@]}"; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

# Formatting and clang-tidy (over the linux build's compile commands).
status=0
echo "== format"
bash scripts/check_format.sh || status=1
echo "== tidy"
bash scripts/check_tidy.sh || status=1

# The server's port 4445 is fixed: with root rights the tests run in a
# network namespace of their own, so nothing else on the machine can collide
# with them (inside, a ctest resource lock keeps the tests apart).
in_own_network() {
  if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    unshare -n sh -c 'ip link set lo up && "$@"' sh "$@"
  else
    "$@"
  fi
}

# The Windows programs run under Wine, whose 32-bit loader is an i386 Linux
# program: a kernel built without 32-bit support cannot start it. Then the
# win32 build still has to compile, but its tests cannot run here.
can_run_i386() {
  local loader
  for loader in /lib/ld-linux.so.2 /usr/lib/i386-linux-gnu/ld-linux.so.2; do
    [ -e "$loader" ] && "$loader" --version >/dev/null 2>&1 && return 0
  done
  return 1
}

for preset in "${presets[@]}"; do
  if [ "$preset" = win32 ] && ! can_run_i386; then
    echo "== test win32: SKIPPED: this kernel cannot run 32-bit (i386) programs, so Wine"
    echo "   cannot start tovl's Windows programs here; the win32 build above compiled"
    continue
  fi
  echo "== test $preset"
  in_own_network ctest --preset "$preset" || status=1
  if [ "$preset" = linux ]; then
    # Once, on the release build's package: it needs the host's network the
    # first time (the container's root comes from the Debian mirror).
    echo "== system test: the package in a booted Debian 12 container (tests/system/run.sh)"
    system_status=0
    bash tests/system/run.sh || system_status=$?
    case $system_status in
      0) ;;
      77) echo "== system test: skipped, this machine cannot run it (reason above)" ;;
      *) status=1 ;;
    esac
  fi
done
# The fuzz targets, about a minute each (FUZZ_SECONDS to change it).
echo "== fuzz"
in_own_network bash scripts/fuzz.sh || status=1
exit $status
