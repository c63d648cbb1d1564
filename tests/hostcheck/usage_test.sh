#!/usr/bin/env bash
# hostcheck's arguments: each bad one is a usage error (exit 2) with one line naming it, and
# nothing of it is run.
#
#   usage_test.sh HOSTCHECK
set -u
hostcheck=$1
status=0
# arguments | the first line on standard error
while IFS='|' read -r args want; do
  eval "set -- $args"
  got=$("$hostcheck" "$@" 2>&1 >/dev/null | head -1)
  "$hostcheck" "$@" >/dev/null 2>&1; rc=$?
  if [ "$rc" -ne 2 ] || [ "$got" != "hostcheck: $want" ]; then
    echo "FAIL: hostcheck $args: exit status $rc, '$got'"
    status=1
  fi
done <<'EOF_CASES'
|give LOCAL_IP and, if known, CAMERA_IP
1.2.3.4 1.2.3.5 1.2.3.6|give LOCAL_IP and, if known, CAMERA_IP
localhost|LOCAL_IP must be a dotted quad such as 192.168.1.10, not 'localhost'
'$(touch /tmp/hc-usage-x)'|LOCAL_IP must be a dotted quad such as 192.168.1.10, not '$(touch /tmp/hc-usage-x)'
1.2.3.256|LOCAL_IP must be a dotted quad such as 192.168.1.10, not '1.2.3.256'
01.2.3.4|LOCAL_IP must be a dotted quad such as 192.168.1.10, not '01.2.3.4'
1.2.3.4 '1.2.3.5;id'|CAMERA_IP must be a dotted quad such as 192.168.1.20, not '1.2.3.5;id'
--watch 0 1.2.3.4|--watch takes whole seconds from 1 to 3600, not '0'
--watch 3601 1.2.3.4|--watch takes whole seconds from 1 to 3600, not '3601'
1.2.3.4 --watch|--watch needs a number of seconds
--verbose 1.2.3.4|unknown option '--verbose'
EOF_CASES
[ -e /tmp/hc-usage-x ] && { echo "FAIL: an argument reached a shell"; rm -f /tmp/hc-usage-x; status=1; }
"$hostcheck" --help | grep -q "^usage: hostcheck \[--json\] \[--watch SECONDS\] LOCAL_IP \[CAMERA_IP\]$" ||
  { echo "FAIL: --help"; status=1; }
exit $status
