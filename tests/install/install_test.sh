#!/usr/bin/env bash
# The library as another program gets it: `cmake --install` of this build into a temporary
# prefix installs the shared library, its links, the public headers (and no internal one), the
# CMake package and the pkg-config file; examples/ configures and builds against that prefix with
# find_package and, once more, with pkg-config alone; both run against camsim on loopback. Then
# the Python tests run against the installed module (not in sanitizer builds, which make none).
#
#   install_test.sh BUILD_DIR SOURCE_DIR SANITIZE CHART_IMAGE
set -u
build_dir=$1
source_dir=$2
sanitize=$3
chart_image=$4
status=0
fail() { echo "FAIL: $*"; status=1; }
work=$(mktemp -d)
trap 'camsim_stop; rm -rf "$work"' EXIT
# shellcheck source=scripts/lib/camsim.sh
source "$source_dir/scripts/lib/camsim.sh"
# shellcheck source=tests/install/prefix_checks.sh
source "$source_dir/tests/install/prefix_checks.sh"

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
libdir=$(find "$prefix" -name 'libframeprobe.so.1' -printf '%h\n')
[ -n "$libdir" ] || { echo "FAIL: no libframeprobe.so.1 under $prefix"; exit 1; }
prefix_check_library "$libdir" "$prefix/include"

flags=
case "$sanitize" in
  address) flags="-fsanitize=address,undefined" ;;
  thread) flags="-fsanitize=thread" ;;
esac
prefix_check_example "$source_dir" "$prefix" "$libdir" "$prefix/bin/camsim" "$work" "$flags"
if [ -n "$sanitize" ]; then
  echo "note: the $sanitize sanitizer build makes no Python module; the dev build tests it"
else
  prefix_check_python "$source_dir" "$prefix/lib/python3/dist-packages" "$prefix/bin/camsim" \
    "$chart_image" "$work" 34
fi
[ $status -eq 0 ] && echo "install: all checks passed"
exit $status
