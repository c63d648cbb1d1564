#!/usr/bin/env bash
# hostcheck's texts with hostile names: a name as a fix line shows it, pasted into a shell, is one
# word again and runs nothing; --json stays JSON whatever a text holds, each text read back as it
# was.
#
#   report_test.sh HOSTCHECK
set -u
# shellcheck source=hostcheck/hostcheck
. "$1" || exit 1
status=0
fail() { echo "FAIL: $*"; status=1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

controls=""
for code in {1..31} 127; do
  printf -v char '%b' "\\0$(printf %03o "$code")"
  controls+=$char
done
# shellcheck disable=SC2016 # the names are to hold $( and ` as they are
hostile=(eth0 eth0.100 'a;id' 'x$(touch ran)' 'y`touch ran`' "it's" 'two words' 'a|b&c>d' '*'
  '~' '{a,b}' 'q"uote' 'back\slash' $'c\001d' $'esc\033[31m' $'del\177' "$controls")
for name in "${hostile[@]}"; do
  shown=$(printf '%q' "$name")
  quoted=$(shell_quote "$name")
  [[ $quoted == *[$'\001'-$'\037'$'\177']* ]] && fail "shell_quote $shown left a control character"
  back=$(cd "$dir" && bash -c "set -- $quoted"' && printf "%s:%s" "$#" "$1"')
  [ "$back" = "1:$name" ] || fail "shell_quote $shown gave $quoted, which a shell reads as '$back'"
done
[ -e "$dir/ran" ] && fail "a quoted name ran a command"
[ "$(shell_quote eth0.100)" = eth0.100 ] || fail "a plain name was quoted: $(shell_quote eth0.100)"

# The JSON view of two results whose texts hold every control character, quotes and backslashes.
for name in "${hostile[@]}"; do
  result address FAIL "10.1.1.1 on $name, which is down" "ip link set dev $(shell_quote "$name") up"
done
result mtu OK "$controls\"\\" "" '"mtu_bytes": 1500'
json=$(print_json 10.1.1.1 "" 0)
if command -v jq >/dev/null; then
  i=0
  for name in "${hostile[@]}"; do
    got=$(jq -j --argjson i "$i" '.checks[$i].found' <<<"$json") ||
      { fail "--json is not JSON: $(printf %q "$json")"; break; }
    [ "$got" = "10.1.1.1 on $name, which is down" ] || fail "found text of $(printf %q "$name") read back as $(printf %q "$got")"
    i=$((i + 1))
  done
  [ "$(jq -j '[.camera_ip, .fails, .warnings, .checks[-1].found, .checks[-1].fix, .checks[-1].mtu_bytes] | map(tostring) | join("|")' <<<"$json")" = "null|${#hostile[@]}|0|$controls\"\\|null|1500" ] ||
    fail "--json fields: $(printf %q "$json")"
else
  echo "SKIP: jq is not installed (package jq): --json not read back"
fi
[ $status -eq 0 ] && echo "hostcheck's texts: ${#hostile[@]} names quoted and read back"
exit $status
