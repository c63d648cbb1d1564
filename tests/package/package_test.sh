#!/usr/bin/env bash
# The Debian packages as a user gets them, made by scripts/package.sh of the suite's own build
# (--from-build: the build whose tests ran, so nothing is compiled again): their file lists and
# control fields are as intended, and what they install, unpacked into a temporary root, runs:
# the programs (usage line, --help, --version, a whole image from the unpacked camsim through the
# unpacked frameprobe and framegrab on loopback), the example program built against the unpacked
# library and -dev package, and the Python tests against the unpacked module. The manual pages
# lint clean, render, and name every flag and operand of their program's --help
# (scripts/check-docs.py, which the docs tests run on the pages in the tree). Skips (77) where the
# packaging tools are missing, and in sanitizer builds: their programs need the sanitizer's
# runtime, which no package provides, so they go into none (the plain builds' suites package
# theirs). CONFIG is the build type, which names the CMake package's file of imported targets.
#
#   package_test.sh SOURCE_DIR VERSION CHART_IMAGE BUILD_DIR CONFIG SANITIZE
set -u
source_dir=$1
version=$2
chart_image=$3
build_dir=$4
config=$5
sanitize=$6
if [ -n "$sanitize" ]; then
  echo "SKIP: the $sanitize sanitizer build's programs need the sanitizer's runtime and go into" \
    "no package; the dev build's suite packages its own"
  exit 77
fi
for tool in cpack dpkg-deb dpkg-shlibdeps dpkg-buildflags dpkg-architecture file; do
  command -v "$tool" >/dev/null ||
    { echo "SKIP: $tool is not installed (FP_NEED_PACKAGE=1 scripts/install-deps.sh)"; exit 77; }
done
# shellcheck source=scripts/lib/camsim.sh
. "$source_dir/scripts/lib/camsim.sh"
status=0
fail() { echo "FAIL: $*"; status=1; }
work=$(mktemp -d)
trap 'camsim_stop; rm -rf "$work"' EXIT
# shellcheck source=tests/install/prefix_checks.sh
source "$source_dir/tests/install/prefix_checks.sh"

if ! "$source_dir/scripts/package.sh" --from-build "$build_dir" --output "$work" \
    >"$work/package.log" 2>&1; then
  cat "$work/package.log"; echo "FAIL: scripts/package.sh --from-build $build_dir"; exit 1
fi
arch=$(dpkg --print-architecture)
multiarch=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)
names="frameprobe libframeprobe-dev libframeprobe1 python3-frameprobe"
debs=$(tail -n 4 "$work/package.log")
[ "$debs" = "$(for name in $names; do echo "$work/${name}_${version}_$arch.deb"; done)" ] ||
  fail "package files: $debs"
deb=$work/frameprobe_${version}_$arch.deb
lib=$work/libframeprobe1_${version}_$arch.deb
dev=$work/libframeprobe-dev_${version}_$arch.deb
py=$work/python3-frameprobe_${version}_$arch.deb
for package in $debs; do echo "package: $(basename "$package") $(stat -c %s "$package") bytes"; done

