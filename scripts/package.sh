#!/usr/bin/env bash
# Builds the Debian packages: frameprobe (frameprobe, framegrab, camsim, hostcheck, their manual
# pages and the Wireshark dissector), libframeprobe1 (the driver's shared library),
# libframeprobe-dev (its headers, CMake package and pkg-config file) and python3-frameprobe (the
# Python module): an optimised build without tests or benchmarks (so neither GoogleTest nor
# Google Benchmark is needed) with Debian's build flags, then CPack.
#
#   scripts/package.sh [--output DIR] [--build-dir DIR | --from-build DIR]
#
# The packages land in DIR (default build/package/); their paths are the last four lines
# printed. The build directory (default build/package) is kept, so that the next run rebuilds
# only what changed; two runs on the same one wait for each other.
#
# --from-build DIR packages the build in DIR as it is configured (a preset's build/dev, say)
# instead: nothing is configured and Debian's flags are not added, so that a suite packages the
# very build it tested (tests/package) without compiling the project again. A sanitizer build is
# refused: its programs need the sanitizer's runtime, which no package provides.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
  echo "usage: scripts/package.sh [--output DIR] [--build-dir DIR | --from-build DIR]" >&2
  exit 2
}
build_dir=$root/build/package
output_dir=
configure=1
while [ $# -gt 0 ]; do
  case "$1" in
    --output) [ $# -ge 2 ] || usage; output_dir=$2; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || usage; build_dir=$2; shift 2 ;;
    --from-build) [ $# -ge 2 ] || usage; build_dir=$2; configure=0; shift 2 ;;
    *) usage ;;
  esac
done
[ -n "$output_dir" ] || output_dir=$build_dir

FP_NEED_TESTS=0 FP_NEED_PACKAGE=1 ./scripts/install-deps.sh

if [ $configure = 0 ]; then
  cache=$build_dir/CMakeCache.txt
  [ -f "$cache" ] || { echo "package: $build_dir is not a configured build" >&2; exit 1; }
  sanitize=$(sed -n 's/^FP_SANITIZE:[A-Z]*=//p' "$cache")
  if [ -n "$sanitize" ]; then
    echo "package: $build_dir is a $sanitize sanitizer build, whose programs need the" \
      "sanitizer's runtime: not packaged" >&2
    exit 1
  fi
fi
mkdir -p "$build_dir" "$output_dir"
build_dir=$(cd "$build_dir" && pwd)
output_dir=$(cd "$output_dir" && pwd)
exec 9>"$build_dir/.package.lock"
flock 9

if [ $configure = 1 ]; then
  # Debian's flags (optimisation, stack protector, fortified calls, read-only relocations); the
  # build type adds only NDEBUG to them.
  cppflags=$(dpkg-buildflags --get CPPFLAGS)
  cxxflags=$(dpkg-buildflags --get CXXFLAGS)
  ldflags=$(dpkg-buildflags --get LDFLAGS)
  echo "=== package: configure and build in $build_dir"
  cmake -S "$root" -B "$build_dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_INSTALL_PREFIX=/usr -DFP_BUILD_TESTS=OFF -DFP_BUILD_BENCH=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
else
  echo "=== package: the build in $build_dir, brought up to date"
fi
cmake --build "$build_dir" -j "${FP_JOBS:-$(nproc)}" \
  --target frameprobe framegrab camsim man_pages frameprobe_shared frameprobe_python

echo "=== package: cpack"
staging=$build_dir/cpack
rm -rf "$staging"
(cd "$build_dir" && cpack -G DEB -B "$staging" >/dev/null)
debs=$(find "$staging" -maxdepth 1 -name '*.deb' | sort)
if [ "$(grep -c . <<<"$debs")" -ne 4 ]; then
  echo "package: not four packages in $staging: $debs" >&2
  exit 1
fi
paths=()
for deb in $debs; do
  mv "$deb" "$output_dir/"
  paths+=("$output_dir/$(basename "$deb")")
done
rm -rf "$staging"
echo "install them with: sudo apt install ${paths[*]}"
printf '%s\n' "${paths[@]}"
