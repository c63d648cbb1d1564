# shellcheck shell=bash
# hostcheck's results and their two views, one line per check or one JSON object; the quoting
# of names in its texts. Sourced by hostcheck.

names=() verdicts=() founds=() fixes=() figures=()
fails=0 warnings=0

# result CHECK OK|WARN|FAIL FOUND [FIX [JSON_FIGURES]]; JSON_FIGURES: '"name": number, ...'
result() {
  names+=("$1") verdicts+=("$2") founds+=("$3") fixes+=("${4:-}") figures+=("${5:-}")
  case "$2" in
    FAIL) fails=$((fails + 1)) ;;
    WARN) warnings=$((warnings + 1)) ;;
  esac
}

# shell_quote WORD: WORD as a shell reads it back as one word: as it is when it holds nothing a
# shell treats specially, in single quotes otherwise, as $'...' when it holds a control
# character (which a terminal would act on). Fix lines are pasted into shells; interface names
# may hold ; $ ` and the like.
shell_quote() {
  if [[ $1 =~ ^[A-Za-z0-9_./:@%+=,-]+$ ]]; then
    printf '%s' "$1"
  elif [[ $1 == *[$'\001'-$'\037'$'\177']* ]]; then
    printf '%q' "$1"
  else
    printf "'%s'" "${1//\'/\'\\\'\'}"
  fi
}

# json_text TEXT: TEXT as a JSON string; every character below 0x20 is escaped.
json_text() {
  local s=$1 code char
  s=${s//\\/\\\\} s=${s//\"/\\\"} s=${s//$'\t'/\\t} s=${s//$'\n'/\\n} s=${s//$'\r'/\\r}
  if [[ $s == *[$'\001'-$'\037']* ]]; then
    for code in {1..31}; do
      printf -v char '%b' "\\0$(printf %03o "$code")"
      [[ $s == *"$char"* ]] && s=${s//"$char"/$(printf '\\u%04x' "$code")}
    done
  fi
  printf '"%s"' "$s"
}

# print_lines: one line per check, then the count.
print_lines() {
  local i
  for i in "${!names[@]}"; do
    printf '%-4s  %-12s %s%s\n' "${verdicts[$i]}" "${names[$i]}" "${founds[$i]}" \
      "${fixes[$i]:+  | fix: ${fixes[$i]}}"
  done
  echo "hostcheck: $fails FAIL, $warnings WARN"
}

# print_json LOCAL_IP CAMERA_IP WATCH_S: one object with the checks.
print_json() {
  local i
  printf '{"local_ip": %s, "camera_ip": %s, "watch_s": %d, "fails": %d, "warnings": %d, "checks": [' \
    "$(json_text "$1")" "$([ -n "$2" ] && json_text "$2" || echo null)" "$3" "$fails" "$warnings"
  for i in "${!names[@]}"; do
    [ "$i" -gt 0 ] && printf ', '
    printf '\n  {"check": %s, "verdict": %s, "found": %s, "fix": %s%s}' "$(json_text "${names[$i]}")" \
      "$(json_text "${verdicts[$i]}")" "$(json_text "${founds[$i]}")" \
      "$([ -n "${fixes[$i]}" ] && json_text "${fixes[$i]}" || echo null)" "${figures[$i]:+, ${figures[$i]}}"
  done
  printf '\n]}\n'
}
