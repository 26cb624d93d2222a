# shellcheck shell=bash
# The system test's container, sourced by run.sh: a Debian 12 root made
# once with debootstrap and kept in a cache, booted per run with
# systemd-nspawn on a throw-away overlay of it, commands run inside with
# nsenter, and the container ended and its copy removed in ct_teardown.
# Every step is bounded in time. A step that shows this machine cannot do
# it calls skip (run.sh's: prints the reason and exits 77).
#
# The host need not run systemd: the container is not registered with
# machined (--register=no) and stays in the caller's cgroup (--keep-unit).

CT_SUITE=bookworm
# Bumped when the way the root is made changes, so old caches are not used.
CT_LAYOUT=1
CT_CACHE=${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/tovl-system-test
CT_WORK=
CT_NSPAWN=
CT_LEADER=
CT_ROOT=
CT_PATH=/usr/sbin:/usr/bin:/sbin:/bin

# The Debian mirror this machine's apt uses for the suite (deb822 .sources
# or one-line .list), unless TOVL_SYSTEM_MIRROR names one.
ct_mirror() {
  local uri
  if [ -n "${TOVL_SYSTEM_MIRROR:-}" ]; then
    echo "$TOVL_SYSTEM_MIRROR"
    return
  fi
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v RS= -v suite="$CT_SUITE" '
    $0 ~ "(^|\n)Suites:[^\n]*[ \t]" suite "([ \t\n]|$)" &&
    match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/) {
      s = substr($0, RSTART, RLENGTH); sub(/.*URIs:[ \t]*/, "", s); print s; exit }')
  if [ -z "$uri" ]; then
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
          sed -n "s/^deb[ \t]\+\(\[[^]]*\][ \t]\+\)\?\([^ \t]\+\)[ \t]\+${CT_SUITE}[ \t].*/\2/p" | head -n 1)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

