#!/usr/bin/env bash
# `pip install .` as docs/library.md gives it: into a virtual environment that sees Debian's Python
# packages, without build isolation and without any package index; then the Python grab tests
# against the module installed there. setup.py takes the module this suite's build made
# (FP_BUILD_DIR), so nothing is compiled again. Skips (77) where venv or wheel is missing.
#
#   pip_test.sh SOURCE_DIR CAMSIM CHART_IMAGE BUILD_DIR
set -u
source_dir=$1
camsim=$2
chart_image=$3
build_dir=$4
python=/usr/bin/python3
"$python" -c 'import ensurepip, wheel, setuptools' 2>/dev/null ||
  { echo "SKIP: python3-venv, python3-wheel or python3-setuptools is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv --system-site-packages "$work/venv" || { echo "FAIL: python3 -m venv"; exit 1; }
# setup.py keeps its egg-info in build/pip, and setuptools its own staging in build/: two suites
# installing at once wait for each other.
mkdir -p "$source_dir/build/pip"
exec 9>"$source_dir/build/pip/.pip.lock"
flock 9
if ! FP_BUILD_DIR=$build_dir "$work/venv/bin/pip" install --no-build-isolation --no-index \
    "$source_dir" >"$work/pip.log" 2>&1; then
  cat "$work/pip.log"; echo "FAIL: pip install"; exit 1
fi
flock -u 9
status=0
found=$(cd "$work" && "$work/venv/bin/python" -c 'import frameprobe; print(frameprobe.__file__)')
case "$found" in
  "$work"/venv/lib/python3*/site-packages/frameprobe/__init__.py) ;;
  *) echo "FAIL: the virtual environment imports $found"; status=1 ;;
esac
[ -f "$(dirname "$found")/_frameprobe.pyi" ] || { echo "FAIL: no type stubs installed"; status=1; }
(cd "$work" && FP_CAMSIM=$camsim FP_CHART_IMAGE=$chart_image FP_TEST_SUBNET=36 \
  "$work/venv/bin/python" -m pytest \
  -q -p no:cacheprovider "$source_dir/tests/python/test_grab.py") || { echo "FAIL: pytest"; status=1; }
if git -C "$source_dir" status --porcelain 2>/dev/null | grep -q 'egg-info'; then
  echo "FAIL: pip left its egg-info in the source tree"; status=1
fi
[ $status -eq 0 ] && echo "pip: all checks passed"
exit $status
