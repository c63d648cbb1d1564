#!/usr/bin/env bash
# hostcheck's rmem_max line against what one image takes of a receive buffer as the kernel
# counts it (19003392 bytes), for several caps: each run sees a net.core.rmem_max of its own,
# bind-mounted over the real one in a mount namespace, so the host's setting is never touched.
# Skipped (77) where a mount namespace cannot be made.
#
#   hostcheck_rmem_test.sh HOSTCHECK
set -u
hostcheck=$1
unshare -m true 2>/dev/null || { echo "SKIP: no mount namespace here"; exit 77; }
fake=$(mktemp)
trap 'rm -f "$fake"' EXIT
status=0
# rmem_max | the rmem_max line
while IFS='|' read -r max want; do
  printf '%s\n' "$max" >"$fake"
  got=$(unshare -m bash -c 'mount --bind "$1" /proc/sys/net/core/rmem_max && "$2" 127.0.0.1' \
    sh "$fake" "$hostcheck" 2>&1 | grep '^[A-Z]* *rmem_max ')
  if [ "$got" != "$want" ]; then
    printf 'FAIL: rmem_max %s\n  got:  %s\n  want: %s\n' "$max" "$got" "$want"
    status=1
  fi
done <<'EOF_CASES'
212992|WARN  rmem_max     212992 bytes: an unprivileged frameprobe gets 425984 bytes of receive buffer (20971520 with the cap lifted), 2% of the 19003392 bytes one image needs (the kernel counts each of its 8248 datagrams as 2304 bytes)  | fix: sysctl -w net.core.rmem_max=10485760
6000000|WARN  rmem_max     6000000 bytes: an unprivileged frameprobe gets 12000000 bytes of receive buffer (20971520 with the cap lifted), 63% of the 19003392 bytes one image needs (the kernel counts each of its 8248 datagrams as 2304 bytes)  | fix: sysctl -w net.core.rmem_max=10485760
9501696|OK    rmem_max     9501696 bytes: an unprivileged frameprobe gets 19003392 bytes of receive buffer, 100% of the 19003392 bytes one image needs (the kernel counts each of its 8248 datagrams as 2304 bytes)
10485760|OK    rmem_max     10485760 bytes: an unprivileged frameprobe gets 20971520 bytes of receive buffer, 110% of the 19003392 bytes one image needs (the kernel counts each of its 8248 datagrams as 2304 bytes)
EOF_CASES
exit $status
