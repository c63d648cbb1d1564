# shellcheck shell=bash
# The checks of an installed library and Python module, shared by install_test.sh (a prefix that
# `cmake --install` made) and tests/package/package_test.sh (the Debian packages unpacked).
# Sourced, not run; the caller defines fail() and has sourced scripts/lib/camsim.sh.

# prefix_check_library LIBDIR INCLUDEDIR: the library's links and SONAME, only the public
# headers installed, and nothing of the driver's internals exported.
prefix_check_library() {
  local libdir=$1 includedir=$2 soname headers
  [ "$(readlink "$libdir/libframeprobe.so")" = libframeprobe.so.1 ] || fail "libframeprobe.so link"
  [ -f "$libdir/libframeprobe.so.1" ] || fail "no libframeprobe.so.1 in $libdir"
  soname=$(objdump -p "$libdir/libframeprobe.so.1" | awk '$1 == "SONAME" { print $2 }')
  [ "$soname" = libframeprobe.so.1 ] || fail "SONAME $soname"
  headers=$(cd "$includedir" && find . -type f | sort | tr '\n' ' ')
  [ "$headers" = "./frameprobe/Camera.h ./frameprobe/CounterList.h ./frameprobe/Counters.h ./frameprobe/Export.h ./frameprobe/Protocol.h ./frameprobe/Version.h ./frameprobe/frameprobe.h " ] ||
    fail "installed headers: $headers"
  if nm -DC --defined-only "$libdir/libframeprobe.so.1" | grep -q ' fp::'; then
    fail "the library exports the driver's internals"
  fi
}

# prefix_check_example SOURCE_DIR PREFIX LIBDIR CAMSIM WORK [CXXFLAGS]: builds examples/ against
# PREFIX with find_package and with pkg-config alone, and runs both against a fresh CAMSIM that
# leaves packets 5 and 100 to 102 out, on 127.33/16 (chosen by process id).
prefix_check_example() {
  local source_dir=$1 prefix=$2 libdir=$3 camsim=$4 work=$5 flags=${6:-}
  if ! cmake -S "$source_dir/examples" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/example.log" 2>&1 ||
     ! cmake --build "$work/example" >>"$work/example.log" 2>&1; then
    cat "$work/example.log"; fail "the example does not build against $prefix"; return
  fi
  local pc_flags
  pc_flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs frameprobe) ||
    fail "pkg-config finds no frameprobe"
  # shellcheck disable=SC2086
  g++ -std=c++17 -Wall -Wextra -Werror $flags "$source_dir/examples/grab_images.cpp" $pc_flags \
    -o "$work/grab_images_pc" || fail "the example does not build with pkg-config"

  local camera local_ip version expected program out rc
  camera=127.33.$(($$ / 250 % 250 + 1)).$(($$ % 125 * 2 + 1))
  local_ip=${camera%.*}.$((${camera##*.} + 1))
  version=$(sed -n 's/^project(frameprobe VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
  # A busy machine may make the driver repeat a request: those counts are any number.
  expected="camera $camera:1234: FrameProbe CamSim 1 (libframeprobe $version)
image 1: complete, 8244 packets from the stream, 4 lost, 4 fetched again, mean sample 32767.5
  lost packets 5 to 5
  lost packets 100 to 102
  counted: 8244 RAW packets, 0 duplicates, [0-9]* retransmission requests
image 2: complete, 8244 packets from the stream, 4 lost, 4 fetched again, mean sample 32767.5
  lost packets 5 to 5
  lost packets 100 to 102
  counted: 8244 RAW packets, 0 duplicates, [0-9]* retransmission requests
totals: [0-9]* commands sent, [0-9]* repeated, [0-9]* timed out"
  for program in "$work/example/grab_images" "$work/grab_images_pc"; do
    [ -x "$program" ] || continue
    camsim_start "$work/camsim.out" "$work/camsim.err" "$camsim" --bind "$camera" \
      --drop 5,100-102 --quiet || { cat "$work/camsim.err"; fail "camsim did not start"; return; }
    out=$(LD_LIBRARY_PATH=$libdir "$program" "$local_ip" "$camera" 2 2>&1)
    rc=$?
    camsim_stop
    [ "$rc" -eq 0 ] || fail "$(basename "$program") exit status $rc"
    # shellcheck disable=SC2053
    [[ $out == $expected ]] || fail "$(basename "$program") printed:"$'\n'"$out"
  done
}

# prefix_check_python SOURCE_DIR SITE CAMSIM CHART_IMAGE WORK SUBNET: the Python tests against
# the module in SITE (a dist-packages directory), which must be the one imported, on addresses
# 127.SUBNET/16 (the build tree's run of them has 127.32/16).
prefix_check_python() {
  local source_dir=$1 site=$2 camsim=$3 chart_image=$4 work=$5 subnet=$6 found
  found=$(cd "$work" && PYTHONPATH=$site /usr/bin/python3 -c 'import frameprobe; print(frameprobe.__file__)')
  [ "$found" = "$site/frameprobe/__init__.py" ] || { fail "Python imported $found"; return; }
  (cd "$work" && PYTHONPATH=$site FP_CAMSIM=$camsim FP_CHART_IMAGE=$chart_image \
    FP_TEST_SUBNET=$subnet /usr/bin/python3 -m pytest -q -p no:cacheprovider "$source_dir/tests/python") || fail "pytest"
}
