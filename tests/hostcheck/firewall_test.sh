#!/usr/bin/env bash
# hostcheck's firewall verdicts on stored rulesets, without root and without touching this
# host's firewall: each case of nftables.rulesets and iptables.rulesets is judged as hostcheck
# judges what nft and iptables-save print, and its line must be the stored one exactly.
#
#   firewall_test.sh HOSTCHECK
set -u
# shellcheck source=hostcheck/hostcheck
. "$1" || exit 1
here=$(dirname "$0")
status=0
local_ip=10.1.1.1 camera_ip=10.1.1.2 iface=eth0

for check in nftables iptables; do
  cases=0
  title="" want="" listing=""
  judge_case() {
    [ -n "$title" ] || return 0
    cases=$((cases + 1))
    names=() verdicts=() founds=() fixes=() figures=() fails=0 warnings=0
    if [ "$check" = iptables ]; then
      judge_firewall iptables "$(iptables_listing <<<"$listing")"
    else
      judge_firewall nftables "$listing"
    fi
    local got
    got=$(print_lines | head -n 1)
    if [ "$got" != "$want" ]; then
      printf 'FAIL: %s, %s\n  got:  %s\n  want: %s\n' "$check" "$title" "$got" "$want"
      status=1
    fi
  }
  while IFS= read -r line; do
    if [[ $line == "=== "* ]]; then
      judge_case
      title=${line#=== } want="" listing=""
    elif [ -n "$title" ] && [ -z "$want" ]; then
      want=$line
    elif [ -n "$title" ]; then
      listing+=$line$'\n'
    fi
  done <"$here/$check.rulesets"
  judge_case
  [ "$cases" -gt 0 ] || { echo "FAIL: no cases in $check.rulesets"; status=1; }
  echo "$check: $cases rulesets"
done
exit $status
