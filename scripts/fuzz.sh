#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang with address and
# undefined-behaviour checks) into build/fuzz and runs each one for
# FUZZ_SECONDS (default 60) from its seed corpus in fuzz/corpus/<target>.
# Exits non-zero when a target finds a crash, a leak or undefined
# behaviour; the reproducer is left in build/fuzz/findings/<target>/.
#
# A long run (new inputs kept in build/fuzz/corpus/<target>):
#   FUZZ_SECONDS=3600 scripts/fuzz.sh
# One target by name: scripts/fuzz.sh fuzz_port_session
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
build=build/fuzz

CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)"

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_port_session fuzz_client_reader fuzz_client_config fuzz_client_registry fuzz_rfc2217)

status=0
for target in "${targets[@]}"; do
  seeds="fuzz/corpus/${target#fuzz_}"
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$work" "$findings"
  echo "== fuzz $target for ${seconds}s"
  # The session target's threads and loopback connections make it slower
  # per input; -close_fd_mask=1 keeps the programs' own stdout quiet.
  if ! "$build/bin/$target" -max_total_time="$seconds" -max_len=8192 -timeout=30 \
      -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/" \
      "$work" "$seeds" 2>"$build/$target.log"; then
    echo "$target: finding (see $build/$target.log and $findings/)"
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::new_units_added" "$build/$target.log" || true
done
exit $status
