#!/usr/bin/env bash
# The Debian package under a real systemd: boots a minimal Debian 12
# container with systemd-nspawn, installs the package built from this tree
# and checks, one PASS or FAIL line each, what an administrator relies on:
#   install      both units enabled and active, the configuration keys made
#   session      application -> virtual port -> tovlclient -> TCP 127.0.0.1
#                -> tovlserver -> stand-in device, and the answer back
#   exclusive    a process of another user holds the device: the server
#                refuses the session and names the holder in its log
#   upgrade      a higher version installed over it restarts both services
#   remove       services stopped, their links gone, no process left
#   purge        after remove: /etc/tovl and the units' records gone
# Exit 0 all passed, 1 a check or the build failed, 77 this machine cannot
# boot such a container (the reason follows "system test SKIPPED:").
#
# Needs root, systemd-nspawn (systemd-container), debootstrap and, the first
# time, the Debian mirror apt uses: the root is cached under
# ${XDG_CACHE_HOME:-~/.cache}/tovl-system-test, keyed by its package list,
# and every run boots a throw-away overlay of it. The package is built with
# cpack from build/linux (TOVL_SYSTEM_BUILD_DIR), or TOVL_SYSTEM_DEB names
# one; TOVL_SYSTEM_MIRROR overrides the mirror.
# shellcheck disable=SC2016  # single-quoted text is expanded inside the container
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
# shellcheck source=tests/system/container.sh
. "$here/container.sh"

skip() {
  echo "system test SKIPPED: $*"
  exit 77
}

