#!/usr/bin/env bash
# frameprobe with a number of arguments other than two prints exactly the usage line, creates no
# file and exits 0.
set -u
program=$1
dir=$(mktemp -d)
out_file=$(mktemp)
trap 'rm -rf "$dir" "$out_file"' EXIT
cd "$dir" || exit 1
expected=$(printf 'usage: frameprobe local_ip remote_ip\n\n' | od -c)
status=0
for args in "" "127.0.0.1" "127.0.0.1 127.0.0.2 extra"; do
  # Into a file outside the working directory, so that rc is the program's exit status: in
  # "out=$(program | od -c)" it would be od's.
  # shellcheck disable=SC2086
  "$program" $args >"$out_file"
  rc=$?
  out=$(od -c "$out_file")
  if [ "$out" != "$expected" ]; then
    echo "FAIL: output for [$args] was:"; echo "$out"; status=1
  fi
  if [ "$rc" -ne 0 ]; then echo "FAIL: exit status $rc for [$args]"; status=1; fi
  if [ -n "$(ls -A)" ]; then echo "FAIL: files created for [$args]: $(ls -A)"; status=1; fi
done
[ $status -eq 0 ] && echo "usage line: all cases passed"
exit $status
