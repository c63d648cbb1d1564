# Turns `iptables-save` output into a listing follow.awk reads: a table of family "iptables" per
# iptables table, every chain with its policy and, for INPUT and PREROUTING, its hook; each rule
# as the matches follow.awk knows, numbered as `iptables -D CHAIN N` counts, under a comment line
# with the rule as iptables-save wrote it (follow.awk shows that one).
#
#   iptables-save | awk -f iptables.awk
#
# Options it does not know are copied as they are, so that follow.awk cannot tell the rule's
# match; targets other than ACCEPT, DROP, REJECT, RETURN and the table's own chains become
# `xt target "NAME"`, as nft shows them.

# The words of a rule; a quoted text (with \" and \\ in it) is one word, its quotes kept.
function words(s,   n, w, quoted, i, ch) {
  n = 0
  w = ""
  quoted = 0
  for (i = 1; i <= length(s); i++) {
    ch = substr(s, i, 1)
    if (quoted) {
      w = w ch
      if (ch == "\\") w = w substr(s, ++i, 1)
      else if (ch == "\"") quoted = 0
      continue
    }
    if (ch == " " || ch == "\t") {
      if (w != "") W[++n] = w
      w = ""
      continue
    }
    if (ch == "\"") quoted = 1
    w = w ch
  }
  if (w != "") W[++n] = w
  return n
}

# A port list of iptables (a:b ranges, commas) as an nft set.
function ports(v) {
  gsub(/:/, "-", v)
  gsub(/,/, ", ", v)
  return "{ " v " }"
}

function flush(   k, c) {
  if (tbl == "") return
  print "table iptables " tbl " {"
  for (k = 1; k <= nchains; k++) {
    c = chains[k]
    print "\tchain " c " {"
    if (c == "INPUT" || c == "PREROUTING") {
      print "\t\ttype filter hook " tolower(c) " priority 0; policy " policy[c] ";"
    }
    if (c in body) printf "%s", body[c]
    print "\t}"
  }
  print "}"
  tbl = ""
}

function translate(n,   i, o, v, neg, out, target) {
  out = ""
  neg = ""
  for (i = 3; i <= n; i++) {
    o = W[i]
    v = W[i + 1]
    if (o == "!") {
      neg = "!= "
      continue
    }
    if (o == "-j" || o == "-g") {
      if (v == "ACCEPT") target = "accept"
      else if (v == "DROP") target = "drop"
      else if (v == "REJECT") target = "reject"
      else if (v == "RETURN") target = "return"
      else if (v in declared) target = (o == "-j" ? "jump " : "goto ") v
      else target = "xt target \"" v "\""
      return substr(out " " target, 2)
    }
    i++
    if (o == "-m" || o == "--comment") continue
    if (o == "-s") out = out " ip saddr " neg v
    else if (o == "-d") out = out " ip daddr " neg v
    else if (o == "-i") {
      if (v ~ /\+$/) v = substr(v, 1, length(v) - 1) "*"
      out = out " iifname " neg "\"" v "\""
    } else if (o == "-p" && v == "all") {
      if (neg != "") out = out " ! -p all"  # matches nothing: not known, so never an OK
    } else if (o == "-p") out = out " meta l4proto " neg v
    else if (o ~ /^--(dport|dports|destination-port|destination-ports)$/) out = out " th dport " neg ports(v)
    else if (o ~ /^--(sport|sports|source-port|source-ports)$/) out = out " th sport " neg ports(v)
    else if (o == "--length") {
      gsub(/:/, "-", v)
      out = out " meta length " neg v
    } else if (o == "--ctstate" || o == "--state") out = out " ct state " neg tolower(v)
    else {
      # Not known: the option and its values as they are.
      out = out " " (neg == "" ? "" : "! ") o
      for (i--; i + 1 <= n && W[i + 1] !~ /^-/ && W[i + 1] != "!"; i++) out = out " " W[i + 1]
    }
    neg = ""
  }
  return substr(out, 2)
}

/^\*/ {
  flush()
  tbl = substr($0, 2)
  nchains = 0
  split("", declared)
  split("", body)
  split("", count)
  next
}
/^:/ {
  name = substr($1, 2)
  chains[++nchains] = name
  declared[name] = 1
  policy[name] = $2 == "DROP" ? "drop" : "accept"
  next
}
/^(\[[0-9]+:[0-9]+\] )?-A / {
  line = $0
  sub(/^\[[0-9]+:[0-9]+\] /, "", line)
  n = words(line)
  chain = W[2]
  count[chain]++
  body[chain] = body[chain] "\t\t# " line "\n\t\t" translate(n) " # handle " count[chain] "\n"
  next
}
/^COMMIT/ { flush() }
END { flush() }
