#!/usr/bin/env bash
# Builds and runs the whole test suite. With no argument it uses the "dev" preset (Debug);
# give one or more of dev, asan, tsan, release to run those builds instead.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(dev)
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done
