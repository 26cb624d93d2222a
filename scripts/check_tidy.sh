#!/usr/bin/env bash
# clang-tidy with the committed .clang-tidy over every src/ file of the Linux
# build; any finding fails. Needs the linux preset configured (it writes
# build/linux/compile_commands.json). Two files at a time: the machine is
# shared.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/linux
[ -f "$build/compile_commands.json" ] || cmake --preset linux >/dev/null
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
root=$(pwd)
python3 - "$build/compile_commands.json" "$root" <<'PY' |
import json, os, sys
root = sys.argv[2]
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.startswith("src/") and rel not in seen:
        seen.add(rel)
        print(rel)
PY
  sort | xargs -P2 -n1 "$tidy" --quiet -p "$build" 2>/dev/null || {
  echo "clang-tidy: findings above"
  exit 1
}
echo "clang-tidy: no findings"