started=$SECONDS
passed=0
failed=0
share=
cleanup() {
  ct_teardown
  [ -n "$share" ] && rm -rf "$share"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

report() {  # NAME STATUS DETAIL...
  local name=$1 status=$2
  shift 2
  if [ "$status" -eq 0 ]; then
    echo "PASS $name${*:+: $*}"
    passed=$((passed + 1))
  else
    echo "FAIL $name: $*"
    failed=$((failed + 1))
  fi
}

# --- can this machine do it at all --------------------------------------
[ "$(id -u)" -eq 0 ] || skip "needs root (debootstrap, mounts and systemd-nspawn)"
if ! command -v systemd-nspawn >/dev/null || ! command -v debootstrap >/dev/null; then
  DEBIAN_FRONTEND=noninteractive timeout 300 apt-get install -y -q --no-install-recommends \
    debootstrap systemd-container >/dev/null 2>&1 ||
    skip "systemd-nspawn or debootstrap is missing and could not be installed"
fi
for tool in nsenter flock wget dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done

# --- the package, and the same package with a higher version ------------
share=$(mktemp -d /var/tmp/tovl-system-share.XXXXXX)
chmod 755 "$share"
cp "$here/device.py" "$share/"
if [ -n "${TOVL_SYSTEM_DEB:-}" ]; then
  cp "$TOVL_SYSTEM_DEB" "$share/tovl.deb" || { report package 1 "cannot read $TOVL_SYSTEM_DEB"; exit 1; }
else
  build_dir=${TOVL_SYSTEM_BUILD_DIR:-$source_dir/build/linux}
  log=$share/build.log
  if ! { { [ -f "$build_dir/CPackConfig.cmake" ] || (cd "$source_dir" && cmake --preset linux); } &&
         cmake --build "$build_dir" -j2 --target tovlserver tovlclient tovladmin tovl_package_files &&
         cpack --config "$build_dir/CPackConfig.cmake" -B "$share/cpack"; } >"$log" 2>&1; then
    tail -n 20 "$log"
    report package 1 "the package could not be built"
    exit 1
  fi
  mv "$share"/cpack/tovl_*.deb "$share/tovl.deb"
  rm -rf "$share/cpack"
fi
deb=tovl.deb
version=$(dpkg-deb -f "$share/$deb" Version)
upgrade_version=$version+1
if ! { dpkg-deb -R "$share/$deb" "$share/unpacked" &&
       sed -i "s/^Version: .*/Version: $upgrade_version/" "$share/unpacked/DEBIAN/control" &&
       dpkg-deb -b --root-owner-group "$share/unpacked" "$share/tovl_${upgrade_version}_amd64.deb" \
         >/dev/null; }; then
  report package 1 "cannot repack $deb as $upgrade_version"
  exit 1
fi
rm -rf "$share/unpacked"

# --- the container: its root holds the package's Depends and python3 ----
mapfile -t depends < <(dpkg-deb -f "$share/$deb" Depends | tr ',' '\n' |
                       sed 's/([^)]*)//; s/|.*//; s/[[:space:]]//g' | grep -v '^$' | sort -u)
ct_make_root python3 "${depends[@]}"
ct_boot "$share"
echo "system test: container booted ($((SECONDS - started)) s since start)"

registry=/etc/tovl/registry/HKEY_LOCAL_MACHINE/Software/Dravik/TOVL
units=(tovlserver.service tovlclient.service)

unit_states() {  # prints "enabled/active" per unit
  local unit
  for unit in "${units[@]}"; do
    echo "$unit $(ct_exec 10 systemctl is-enabled "$unit" 2>&1)/$(ct_exec 10 systemctl is-active "$unit" 2>&1)"
  done
}
main_pid() { ct_exec 10 systemctl show -P MainPID "$1"; }
server_log() { ct_exec 10 journalctl -u tovlserver -o cat --no-pager; }
apt_in() {  # apt-get ARGS..., its output kept in $share/apt.log
  ct_exec 180 apt-get -y -q "$@" >"$share/apt.log" 2>&1 || { tail -n 15 "$share/apt.log"; return 1; }
}

# --- install -------------------------------------------------------------
if ! apt_in install "/tovl-test/$deb"; then
  report install 1 "apt-get install /tovl-test/$deb failed"
  exit 1
fi
states=$(unit_states)
missing=$(ct_exec 10 sh -c 'for k in Connections Devices IpAddr Raw Rfc2217 Settings VirtualPorts; do
                              [ -d "$1/$k" ] || echo "$k"; done' sh "$registry" | paste -sd " ")
[ "$(grep -c ' enabled/active$' <<<"$states")" -eq 2 ] && [ -z "$missing" ]
report install $? "$(paste -sd "," <<<"$states")${missing:+; keys missing: $missing}"

# --- a session through both units ----------------------------------------
# The stand-in device is a service of the container's own; the server gets
# it as COM2, the client makes COM2 of 127.0.0.1 its virtual port 3.
ct_exec 20 systemd-run -q --unit=tovl-fake-device \
  python3 /tovl-test/device.py serve /dev/ttyFAKE0 /run/tovl-fake-device.log
ct_exec 10 sh -c 'for i in $(seq 50); do [ -L /dev/ttyFAKE0 ] && exit 0; sleep 0.1; done; exit 1' ||
  echo "system test: the stand-in device did not appear"
if ! ct_exec 20 sh -ec 'tovladmin add 127.0.0.1
                        tovladmin device set COM2 /dev/ttyFAKE0
                        tovladmin port set 3 --server 127.0.0.1 --com 2 --link /dev/ttyV3
                        systemctl restart tovlserver tovlclient' >"$share/setup.log" 2>&1; then
  cat "$share/setup.log"
  report session 1 "could not configure and restart the services"
else
  out=$(ct_exec 40 python3 /tovl-test/device.py talk /dev/ttyV3 hello 30 2>&1)
  report session $? "$out"
fi

# --- exclusive use against a holder of another user ----------------------
device_bytes() { ct_exec 10 stat -c %s /run/tovl-fake-device.log 2>/dev/null || echo 0; }
# The last session must have let go of the device, or the refusal below
# would be for it.
ct_exec 15 sh -c 'for i in $(seq 100); do
                    tovladmin status --json | grep -q "\"sessions\":\[\]" && exit 0; sleep 0.1
                  done; exit 1' || echo "system test: the server still reports a session"
before=$(device_bytes)
ct_exec 20 systemd-run -q --unit=tovl-holder -p User=nobody \
  -p StandardInput=file:/dev/ttyFAKE0 sleep 300
holder=$(main_pid tovl-holder)
held=$(ct_exec 10 readlink -f "/proc/$holder/fd/0" 2>&1)
device=$(ct_exec 10 readlink -f /dev/ttyFAKE0 2>&1)
if [ "${holder:-0}" -eq 0 ] || [ "$held" != "$device" ]; then
  report exclusive 1 "the holder did not start (pid ${holder:-none}, fd 0 $held, device $device)"
else
  out=$(ct_exec 30 python3 /tovl-test/device.py talk /dev/ttyV3 intruder 10 2>&1)
  talked=$?
  after=$(device_bytes)
  named=$(server_log | grep -F "held by pid $holder" | tail -n 1)
  problems=()
  [ "$talked" -eq 0 ] && problems+=("the session was served while pid $holder (sleep, user nobody) held $device")
  [ "$after" != "$before" ] && problems+=("the device received $((after - before)) bytes")
  [ -z "$named" ] && problems+=("the server's log does not name pid $holder: $(server_log | tail -n 3 | tr '\n' '|')")
  if [ ${#problems[@]} -eq 0 ]; then
    report exclusive 0 "refused; log: $named"
  else
    report exclusive 1 "$(printf '%s; ' "${problems[@]}")"
  fi
fi
ct_exec 20 systemctl stop tovl-holder

# --- upgrade: the services restart on the new programs -------------------
old_server=$(main_pid tovlserver)
old_client=$(main_pid tovlclient)
if ! apt_in install "/tovl-test/tovl_${upgrade_version}_amd64.deb"; then
  report upgrade 1 "apt-get install of $upgrade_version failed"
else
  problems=()
  installed=$(ct_exec 10 dpkg-query -W -f '${Version}' tovl)
  [ "$installed" = "$upgrade_version" ] || problems+=("version $installed installed")
  for unit in tovlserver tovlclient; do
    if [ "$unit" = tovlserver ]; then old=$old_server; else old=$old_client; fi
    new=$(main_pid "$unit")
    exe=$(ct_exec 10 readlink "/proc/$new/exe" 2>&1)
    if [ "${new:-0}" -eq 0 ]; then
      problems+=("$unit not running after the upgrade")
    elif [ "$new" = "$old" ]; then
      problems+=("$unit kept pid $old")
    elif [[ "$exe" == *"(deleted)"* || -z "$exe" ]]; then
      problems+=("$unit pid $new runs '$exe'")
    fi
  done
  if [ ${#problems[@]} -eq 0 ]; then
    report upgrade 0 "$version -> $upgrade_version, pids $old_server/$old_client -> $(main_pid tovlserver)/$(main_pid tovlclient)"
  else
    report upgrade 1 "$(printf '%s; ' "${problems[@]}")"
  fi
fi

# --- remove: stopped, disabled, keys kept --------------------------------
programs_running() {
  ct_exec 10 sh -c 'for c in /proc/[0-9]*/comm; do read -r n <"$c" 2>/dev/null && echo "$n"; done' |
    grep -E '^tovl(server|client)$' | sort -u | tr '\n' ' '
}
if ! apt_in remove tovl; then
  report remove 1 "apt-get remove tovl failed"
else
  problems=()
  for unit in "${units[@]}"; do
    state=$(ct_exec 10 systemctl is-active "$unit" 2>&1)
    [ "$state" = active ] && problems+=("$unit still active")
  done
  links=$(ct_exec 10 sh -c 'ls /etc/systemd/system/*.wants/tovl* 2>/dev/null')
  [ -n "$links" ] && problems+=("links left: $(tr '\n' ' ' <<<"$links")")
  left=$(programs_running)
  [ -n "$left" ] && problems+=("still running: $left")
  ct_exec 10 test -d "$registry/IpAddr" || problems+=("the configuration keys went")
  if [ ${#problems[@]} -eq 0 ]; then
    report remove 0 "services stopped, no links, no process; keys kept"
  else
    report remove 1 "$(printf '%s; ' "${problems[@]}")"
  fi
fi

# --- purge after remove ----------------------------------------------------
if ! apt_in purge tovl; then
  report purge 1 "apt-get purge tovl failed"
else
  problems=()
  ct_exec 10 test -e /etc/tovl && problems+=("/etc/tovl is still there")
  records=$(ct_exec 10 sh -c 'ls -d /var/lib/systemd/deb-systemd-*/*tovl* \
                                     /var/lib/systemd/deb-systemd-*/*/*tovl* 2>/dev/null')
  [ -n "$records" ] && problems+=("unit records left: $(tr '\n' ' ' <<<"$records")")
  status=$(ct_exec 10 dpkg-query -W -f '${Status}' tovl 2>/dev/null)
  [ -n "$status" ] && [ "$status" != "unknown ok not-installed" ] && problems+=("dpkg: $status")
  if [ ${#problems[@]} -eq 0 ]; then
    report purge 0 "/etc/tovl and the unit records gone, package unknown to dpkg"
  else
    report purge 1 "$(printf '%s; ' "${problems[@]}")"
  fi
fi

echo "system test: $passed of $((passed + failed)) checks passed in $((SECONDS - started)) s"
[ "$failed" -eq 0 ]
