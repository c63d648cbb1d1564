#!/usr/bin/env bash
# camsim on the command line: bad flags exit 2 with a message, --help exits 0, and a run ends
# on --exit-after, SIGTERM and SIGINT with its statistics on standard output.
set -u
camsim=$1
status=0
fail() { echo "FAIL: $*"; status=1; }

for args in "--bogus" "--rate fast" "--drop 9000" "--loss 2" "--port" "--id 12345678901234567890123" \
    "--quiet=1"; do
  # shellcheck disable=SC2086
  err=$("$camsim" $args 2>&1 >/dev/null); rc=$?
  [ "$rc" -eq 2 ] || fail "exit status $rc for [$args]"
  case "$err" in camsim:*) ;; *) fail "no message for [$args]: $err" ;; esac
done

err=$("$camsim" --quiet=1 2>&1 >/dev/null)
case "$err" in *"--quiet: takes no value"*) ;; *) fail "--quiet=1 message: $err" ;; esac

out=$("$camsim" --help); rc=$?
[ "$rc" -eq 0 ] || fail "--help exit status $rc"
case "$out" in *--answer-after-stream*) ;; *) fail "--help text incomplete" ;; esac

out=$("$camsim" --bind 127.2.250.1 --exit-after 0.3 --quiet 2>/dev/null); rc=$?
[ "$rc" -eq 0 ] || fail "--exit-after exit status $rc"
case "$out" in *"achieved rate"*) ;; *) fail "no statistics after --exit-after: $out" ;; esac

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
net=251
for sig in TERM INT; do
  "$camsim" --bind 127.2.$net.1 --quiet >"$tmp" 2>/dev/null &
  pid=$!
  sleep 0.3
  kill -"$sig" "$pid"
  wait "$pid"; rc=$?
  [ "$rc" -eq 0 ] || fail "SIG$sig exit status $rc"
  grep -q "commands received: 0" "$tmp" || fail "no statistics after SIG$sig: $(cat "$tmp")"
  net=$((net + 1))
done

[ $status -eq 0 ] && echo "camsim command line: all cases passed"
exit $status
