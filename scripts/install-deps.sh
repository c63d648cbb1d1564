#!/usr/bin/env bash
# Installs what building and testing frameprobe needs, from Debian's packages, when it is missing.
# Needs root on Debian; elsewhere it says what to install and fails. tshark, tcpdump, nft, ethtool,
# jq, mandoc, chromium, npm and python3-prometheus-client are wanted by tests only, which skip or
# say so without them: their absence alone is a note, not a failure. FP_NEED_TESTS=0 leaves out
# what only the tests and benchmarks need (scripts/package.sh); FP_NEED_PACKAGE=1 adds what
# building the Debian package needs; FP_NEED_TSA=1 adds clang, for the tsa preset's
# thread-safety analysis.
set -euo pipefail
# --help: the comment at the top of this file.
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac

need=()
command -v g++ >/dev/null || need+=(g++)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
tests=${FP_NEED_TESTS:-1}
if [ "$tests" = 1 ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
fi
# framegrab alone: PNG and TIFF files, JSON, its command line and the HTTP server of its page.
[ -f /usr/include/png.h ] || need+=(libpng-dev)
[ -f /usr/include/x86_64-linux-gnu/tiffio.h ] || [ -f /usr/include/tiffio.h ] || need+=(libtiff-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/microhttpd.h ] || need+=(libmicrohttpd-dev)
command -v pkg-config >/dev/null || need+=(pkg-config)
# Captures of a camera's traffic, read by framegrab and replayed by camsim, through libpcap.
[ -f /usr/include/pcap/pcap.h ] || need+=(libpcap-dev)
# The Python module: pybind11 and Python's headers to build it, numpy to run it.
[ -f /usr/include/pybind11/pybind11.h ] || need+=(pybind11-dev)
ls /usr/include/python3*/Python.h >/dev/null 2>&1 || need+=(python3-dev)
/usr/bin/python3 -c 'import numpy' 2>/dev/null || need+=(python3-numpy)
if [ "${FP_NEED_FORMAT:-0}" = 1 ]; then
  command -v clang-format >/dev/null || need+=(clang-format)
fi
# The thread-safety analysis of the tsa preset: clang alone.
if [ "${FP_NEED_TSA:-0}" = 1 ]; then
  command -v clang++ >/dev/null || need+=(clang)
fi
# The fuzz targets: clang with its sanitizer and fuzzer runtimes.
if [ "${FP_NEED_FUZZ:-0}" = 1 ]; then
  command -v clang++ >/dev/null || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    need+=(libclang-rt-14-dev)
fi
# The Debian package: dpkg-shlibdeps and dpkg-buildflags, and file, with which CPack finds the
# binaries whose libraries become the package's dependencies.
if [ "${FP_NEED_PACKAGE:-0}" = 1 ]; then
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v file >/dev/null || need+=(file)
fi
want=()
if [ "$tests" = 1 ]; then
  # The tests that decode the simulator's captures with the Wireshark dissector run tshark.
  command -v tshark >/dev/null || want+=(tshark)
  # The network lab's capture tests take their captures with tcpdump (dumpcap comes with tshark).
  command -v tcpdump >/dev/null || want+=(tcpdump)
  # hostcheck's tests in the network lab set nftables rules, read receive rings with ethtool and
  # read hostcheck's --json with jq; hostcheck itself runs without them, naming what it left out.
  command -v nft >/dev/null || want+=(nftables)
  command -v ethtool >/dev/null || want+=(ethtool)
  command -v jq >/dev/null || want+=(jq)
  # The package test lints the manual pages with mandoc (groff's warnings without it).
  command -v mandoc >/dev/null || want+=(mandoc)
  # framegrab's live page and report are opened in headless Chromium, driven by playwright-core
  # from the npm registry (tests/framegrab/browser); the test skips without them.
  command -v chromium >/dev/null || want+=(chromium)
  command -v npm >/dev/null || want+=(nodejs npm)
  # The Python module's tests run pytest; `pip install .` is tried in a virtual environment with
  # Debian's setuptools and wheel (no other registry is reachable).
  /usr/bin/python3 -c 'import pytest' 2>/dev/null || want+=(python3-pytest)
  /usr/bin/python3 -c 'import ensurepip' 2>/dev/null || want+=(python3-venv)
  /usr/bin/python3 -c 'import setuptools' 2>/dev/null || want+=(python3-setuptools)
  /usr/bin/python3 -c 'import wheel' 2>/dev/null || want+=(python3-wheel)
  # The Python example of docs/library.md saves with tifffile.
  /usr/bin/python3 -c 'import tifffile' 2>/dev/null || want+=(python3-tifffile)
  # framegrab's /metrics is read by the Prometheus client's own parser; the check skips without.
  /usr/bin/python3 -c 'import prometheus_client' 2>/dev/null || want+=(python3-prometheus-client)
fi

browser_check() {
  [ "$tests" = 1 ] || return 0
  local dir
  dir="$(dirname "$0")/../tests/framegrab/browser"
  [ -d "$dir/node_modules/playwright-core" ] && return 0
  command -v npm >/dev/null || return 0
  echo "install-deps: npm ci in tests/framegrab/browser (playwright-core, no browser download)"
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error) ||
    echo "install-deps: npm ci failed, so the browser checks of framegrab's page skip" >&2
}

if [ ${#need[@]} -eq 0 ] && [ ${#want[@]} -eq 0 ]; then
  browser_check
  exit 0
fi

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "install-deps: installing ${need[*]} ${want[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # tshark's package would ask whether ordinary users may capture; they need not.
  if [ ${#want[@]} -gt 0 ]; then
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" "${want[@]}"
elif [ ${#need[@]} -gt 0 ]; then
  echo "install-deps: missing packages: ${need[*]} ${want[*]}" >&2
  echo "install-deps: install them with: sudo apt-get install ${need[*]} ${want[*]}" >&2
  exit 1
else
  echo "install-deps: ${want[*]} missing, so the tests that use them skip or say so" >&2
  echo "install-deps: install them with: sudo apt-get install ${want[*]}" >&2
fi
browser_check