# Exactly these files, all root's: nothing of the build tree.
plugins=$multiarch/wireshark/plugins
expected="usr/bin/camsim
usr/bin/framegrab
usr/bin/frameprobe
usr/bin/hostcheck
$plugins/nudp.lua
usr/share/doc/frameprobe/LICENSE
usr/share/doc/frameprobe/README.md
usr/share/doc/frameprobe/copyright
usr/share/frameprobe/hostcheck/firewall.sh
usr/share/frameprobe/hostcheck/follow.awk
usr/share/frameprobe/hostcheck/iptables.awk
usr/share/frameprobe/hostcheck/report.sh
usr/share/man/man1/camsim.1.gz
usr/share/man/man1/framegrab.1.gz
usr/share/man/man1/frameprobe.1.gz
usr/share/man/man1/hostcheck.1.gz"
python_site=usr/lib/python3/dist-packages/frameprobe
python_module=_frameprobe$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
expected_lib="$multiarch/libframeprobe.so.1
$multiarch/libframeprobe.so.1.0.0
usr/share/doc/libframeprobe1/copyright"
expected_dev="$multiarch/cmake/frameprobe/frameprobeConfig.cmake
$multiarch/cmake/frameprobe/frameprobeConfigVersion.cmake
$multiarch/cmake/frameprobe/frameprobeTargets-$(tr '[:upper:]' '[:lower:]' <<<"${config:-noconfig}").cmake
$multiarch/cmake/frameprobe/frameprobeTargets.cmake
$multiarch/libframeprobe.so
$multiarch/pkgconfig/frameprobe.pc
usr/include/frameprobe/Camera.h
usr/include/frameprobe/CounterList.h
usr/include/frameprobe/Counters.h
usr/include/frameprobe/Export.h
usr/include/frameprobe/Protocol.h
usr/include/frameprobe/Version.h
usr/include/frameprobe/frameprobe.h
usr/share/doc/libframeprobe-dev/copyright"
expected_py="$python_site/$python_module
$python_site/__init__.py
$python_site/_frameprobe.pyi
$python_site/py.typed
usr/share/doc/python3-frameprobe/copyright"
for pair in "$deb:expected" "$lib:expected_lib" "$dev:expected_dev" "$py:expected_py"; do
  package=${pair%:*}
  want=${pair##*:}
  listing=$(dpkg-deb -c "$package")
  files=$(awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' <<<"$listing" | LC_ALL=C sort)
  [ "$files" = "$(LC_ALL=C sort <<<"${!want}")" ] ||
    fail "files in $(basename "$package"):"$'\n'"$files"
  awk '$2 != "root/root" { exit 1 }' <<<"$listing" || fail "files of $(basename "$package") not owned by root"
done
awk '$1 !~ /^d/ && $6 ~ /usr\/bin\// && $1 != "-rwxr-xr-x" { exit 1 }' <<<"$(dpkg-deb -c "$deb")" ||
  fail "program modes"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Recommends)" = "iproute2, ethtool, nftables" ] || fail "Recommends: $(field Recommends)"
# Each package's name, section, version and Depends: the libraries dpkg-shlibdeps found, and for
# the -dev and Python packages what they need besides.
for row in "$deb frameprobe net libc6 libstdc++6 libpng16-16 libmicrohttpd12 libtiff6 libpcap0.8" \
    "$lib libframeprobe1 libs libc6 libstdc++6" \
    "$dev libframeprobe-dev libdevel libframeprobe1" \
    "$py python3-frameprobe python libc6 libstdc++6 python3 python3-numpy"; do
  read -r package name section wanted <<<"$row"
  [ "$(dpkg-deb -f "$package" Package)" = "$name" ] || fail "Package of $(basename "$package")"
  [ "$(dpkg-deb -f "$package" Section)" = "$section" ] || fail "Section of $name"
  [ "$(dpkg-deb -f "$package" Version)" = "$version" ] || fail "Version of $name"
  depends=$(dpkg-deb -f "$package" Depends | tr ',' '\n' | awk '{ print $1 }')
  for want in $wanted; do
    grep -qxF "$want" <<<"$depends" ||
      fail "Depends of $name lacks $want: $(dpkg-deb -f "$package" Depends)"
  done
done
[ "$(dpkg-deb -f "$dev" Depends)" = "libframeprobe1 (= $version)" ] ||
  fail "Depends of libframeprobe-dev: $(dpkg-deb -f "$dev" Depends)"
if dpkg-deb -f "$deb" Depends | grep -q libframeprobe; then
  fail "the programs depend on the library"
fi
# The shlibs file through which programs built against the library depend on libframeprobe1.
[ "$(dpkg-deb -I "$lib" shlibs 2>/dev/null)" = "libframeprobe 1 libframeprobe1 (>= $version)" ] ||
  fail "shlibs of libframeprobe1: $(dpkg-deb -I "$lib" shlibs 2>&1)"
[ "$(dpkg-deb -I "$lib" triggers 2>/dev/null)" = "activate-noawait ldconfig" ] ||
  fail "libframeprobe1 does not renew the loader's cache"

root=$work/root
for package in $debs; do dpkg -x "$package" "$root"; done
bin=$root/usr/bin

# One line per program: the command, its exit status and the first line it prints.
while IFS='|' read -r cmd want_rc want_line; do
  # shellcheck disable=SC2086
  out=$(cd "$work" && "$bin"/$cmd 2>&1); rc=$?
  [ "$rc" -eq "$want_rc" ] || fail "$cmd: exit status $rc"
  [ "$(head -n 1 <<<"$out")" = "$want_line" ] || fail "$cmd printed: $out"
done <<EOF
frameprobe|0|usage: frameprobe local_ip remote_ip
camsim --help|0|usage: camsim [flags]
camsim --version|0|camsim $version
framegrab --version|0|framegrab $version
hostcheck --help|0|usage: hostcheck [--json] [--watch SECONDS] LOCAL_IP [CAMERA_IP]
hostcheck|2|hostcheck: give LOCAL_IP and, if known, CAMERA_IP
EOF

# The unpacked camsim, with packet 5 left out, and the unpacked frameprobe and framegrab against
# it; an address of 127.24/16 that depends on this script's process id.
camera=127.24.$(($$ / 250 % 250 + 1)).$(($$ % 125 * 2 + 1))
local_ip=${camera%.*}.$((${camera##*.} + 1))
camsim_start "$work/camsim.txt" "$work/camsim.txt" \
  "$bin/camsim" --bind "$camera" --drop 5 --quiet --exit-after 60 ||
  fail "camsim did not start: $(cat "$work/camsim.txt")"
mkdir "$work/run"
(cd "$work/run" && "$bin/frameprobe" "$local_ip" "$camera") >"$work/console.txt" 2>&1 ||
  fail "frameprobe exit status $?"
for line in "Data taking started." "Missing packets retransmitted." \
    "Camera ID received (length=32). String is: FrameProbe CamSim 1"; do
  grep -qxF "$line" "$work/console.txt" || fail "frameprobe did not print '$line'"
done
{ [ -s "$work/run/log.txt" ] && [ -s "$work/run/log_err.txt" ]; } || fail "no log.txt and log_err.txt"
"$bin/framegrab" "$local_ip" "$camera" --images 2 --save "$work/pics" --quiet ||
  fail "framegrab exit status $?"
[ -s "$work/pics/image-000001.png" ] || fail "framegrab saved no picture"
[ $status -eq 0 ] || { cat "$work/console.txt" "$work/camsim.txt"; }
camsim_stop

# The manual pages: no lint message, rendered by man, and every flag of --help in the page.
for page in "$root"/usr/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  if command -v mandoc >/dev/null; then
    lint=$(mandoc -Tlint "$page" 2>&1)
  else
    lint=$(zcat "$page" | groff -man -ww -z 2>&1)
  fi
  [ -z "$lint" ] || fail "$name(1) lint: $lint"
  text=$(LC_ALL=C MANWIDTH=200 man -l "$page" 2>"$work/man.err")
  [ -s "$work/man.err" ] && fail "$name(1) man -l: $(cat "$work/man.err")"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || fail "$name(1) has no $section"
  done
  faults=$(python3 "$source_dir/scripts/check-docs.py" man-flags "$page" "$bin/$name") ||
    fail "$name(1): $faults"
done

# Where Debian's Wireshark loads Lua plugins for every user, and loadable as a plugin.
if command -v tshark >/dev/null; then
  global=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
  [ "$global" = "/$plugins" ] || fail "Wireshark's Lua plugins are in $global, not /$plugins"
  mkdir -p "$work/home/.local/lib/wireshark/plugins"
  cp "$root/$plugins/nudp.lua" "$work/home/.local/lib/wireshark/plugins/"
  HOME=$work/home tshark -G protocols 2>/dev/null | grep -q $'\tnudp$' ||
    fail "tshark did not load nudp.lua as a plugin"
else
  echo "note: tshark is not installed; the dissector's directory was not checked"
fi

# The library and the module, unpacked: the example program and the Python tests.
prefix_check_library "$root/$multiarch" "$root/usr/include"
prefix_check_example "$source_dir" "$root/usr" "$root/$multiarch" "$bin/camsim" "$work"
prefix_check_python "$source_dir" "$root/usr/lib/python3/dist-packages" "$bin/camsim" \
  "$chart_image" "$work" 35

[ $status -eq 0 ] && echo "package: all checks passed"
exit $status
