# shellcheck shell=bash
# Starting camsim in the background and waiting until it listens, for the scripts and shell
# tests that run it. Sourced, not run.

# camsim_await_line TEXT FILE PID: polls up to 10 s for TEXT in FILE, written by process PID.
# False when it never comes or the process ends without writing it.
camsim_await_line() {
  local _
  for _ in $(seq 100); do
    grep -q "$1" "$2" && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  grep -q "$1" "$2"
}

# camsim_start OUT ERR COMMAND...: runs COMMAND (camsim and its flags, behind a prefix such as
# "netlab.sh exec LAB camera" where it runs elsewhere) in the background with its standard
# output in OUT and its standard error in ERR (both in OUT when ERR is the same file), sets
# camsim_pid, and waits up to 10 s until camsim says it listens: its socket is bound and its
# signal handlers are set by then. The files are emptied first, so that a line of an earlier
# run cannot pass for this one's. False when camsim ended or did not say so in time; it is then
# left as it is.
camsim_start() {
  local out=$1 err=$2
  shift 2
  : >"$out"
  : >"$err"
  if [ "$out" = "$err" ]; then
    "$@" >"$out" 2>&1 &
  else
    "$@" >"$out" 2>"$err" &
  fi
  camsim_pid=$!
  camsim_await_line "camsim: listening on" "$err" "$camsim_pid"
}

# camsim_stop: ends the camsim that camsim_start started, if it still runs, and waits for it.
camsim_stop() {
  [ -n "${camsim_pid:-}" ] && kill "$camsim_pid" 2>/dev/null && wait "$camsim_pid" 2>/dev/null
  camsim_pid=
}
