# shellcheck shell=bash
# hostcheck's firewall checks: the nftables ruleset and the legacy iptables tables, each followed
# by follow.awk for three of the camera's datagrams and judged as one result. Sourced by
# hostcheck, whose constants, addresses and helpers it uses.
# shellcheck disable=SC2154 # those are set by hostcheck

# iptables_listing: iptables-save output on standard input as follow.awk's listing.
iptables_listing() { awk -f "$hostcheck_parts/iptables.awk"; }

# judge_firewall CHECK LISTING [IPTABLES]: one result from the three datagrams' fates through
# LISTING (`nft -a list ruleset`, or iptables_listing's); IPTABLES names the iptables command
# of the fix lines (iptables or iptables-legacy).
judge_firewall() {
  local check=$1 listing=$2 iptables=${3:-iptables} small large watchdog
  { read -r small; read -r large; read -r watchdog; } < <(
    awk -f "$hostcheck_parts/follow.awk" -v camera="$camera_ip" -v local="$local_ip" \
      -v iface="$iface" -v camera_port="$camera_port" -v driver_port="$driver_port" \
      -v watchdog_port="$watchdog_port" -v small="$answer_bytes" -v large="$datagram_bytes" \
      <<<"$listing")
  local from="UDP from ${camera_ip:-the camera}:$camera_port"
  if [ "$small $large $watchdog" = "pass pass pass" ]; then
    result "$check" OK "no rule drops $from to $driver_port-$watchdog_port"
    return
  fi
  local worst fate what
  for fate in "$large" "$small" "$watchdog"; do
    [ "${fate%% *}" = drop ] && { worst=$fate; break; }
    [ "${fate%% *}" = maybe ] && worst=${worst:-$fate}
  done
  local where=${worst#* } rule=${worst#*$'\t'}
  where=${where%%$'\t'*}
  local family table chain handle
  read -r family table chain handle <<<"$where"
  if [ "${large%% *}" != pass ] && [ "${small%% *}" = pass ]; then
    what="the image's $datagram_bytes-byte datagrams to $driver_port but not the command answers"
  elif [ "${large%% *}" != pass ]; then
    what="all $from to $driver_port"
  else
    what="$from to $watchdog_port (the watchdog's answers)"
  fi
  local t c fix look
  t=$(shell_quote "$table") c=$(shell_quote "$chain")
  if [ "$family" = iptables ]; then
    look="$iptables -t $t -L $c -nv --line-numbers"
    if [ "$handle" = policy ]; then
      fix="$iptables -t $t -I $c -p udp ${camera_ip:+-s $camera_ip }--sport $camera_port -m multiport --dports $driver_port,$watchdog_port -j ACCEPT"
    else
      fix="$iptables -t $t -D $c $handle"
    fi
  else
    look="nft -a list chain $family $t $c"
    if [ "$handle" = policy ]; then
      fix="nft insert rule $family $t $c ${camera_ip:+ip saddr $camera_ip }udp sport $camera_port udp dport $driver_port-$watchdog_port accept"
    else
      fix="nft delete rule $family $t $c handle $handle"
    fi
  fi
  if [ "${worst%% *}" = maybe ]; then
    result "$check" WARN "a rule may drop $what, it depends on more than addresses, ports, length and connection state: $family $table $chain: $rule" \
      "look at it: $look; if it drops the camera's packets: $fix"
  else
    result "$check" FAIL "drops $what: $family $table $chain: $rule" "$fix"
  fi
}

check_firewall() {
  local listing
  if ! have nft; then
    missing_tool nftables nft nftables
  elif ! listing=$(nft -a list ruleset 2>&1); then
    result nftables WARN "not checked: nft cannot list the rules (${listing%%$'\n'*})" "sudo $rerun"
  else
    judge_firewall nftables "$listing"
  fi
  # iptables with the nf_tables back end shows its rules in the nftables listing already; the
  # legacy back end keeps its own tables, listed in /proc/net/ip_tables_names.
  local saver="" legacy command=iptables
  legacy=$(read_file /proc/net/ip_tables_names)
  if have iptables-legacy-save; then
    saver="iptables-legacy-save" command="iptables-legacy"
  elif have iptables-save && [[ $(iptables -V 2>/dev/null) == *legacy* ]]; then
    saver="iptables-save"
  fi
  if [ -n "$saver" ]; then
    if listing=$("$saver" 2>&1); then
      judge_firewall iptables "$(iptables_listing <<<"$listing")" "$command"
    else
      result iptables WARN "not checked: $saver fails (${listing%%$'\n'*})" "sudo $rerun"
    fi
  elif [ -n "$legacy" ]; then
    result iptables WARN "not checked: legacy iptables tables are loaded ($(tr '\n' ' ' <<<"$legacy" | sed 's/ $//')) but iptables is not installed (package iptables)" \
      "apt-get install iptables"
  else
    result iptables OK "no legacy iptables tables${saver:+ with rules}; iptables over nf_tables is in the nftables check"
  fi
}
