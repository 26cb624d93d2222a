#!/usr/bin/env bash
# Installs what is missing, builds the Linux programs and runs the loopback
# demonstration: an application talks through a virtual port, tovlclient,
# TCP and tovlserver to a simulated serial device.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec bash scripts/demo.sh
