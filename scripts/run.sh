#!/usr/bin/env bash
# Installs what is missing, builds the Linux programs and runs the server in
# the foreground with a temporary registry that allows 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null

root=$(mktemp -d /tmp/tovl-demo-registry.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/HKEY_LOCAL_MACHINE/Software/Dravik/TOVL/IpAddr"
touch "$root/HKEY_LOCAL_MACHINE/Software/Dravik/TOVL/IpAddr/127.0.0.1"
echo "tovlserver waits for clients on TCP 4445 (allowed: 127.0.0.1; registry in $root)."
echo "Press Ctrl+C to end it."
TOVL_REGISTRY_ROOT=$root build/linux/bin/tovlserver debug || true
