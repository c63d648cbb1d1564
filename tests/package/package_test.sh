#!/usr/bin/env bash
# The Debian package as a user gets it: scripts/package.sh builds it (reusing build/package, so
# that a second run only repackages), its file list and control fields are as intended, and the
# programs unpacked from it into a temporary root run: usage line, --help, --version, a whole
# image from the unpacked camsim through the unpacked frameprobe and framegrab on loopback.
# The manual pages lint clean, render, and name every flag of their program's --help. Skips
# (77) where the packaging tools are missing.
set -u
source_dir=$1
version=$2
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

if ! "$source_dir/scripts/package.sh" --output "$work" >"$work/package.log" 2>&1; then
  cat "$work/package.log"; echo "FAIL: scripts/package.sh"; exit 1
fi
deb=$(tail -n 1 "$work/package.log")
arch=$(dpkg --print-architecture)
[ "$deb" = "$work/frameprobe_${version}_$arch.deb" ] || fail "package file $deb"
echo "package: $(stat -c %s "$deb") bytes"

# Exactly these files, all root's: nothing of the build tree.
plugins=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)/wireshark/plugins
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
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' <<<"$listing" | sort)
[ "$files" = "$expected" ] || fail "files in the package:"$'\n'"$files"
awk '$2 != "root/root" { exit 1 }' <<<"$listing" || fail "files not owned by root"
awk '$1 !~ /^d/ && $6 ~ /usr\/bin\// && $1 != "-rwxr-xr-x" { exit 1 }' <<<"$listing" || fail "program modes"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = frameprobe ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Recommends)" = "iproute2, ethtool, nftables" ] || fail "Recommends: $(field Recommends)"
depends=$(field Depends | tr ',' '\n' | awk '{ print $1 }')
for lib in libc6 libstdc++6 libpng16-16 libtiff6; do
  grep -qxF "$lib" <<<"$depends" || fail "Depends lacks $lib: $(field Depends)"
done

root=$work/root
dpkg -x "$deb" "$root"
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
  [ "$name" = frameprobe ] && continue
  for flag in $("$bin/$name" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
    grep -qF -- "$flag" <<<"$text" || fail "$name(1) lacks $flag"
  done
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

[ $status -eq 0 ] && echo "package: all checks passed"
exit $status
