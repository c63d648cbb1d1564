# Follows three datagrams from the camera through a firewall listing, as `nft -a list ruleset`
# prints it (or as iptables.awk writes an iptables-save listing), along the hooks a datagram to
# this host passes: the interface's ingress, prerouting and input.
#
#   awk -f follow.awk -v camera=CAMERA_IP -v local=LOCAL_IP -v iface=IFACE \
#     -v camera_port=1234 -v driver_port=32100 -v watchdog_port=32101 -v small=64 -v large=1060
#
# The datagrams are UDP from CAMERA_IP:camera_port to LOCAL_IP, arriving on IFACE, in a
# conversation the driver opened (connection state established): a command answer (small bytes as
# an IPv4 datagram) to driver_port, an image datagram (large bytes) to driver_port, and a watchdog
# answer (small) to watchdog_port. One line each, in that order:
#   pass
#   drop FAMILY TABLE CHAIN HANDLE<tab>RULE    that rule, or the chain's policy, drops it
#   maybe FAMILY TABLE CHAIN HANDLE<tab>RULE   a rule this cannot follow may drop it
# HANDLE is "policy" for a chain's policy, RULE then "policy drop". A rule matches, does not
# match, or cannot be told (-1): an expression, statement, field or set this does not know makes
# it -1, and a rule that may drop then gives "maybe", never "pass". CAMERA_IP or IFACE may be
# empty: what needs them cannot be told.

function ip2n(a,   p) {
  if (a !~ /^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$/) return -1
  split(a, p, ".")
  return ((p[1] * 256 + p[2]) * 256 + p[3]) * 256 + p[4]
}

# One value against the datagram's: 1, 0 or -1. Numbers may be ranges (a-b), addresses prefixes
# (a/n) or ranges, names wildcards (eth*); words are compared with the actual's synonyms.
function element(kind, actual, v,   r, n, lo, hi, width) {
  gsub(/^"|"$/, "", v)
  if (actual == "" || kind == "unknown") return -1
  if (kind == "num") {
    if (v ~ /^[0-9]+$/) return actual == v + 0
    if (v ~ /^[0-9]+-[0-9]+$/) {
      split(v, r, "-")
      return actual >= r[1] + 0 && actual <= r[2] + 0
    }
    return -1
  }
  if (kind == "addr") {
    n = ip2n(actual)
    if (v ~ /^[0-9.]+\/[0-9]+$/) {
      split(v, r, "/")
      width = 2 ^ (32 - r[2])
      lo = ip2n(r[1])
      return lo < 0 ? -1 : int(n / width) == int(lo / width)
    }
    if (v ~ /^[0-9.]+-[0-9.]+$/) {
      split(v, r, "-")
      lo = ip2n(r[1])
      hi = ip2n(r[2])
      return (lo < 0 || hi < 0) ? -1 : n >= lo && n <= hi
    }
    lo = ip2n(v)
    return lo < 0 ? -1 : n == lo
  }
  if (kind == "name") {
    if (v ~ /\*$/) return index(actual, substr(v, 1, length(v) - 1)) == 1
    return actual == v
  }
  return index(" " actual " ", " " tolower(v) " ") > 0
}

# One element of a set (or a value) against the rule's fields: a concatenation's parts are joined
# by " . ". A named set's element may carry a timeout, expiry, counter or comment: left out.
function key_matches(e,   part, k, r, res) {
  sub(/^[ \t]+/, "", e)
  sub(/[ \t]+$/, "", e)
  sub(/ (timeout|expires|counter|comment) .*$/, "", e)
  if (split(e, part, / \. /) != nfields) return -1
  res = 1
  for (k = 1; k <= nfields; k++) {
    r = element(fkind[k], factual[k], part[k])
    if (r == 0) return 0
    if (r == -1) res = -1
  }
  return res
}

# The elements of a value into `list` (comma-separated): a set in braces, a named set of the
# rule's table, or one value (flags such as ct state may be several, joined by commas). False for
# a named set that is not in the listing.
function elements_of(v) {
  if (v ~ /^@/) {
    if (!((scope substr(v, 2)) in set_elements)) return 0
    list = set_elements[scope substr(v, 2)]
    return 1
  }
  list = v
  gsub(/^\{ *| *\}$/, "", list)
  return 1
}