# Sets CT_ROOT to a cached root holding minbase, systemd, dbus and the
# packages given; makes it when missing (under a lock, so two runs do not
# make it twice). The key covers the suite, the mirror and the packages.
ct_make_root() {
  local mirror key dir log
  mirror=$(ct_mirror)
  key=$(printf '%s\n' "$CT_LAYOUT" "$CT_SUITE" "$mirror" "$@" | sha256sum | cut -c1-16)
  dir=$CT_CACHE/$CT_SUITE-$key
  CT_ROOT=$dir/root
  [ -f "$dir/complete" ] && return 0
  mkdir -p "$CT_CACHE" || skip "cannot make the cache folder $CT_CACHE"
  exec 8>"$CT_CACHE/lock"
  flock -w 600 8 || skip "another run kept the cache locked for 10 minutes"
  if [ ! -f "$dir/complete" ]; then
    timeout 20 wget -q -O /dev/null "$mirror/dists/$CT_SUITE/Release" ||
      skip "the Debian mirror $mirror cannot be reached (needed once, to make the container's root)"
    log=$CT_CACHE/make-root.log
    echo "system test: making the $CT_SUITE root from $mirror (once; log: $log)"
    rm -rf "$dir"
    mkdir -p "$dir"
    # debootstrap resolves no virtual packages: the rest comes with apt,
    # inside the new root, without fsync per file.
    if ! timeout 420 debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus \
           "$CT_SUITE" "$CT_ROOT" "$mirror" >"$log" 2>&1 ||
       ! timeout 300 systemd-nspawn -q -D "$CT_ROOT" --register=no --keep-unit \
           --resolv-conf=copy-host --setenv=DEBIAN_FRONTEND=noninteractive sh -ec '
             apt-get update -q
             apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-unsafe-io "$@"
             apt-get clean
             rm -rf /var/lib/apt/lists/*
             echo tovl-system-test >/etc/hostname' sh "$@" >>"$log" 2>&1; then
      tail -n 20 "$log"
      rm -rf "$dir"
      flock -u 8
      skip "could not make the $CT_SUITE root (log: $log)"
    fi
    touch "$dir/complete"
    # Roots of other package lists are not needed any more.
    find "$CT_CACHE" -mindepth 1 -maxdepth 1 -type d -name "$CT_SUITE-*" ! -name "$CT_SUITE-$key" \
      -exec rm -rf {} +
  fi
  flock -u 8
}

# Boots CT_ROOT on an overlay (a copy where overlayfs is missing) under a
# fresh work folder, with only a loopback network, SHARE bound read-only at
# /tovl-test. Waits up to 90 s for the boot to finish.
ct_boot() {
  local share=$1 state deadline
  CT_WORK=$(mktemp -d /var/tmp/tovl-system.XXXXXX)
  mkdir "$CT_WORK/upper" "$CT_WORK/overlay" "$CT_WORK/root"
  if ! mount -t overlay overlay -o "lowerdir=$CT_ROOT,upperdir=$CT_WORK/upper,workdir=$CT_WORK/overlay" \
         "$CT_WORK/root" 2>/dev/null; then
    cp -a "$CT_ROOT/." "$CT_WORK/root/" || skip "cannot copy the root to $CT_WORK"
  fi
  systemd-nspawn -q -D "$CT_WORK/root" -M "tovl-system-$$" --boot --private-network \
    --register=no --keep-unit --console=passive --bind-ro="$share:/tovl-test" \
    >"$CT_WORK/boot.log" 2>&1 &
  CT_NSPAWN=$!
  # The container's init: systemd-nspawn's child once it runs systemd
  # (before, the child is nspawn's own, which ends).
  for _ in $(seq 100); do
    CT_LEADER=$(pgrep -x -P "$CT_NSPAWN" systemd | head -n 1)
    [ -n "$CT_LEADER" ] && break
    kill -0 "$CT_NSPAWN" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$CT_LEADER" ]; then
    tail -n 20 "$CT_WORK/boot.log"
    skip "systemd-nspawn could not start the container (cgroups or namespaces unusable?" \
      "SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=0 or 1 may help)"
  fi
  # Until systemd listens, systemctl cannot connect; then it waits for the
  # end of the boot itself.
  deadline=$((SECONDS + 90))
  while :; do
    state=$(ct_exec $((deadline - SECONDS + 1)) systemctl is-system-running --wait 2>&1)
    case "$state" in
      *"Failed to connect"*) [ "$SECONDS" -lt "$deadline" ] && sleep 0.2 && continue ;;
    esac
    break
  done
  case "$state" in
    running | degraded) ;;
    *)
      tail -n 20 "$CT_WORK/boot.log"
      skip "the container did not boot within 90 s (state: ${state:-none})" ;;
  esac
}

# Runs a command inside the container, as root with a clean environment,
# killed after SECONDS.
ct_exec() {
  local seconds=$1
  shift
  timeout -k 5 "$seconds" nsenter -t "$CT_LEADER" -m -u -i -n -p -r -w -- \
    /usr/bin/env -i PATH="$CT_PATH" LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

# Ends the container (power off, after 20 s killed) and removes its copy.
# Safe to call at any point and more than once.
ct_teardown() {
  if [ -n "$CT_NSPAWN" ] && kill -0 "$CT_NSPAWN" 2>/dev/null; then
    if [ -n "$CT_LEADER" ]; then
      kill -s RTMIN+4 "$CT_LEADER" 2>/dev/null
    else
      kill -s TERM "$CT_NSPAWN" 2>/dev/null
    fi
    for _ in $(seq 200); do
      kill -0 "$CT_NSPAWN" 2>/dev/null || break
      sleep 0.1
    done
    # Init's end ends every process of the container.
    [ -n "$CT_LEADER" ] && kill -s KILL "$CT_LEADER" 2>/dev/null
    kill -s KILL "$CT_NSPAWN" 2>/dev/null
  fi
  [ -n "$CT_NSPAWN" ] && wait "$CT_NSPAWN" 2>/dev/null
  CT_NSPAWN=
  CT_LEADER=
  if [ -n "$CT_WORK" ]; then
    if mountpoint -q "$CT_WORK/root"; then
      umount "$CT_WORK/root" 2>/dev/null || umount -l "$CT_WORK/root"
    fi
    rm -rf "$CT_WORK"
    CT_WORK=
  fi
}
