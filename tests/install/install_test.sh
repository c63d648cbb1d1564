#!/usr/bin/env bash
# The library as another program gets it: `cmake --install` of this build into a temporary
# prefix installs the shared library, its links, the public headers (and no internal one), the
# CMake package and the pkg-config file; examples/ configures and builds against that prefix with
# find_package and, once more, with pkg-config alone; both run against camsim on loopback. Then
# the Python tests run against the installed module (not in sanitizer builds, which make none).
#
#   install_test.sh BUILD_DIR SOURCE_DIR SANITIZE PYTHON CHART_IMAGE
set -u
build_dir=$1
source_dir=$2
sanitize=$3
python=$4
chart_image=$5
status=0
fail() { echo "FAIL: $*"; status=1; }
work=$(mktemp -d)
camsim_pid=
cleanup() {
  [ -n "$camsim_pid" ] && kill "$camsim_pid" 2>/dev/null && wait "$camsim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=scripts/lib/camsim.sh
source "$source_dir/scripts/lib/camsim.sh"

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
libdir=$(find "$prefix" -name 'libframeprobe.so.1' -printf '%h\n')
[ -n "$libdir" ] || { echo "FAIL: no libframeprobe.so.1 under $prefix"; exit 1; }
[ "$(readlink "$libdir/libframeprobe.so")" = libframeprobe.so.1 ] || fail "libframeprobe.so link"
soname=$(objdump -p "$libdir/libframeprobe.so.1" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libframeprobe.so.1 ] || fail "SONAME $soname"
headers=$(cd "$prefix/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./frameprobe/Camera.h ./frameprobe/Export.h ./frameprobe/Protocol.h ./frameprobe/Version.h ./frameprobe/frameprobe.h " ] ||
  fail "installed headers: $headers"
# Only the public interface is exported: nothing of the driver's classes.
if nm -DC --defined-only "$libdir/libframeprobe.so.1" | grep -q ' fp::'; then
  fail "the library exports internal symbols: $(nm -DC --defined-only "$libdir/libframeprobe.so.1" | grep ' fp::' | head -3)"
fi

flags=
case "$sanitize" in
  address) flags="-fsanitize=address,undefined" ;;
  thread) flags="-fsanitize=thread" ;;
esac
if ! cmake -S "$source_dir/examples" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/example.log" 2>&1 ||
   ! cmake --build "$work/example" >>"$work/example.log" 2>&1; then
  cat "$work/example.log"; echo "FAIL: the example does not build against the prefix"; exit 1
fi
# pkg-config alone, as a Makefile would use it.
pc_flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs frameprobe) ||
  fail "pkg-config finds no frameprobe"
# shellcheck disable=SC2086
g++ -std=c++17 -Wall -Wextra -Werror $flags "$source_dir/examples/grab_images.cpp" $pc_flags \
  -o "$work/grab_images_pc" || fail "the example does not build with pkg-config"

# Each run against a fresh camsim (packets 5 and 100 to 102 left out), on 127.33/16 by process id.
camera=127.33.$(($$ / 250 % 250 + 1)).$(($$ % 125 * 2 + 1))
local_ip=${camera%.*}.$((${camera##*.} + 1))
expected="image 1: complete, 8244 packets from the stream, 4 lost, 4 fetched again, mean sample 32767.5
  lost packets 5 to 5
  lost packets 100 to 102
image 2: complete, 8244 packets from the stream, 4 lost, 4 fetched again, mean sample 32767.5
  lost packets 5 to 5
  lost packets 100 to 102"
for program in "$work/example/grab_images" "$work/grab_images_pc"; do
  camsim_start "$work/camsim.out" "$work/camsim.err" "$prefix/bin/camsim" --bind "$camera" \
    --drop 5,100-102 --quiet || { cat "$work/camsim.err"; fail "camsim did not start"; break; }
  out=$(LD_LIBRARY_PATH=$libdir "$program" "$local_ip" "$camera" 2 2>&1)
  rc=$?
  kill "$camsim_pid" 2>/dev/null; wait "$camsim_pid" 2>/dev/null; camsim_pid=
  [ "$rc" -eq 0 ] || fail "$(basename "$program") exit status $rc"
  [ "$(head -n 1 <<<"$out")" = "camera $camera:1234: FrameProbe CamSim 1 (libframeprobe $(cat "$source_dir/CMakeLists.txt" | sed -n 's/^project(frameprobe VERSION \([0-9.]*\).*/\1/p'))" ] ||
    fail "$(basename "$program") first line: $(head -n 1 <<<"$out")"
  [ "$(tail -n +2 <<<"$out")" = "$expected" ] || fail "$(basename "$program") printed:"$'\n'"$out"
done

site=$prefix/lib/python3/dist-packages
if [ -n "$sanitize" ]; then
  echo "note: the $sanitize sanitizer build makes no Python module; the dev build tests it"
elif [ ! -d "$site/frameprobe" ]; then
  fail "no Python package in $site"
else
  found=$(cd "$work" && PYTHONPATH=$site "$python" -c 'import frameprobe; print(frameprobe.__file__)')
  [ "$found" = "$site/frameprobe/__init__.py" ] || fail "Python imported $found"
  (cd "$work" && PYTHONPATH=$site FP_CAMSIM=$prefix/bin/camsim FP_CHART_IMAGE=$chart_image \
    "$python" -m pytest -q -p no:cacheprovider "$source_dir/tests/python") || fail "pytest"
fi
[ $status -eq 0 ] && echo "install: all checks passed"
exit $status