# The fields' actuals against a value with an operator: 1, 0 or -1.
function compare(op, v,   e, n, k, r, any, unknown) {
  if (op ~ /^(<|>|<=|>=|lt|gt|le|ge)$/) {
    if (nfields != 1 || fkind[1] != "num" || v !~ /^[0-9]+$/ || factual[1] == "") return -1
    if (op == "<" || op == "lt") return factual[1] < v + 0
    if (op == ">" || op == "gt") return factual[1] > v + 0
    if (op == "<=" || op == "le") return factual[1] <= v + 0
    return factual[1] >= v + 0
  }
  if (!elements_of(v)) return -1
  n = split(list, e, ",")
  any = 0
  unknown = 0
  for (k = 1; k <= n; k++) {
    r = key_matches(e[k])
    if (r == 1) any = 1
    else if (r == -1) unknown = 1
  }
  r = any ? 1 : (unknown ? -1 : 0)
  if (op == "!=" || op == "ne") return r == -1 ? -1 : 1 - r
  return r
}

# A verdict map's decision into `verdict` and `target`: the first element whose key matches.
# Returns 1 when one matches, 0 when none does, -1 when that cannot be told (verdict is then the
# worst of the elements that may match).
function verdict_map(v,   e, n, k, r, at, unknown, worst) {
  if (!elements_of(v)) {
    verdict = "other"
    return -1
  }
  n = split(list, e, ",")
  unknown = 0
  worst = ""
  for (k = 1; k <= n; k++) {
    at = index(e[k], " : ")
    if (!at) {
      verdict = "other"
      return -1
    }
    r = key_matches(substr(e[k], 1, at - 1))
    if (r == 0) continue
    set_verdict(substr(e[k], at + 3))
    if (r == 1 && !unknown) return 1
    unknown = 1
    worst = worse(worst, verdict)
    if (r == 1) break
  }
  verdict = worst
  return unknown ? -1 : 0
}

function set_verdict(text,   w) {
  sub(/^ +/, "", text)
  split(text, w, " ")
  verdict = w[1] == "reject" ? "drop" : w[1]
  target = w[2]
  if (verdict !~ /^(accept|drop|return|continue|jump|goto)$/) verdict = "other"
}

# Of two verdicts of which either may happen, the one to report: a drop before anything that may
# lead elsewhere before an accept.
function worse(a, b) {
  if (a == "drop" || b == "drop") return "drop"
  if (a ~ /^(other|jump|goto)$/ || b ~ /^(other|jump|goto)$/) return "other"
  return a != "" ? a : b
}

# The field that starts at token i: its kind and the datagram's value go to fkind[k] and
# factual[k]; returns the tokens it takes, 0 when token i starts none.
function field(i, k,   t, u, key) {
  t = T[i]
  u = T[i + 1]
  fkind[k] = "num"
  factual[k] = ""
  if (t == "ip" && u ~ /^[a-z]+$/ && u != "vmap") {
    if (u == "saddr") { fkind[k] = "addr"; factual[k] = camera }
    else if (u == "daddr") { fkind[k] = "addr"; factual[k] = local }
    else if (u == "protocol") { fkind[k] = "word"; factual[k] = "udp 17" }
    else if (u == "length") factual[k] = len[d]
    else fkind[k] = "unknown"
    return 2
  }
  if (t == "udp" || t == "th") {
    if (u == "sport") factual[k] = camera_port
    else if (u == "dport") factual[k] = port[d]
    else if (u == "length") factual[k] = len[d] - 20
    else fkind[k] = "unknown"
    return 2
  }
  if (t == "ct") {
    if (u == "state") { fkind[k] = "word"; factual[k] = "established" }
    else if (u == "direction") { fkind[k] = "word"; factual[k] = "reply" }
    else fkind[k] = "unknown"
    return 2
  }
  key = t
  if (t == "meta") key = u
  else if (t !~ /^(iifname|iif|l4proto|nfproto|length|pkttype)$/) return 0
  if (key ~ /^(l4proto|protocol)$/) { fkind[k] = "word"; factual[k] = key == "l4proto" ? "udp 17" : "ip ipv4" }
  else if (key == "nfproto") { fkind[k] = "word"; factual[k] = "ipv4" }
  else if (key == "pkttype") { fkind[k] = "word"; factual[k] = "host unicast" }
  else if (key == "length") factual[k] = len[d]
  else if (key ~ /^iif(name)?$/) { fkind[k] = "name"; factual[k] = iface }
  else fkind[k] = "unknown"
  return t == "meta" ? 2 : 1
}

