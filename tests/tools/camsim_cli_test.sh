#!/usr/bin/env bash
# camsim on the command line: bad flags exit 2 with a message, --help exits 0, and a run ends
# on --exit-after, SIGTERM and SIGINT with its statistics on standard output; a capture file
# that cannot be opened exits 2 before anything is bound, and a capture is written on SIGTERM
# and SIGINT.
set -u
camsim=$1
# shellcheck source=scripts/lib/camsim.sh
. "$(dirname "$0")/../../scripts/lib/camsim.sh"
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

# The port is fixed, so each run takes an address of its own, and one that depends on this
# script's process id: a second run of the suite at the same time on this machine (another
# build, a stress run) then binds elsewhere.
address() { echo "127.$1.$(($$ / 250 % 250 + 1)).$(($$ % 250 + 1))"; }

out=$("$camsim" --bind "$(address 20)" --exit-after 0.3 --quiet 2>/dev/null); rc=$?
[ "$rc" -eq 0 ] || fail "--exit-after exit status $rc"
case "$out" in *"achieved rate"*) ;; *) fail "no statistics after --exit-after: $out" ;; esac


# Waits up to 10 s for process "$1" to end and sets rc to its exit status; kills it and sets rc
# to 124 when it does not end in time.
bounded_wait() {
  for _ in $(seq 100); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$1" 2>/dev/null; then
    kill -KILL "$1"
    wait "$1"
    rc=124
    return
  fi
  wait "$1"; rc=$?
}

# Starts camsim with flags "$4"... writing "$2" and "$3", and sets pid; when it does not start,
# fails the case named "$1", ends what was started and returns 1.
start_or_fail() {
  local name=$1 out=$2 err=$3
  shift 3
  camsim_start "$out" "$err" "$camsim" "$@"
  local started=$?
  pid=$camsim_pid
  [ "$started" -eq 0 ] && return 0
  fail "$name: camsim did not start: $(cat "$err")"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid"
  return 1
}

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
net=21
for sig in TERM INT; do
  # Each run writes files of its own, made before camsim starts. With files shared between the
  # runs, the wait below could find the first run's "listening" line before the second camsim
  # had even truncated the file, and signal it before it set its handlers: a background job of
  # a non-interactive shell starts with SIGINT ignored, so that signal would be lost.
  out_file="$dir/sig$sig.out"
  err_file="$dir/sig$sig.err"
  # The signal handlers are in place before camsim says it listens.
  start_or_fail "SIG$sig" "$out_file" "$err_file" --bind "$(address $net)" --quiet ||
    { net=$((net + 1)); continue; }
  kill -"$sig" "$pid"
  bounded_wait "$pid"
  [ "$rc" -eq 0 ] || fail "SIG$sig exit status $rc"
  grep -q "commands received: 0" "$out_file" || fail "no statistics after SIG$sig: $(cat "$out_file")"
  grep -q "camsim: signal $(kill -l "$sig"), stopping" "$err_file" ||
    fail "no stop line after SIG$sig: $(cat "$err_file")"
  net=$((net + 1))
done

err=$("$camsim" --bind 127.11.100.1 --pcap /nonexistent-dir/x.pcap 2>&1 >/dev/null); rc=$?
[ "$rc" -eq 2 ] || fail "--pcap into a missing directory: exit status $rc"
case "$err" in
  "camsim: --pcap: cannot open capture file /nonexistent-dir/x.pcap: No such file or directory") ;;
  *) fail "--pcap into a missing directory: $err" ;;
esac

# One 0xEF command and its answer are in the capture once camsim has ended on a signal: the
# file header (24 bytes) and two records of 16 + 20 (IPv4) + 8 (UDP) bytes plus the 8-byte
# command and the 40-byte answer.
net=101
for sig in TERM INT; do
  out_file="$dir/pcap$sig.out"
  err_file="$dir/pcap$sig.err"
  pcap="$dir/pcap$sig.pcap"
  # 127.11.x.y: the addresses of the capture tests.
  addr="127.11.$net.$(($$ % 250 + 1))"
  start_or_fail "--pcap SIG$sig" "$out_file" "$err_file" --bind "$addr" --pcap "$pcap" ||
    { net=$((net + 1)); continue; }
  printf '\xff\x00\x00\x11\xef\x00\x00\x00' >"/dev/udp/$addr/1234"
  camsim_await_line "answer FF 00 80 91 EF 00 00 00 +32" "$err_file" "$pid" ||
    fail "--pcap SIG$sig: no answer traced: $(cat "$err_file")"
  kill -"$sig" "$pid"
  bounded_wait "$pid"
  [ "$rc" -eq 0 ] || fail "--pcap SIG$sig exit status $rc"
  size=$(stat -c %s "$pcap" 2>/dev/null || echo missing)
  [ "$size" = 160 ] || fail "--pcap SIG$sig: capture of $size bytes, not 160"
  grep -q "datagrams captured: 2 in $pcap" "$out_file" ||
    fail "--pcap SIG$sig: no capture line: $(cat "$out_file")"
  net=$((net + 1))
done

[ $status -eq 0 ] && echo "camsim command line: all cases passed"
exit $status