# iptables targets that let the packet go on to the next rule.
function goes_on(name) {
  gsub(/"/, "", name)
  return name ~ /^(LOG|NFLOG|ULOG|MARK|CONNMARK|CONNSECMARK|SECMARK|CT|NOTRACK|TRACE|CLASSIFY|DSCP|TOS|TTL|HL|TCPMSS|TEE|AUDIT|CHECKSUM|SET|IDLETIMER|LED|RATEEST|HMARK)$/
}

# After a part this cannot read, where its expression ends cannot be told either: the rest of the
# rule is searched for its verdict alone. A verdict seen only inside braces (a map this cannot
# read) counts where no other is found.
function scan_verdict(i, n,   hidden) {
  hidden = ""
  for (; i <= n; i++) {
    if (T[i] ~ /^\{/ && T[i] ~ /[ :](drop|reject)[ ,}]/) hidden = "drop"
    else if (T[i] ~ /^\{/ && T[i] ~ /[ :](jump|goto|queue)[ ,}]/ && hidden == "") hidden = "other"
    if (T[i] ~ /^(accept|drop|reject|return|continue|jump|goto)$/) {
      set_verdict(T[i] " " T[i + 1])
      return
    }
    if (T[i] ~ /^(queue|dnat|snat|redirect|masquerade|tproxy|fwd|synproxy)$/) {
      verdict = "other"
      return
    }
    if (T[i] == "xt" && T[i + 1] == "target" && !goes_on(T[i + 2])) {
      verdict = "other"
      return
    }
    if (T[i] == "vmap") {
      nfields = 0
      verdict_map(T[i + 1])
      if (verdict == "") verdict = "accept"
      return
    }
  }
  verdict = hidden
}

function tokenize(s,   n, c) {
  n = 0
  while (1) {
    sub(/^[ \t]+/, "", s)
    if (s == "") break
    if (substr(s, 1, 1) == "{") {
      c = index(s, "}")
      if (!c) c = length(s)
    } else if (substr(s, 1, 1) == "\"") {
      c = index(substr(s, 2), "\"") + 1
      if (c == 1) c = length(s)
    } else {
      c = match(s, /[ \t]/)
      c = c ? c - 1 : length(s)
    }
    T[++n] = substr(s, 1, c)
    s = substr(s, c + 1)
  }
  return n
}

# 1 when the rule matches datagram d, 0 when not, -1 when that cannot be told; sets verdict
# (accept, drop, return, continue, jump, goto, other, or empty for none) and target.
function matches(rule,   n, i, t, k, used, op, r, res) {
  split("", T)
  n = tokenize(rule)
  res = 1
  verdict = ""
  target = ""
  for (i = 1; i <= n;) {
    t = T[i]
    if (t == "counter") {
      i++
      if (T[i] == "packets") i += 4
      else if (T[i] == "name") i += 2
      continue
    }
    if (t == "log") {
      i++
      while (T[i] ~ /^(prefix|level|group|snaplen|queue-threshold|flags)$/) {
        i += (T[i] == "flags" && T[i + 1] ~ /^(tcp|ip)$/) ? 3 : 2
      }
      continue
    }
    if (t == "comment") { i += 2; continue }
    if (t == "notrack") { i++; continue }
    if (t == "xt" && T[i + 1] == "target" && goes_on(T[i + 2])) { i += 3; continue }
    if (t ~ /^(accept|drop|reject|return|continue|jump|goto|queue|dnat|snat|redirect|masquerade|tproxy|fwd|synproxy)$/ || (t == "xt" && T[i + 1] == "target")) {
      scan_verdict(i, n)
      return res
    }
    # A header of another protocol than UDP over IPv4: never this datagram.
    if (t ~ /^(tcp|udplite|sctp|dccp|icmp|igmp|esp|ah|comp|gre|ip6|icmpv6|arp)$/ && T[i + 1] ~ /^[a-z-]+$/) return 0
    nfields = 0
    while ((used = field(i, nfields + 1)) > 0) {
      nfields++
      i += used
      if (T[i] != ".") break
      i++
    }
    if (nfields == 0 || T[i] == "." || T[i] == "") {
      scan_verdict(i, n)
      return -1
    }
    if (T[i] == "vmap") {
      r = verdict_map(T[i + 1])
      if (r == 0) return 0
      return r == -1 ? -1 : res
    }
    op = ""
    if (T[i] ~ /^(==|!=|<|>|<=|>=|eq|ne|lt|gt|le|ge)$/) {
      op = T[i]
      i++
    }
    r = compare(op, T[i])
    i++
    if (r == 0) return 0
    if (r == -1) res = -1
  }
  return res
}

function note_maybe(key) {
  if (maybe_drop == "") maybe_drop = key
}

# Follows datagram d through chain c: accept, drop or return (the end of the chain, or a return
# verdict); `decided` is the rule that settled it.
function run(c, depth,   j, m, v, r) {
  if (depth > 16) {
    skipped = 1
    return "return"
  }
  for (j = 1; j <= nrules[c]; j++) {
    scope = prefix[c]
    m = matches(rule[c, j])
    if (m == 0 || verdict == "" || verdict == "continue") continue
    v = verdict
    if (v == "other") {
      # queued, redirected or handed to a target this does not know: it may be gone.
      note_maybe(c SUBSEP j)
      skipped = 1
      continue
    }
    if (m == -1) {
      if (v == "drop") note_maybe(c SUBSEP j)
      else if (v == "jump" || v == "goto") {
        if (run(prefix[c] target, depth + 1) == "drop") note_maybe(decided)
      }
      skipped = 1
      continue
    }
    if (v == "jump" || v == "goto") {
      r = run(prefix[c] target, depth + 1)
      if (r != "return") return r
      if (v == "goto") return "return"
      continue
    }
    if (v == "return") return "return"
    decided = c SUBSEP j
    return v
  }
  return "return"
}

function show(state, key,   p) {
  split(key, p, SUBSEP)
  if (p[2]) printf "%s %s %s\t%s\n", state, p[1], handle[p[1], p[2]], shown[p[1], p[2]]
  else printf "%s %s policy\tpolicy %s\n", state, p[1], policy[p[1]]
}

# The listing: tables at the left margin, their chains, sets and maps one tab in, a chain's
# rules and a set's lines two tabs in.
/^table / {
  family = $2
  table = $3
  object = ""
  next
}
/^\t(chain|set|map) / {
  object = $1
  sub(/^\t/, "", object)
  name = family " " table " " $2
  if (object == "chain") prefix[name] = family " " table " "
  next
}
/^\t[^\t}]/ { object = "other"; next }
/^\t}/ { object = ""; next }
object == "chain" && /^\t\ttype / {
  hook = ""
  if (match($0, / hook [a-z]+/)) hook = substr($0, RSTART + 6, RLENGTH - 6)
  on = 0
  if ((family == "ip" || family == "inet" || family == "iptables") && hook ~ /^(prerouting|input)$/) on = 1
  if ((family == "netdev" || family == "inet") && hook == "ingress" && iface != "") {
    devices = $0
    sub(/ priority .*/, "", devices)
    sub(/.* devices? (= )?/, "", devices)
    gsub(/[{},"]/, " ", devices)
    if (index(" " devices " ", " " iface " ")) on = 1
  }
  if (on) {
    rank = hook == "ingress" ? 1 : (hook == "prerouting" ? 2 : 3)
    base[++nbase] = name
    base_rank[nbase] = rank
  }
  policy[name] = / policy drop;/ ? "drop" : "accept"
  next
}
object == "chain" && /^\t\tcomment / { next }
# The rule as its user wrote it, where the listing was translated (iptables.awk).
object == "chain" && /^\t\t# / {
  written = substr($0, 5)
  next
}
object == "chain" && /^\t\t/ {
  text = $0
  sub(/^\t+/, "", text)
  h = ""
  if (match(text, / # handle [0-9]+$/)) {
    h = substr(text, RSTART + 10)
    text = substr(text, 1, RSTART - 1)
  }
  nrules[name]++
  rule[name, nrules[name]] = text
  shown[name, nrules[name]] = written != "" ? written : text
  handle[name, nrules[name]] = h
  written = ""
  next
}
(object == "set" || object == "map") && /^\t\telements = \{/ {
  collecting = 1
  set_elements[name] = ""
}
collecting {
  text = $0
  sub(/^[ \t]*(elements = \{)?[ \t]*/, "", text)
  if (sub(/[ \t]*\}[ \t]*$/, "", text)) collecting = 0
  set_elements[name] = set_elements[name] (set_elements[name] == "" ? "" : " ") text
}

END {
  port[1] = driver_port
  len[1] = small
  port[2] = driver_port
  len[2] = large
  port[3] = watchdog_port
  len[3] = small
  for (d = 1; d <= 3; d++) {
    state = "pass"
    maybe_drop = ""
    skipped = 0
    for (rank = 1; rank <= 3 && state == "pass"; rank++) {
      for (b = 1; b <= nbase && state == "pass"; b++) {
        if (base_rank[b] != rank) continue
        decided = ""
        r = run(base[b], 0)
        if (r == "return") {
          r = policy[base[b]]
          decided = base[b]
        }
        if (r == "drop") state = skipped ? "maybe" : "drop"
      }
    }
    if (state == "pass" && maybe_drop != "") {
      state = "maybe"
      decided = maybe_drop
    }
    if (state == "pass") print "pass"
    else show(state, decided)
  }
}
