#!/bin/sh
# The guest has no udev: this gives each SCSI generic node the group and mode
# a udev rules file assigns it, evaluating the file's own keys against the
# node's sysfs ancestry as udev does (SUBSYSTEM on the node; SUBSYSTEMS and
# ATTRS{...} all on one ancestor; ==, != and "a|b" glob patterns; GOTO,
# LABEL, GROUP=, MODE=). A key it does not know fails the run, so the rule
# cannot grow past what this test checks. Nodes no rule assigns keep what
# they have. Prints "UDEV RULE sgN GROUP MODE" for each node it changes.
#   udev-rule.sh RULES_FILE
rules=$1
sys=${TX_SYSFS:-/sys}   # another tree, to try the evaluator outside the guest
status=0
for class in "$sys"/class/scsi_generic/*; do
  node=$(basename "$class")
  # The devices from the node up, as udev walks its parents.
  chain=""
  d=$(readlink -f "$class")
  while [ "$d" != "$sys" ] && [ "$d" != / ]; do
    [ -e "$d/uevent" ] && chain="$chain $d"
    d=$(dirname "$d")
  done
  out=$(awk -v chain="$chain" '
    function fail(why) { print "ERROR " why; failed = 1; exit 1 }
    function subsystem(dir,   cmd, s) {
      cmd = "readlink " dir "/subsystem"; s = ""; cmd | getline s; close(cmd)
      sub(".*/", "", s); return s
    }
    function attr(dir, name,   v, f) {
      f = dir "/" name; v = ""
      if ((getline v < f) <= 0) { close(f); return "\001" }   # absent: matches nothing
      close(f); sub("[ \t\n]+$", "", v); return v
    }
    # A udev pattern: shell globs, alternatives split by |.
    function matches(value, pattern,   n, alt, i, re) {
      n = split(pattern, alt, "|")
      for (i = 1; i <= n; i++) {
        re = alt[i]; gsub(/[.+^$(){}\\]/, "\\\\&", re); gsub(/\*/, ".*", re); gsub(/\?/, ".", re)
        if (value ~ ("^" re "$")) return 1
      }
      return 0
    }
    function test(value, op, pattern) { return op == "==" ? matches(value, pattern) : !matches(value, pattern) }
    BEGIN { n = split(chain, dev, " "); group = ""; mode = "" }
    { sub(/^[ \t]+/, "") }
    /^#/ || /^$/ { next }
    {
      nk = 0; line = $0
      while (match(line, /^[A-Z]+(\{[A-Za-z0-9_]+\})?(==|!=|=)"[^"]*"/)) {
        k = substr(line, 1, RLENGTH); line = substr(line, RLENGTH + 1); sub(/^[ \t]*,?[ \t]*/, "", line)
        nk++; key[nk] = k; sub(/(==|!=|=)".*/, "", key[nk])
        op[nk] = k; sub(/^[A-Z]+(\{[A-Za-z0-9_]+\})?/, "", op[nk]); sub(/".*/, "", op[nk])
        val[nk] = k; sub(/^[^"]*"/, "", val[nk]); sub(/"$/, "", val[nk])
      }
      if (line != "") fail("cannot read: " $0)
      if (skipto != "") { for (i = 1; i <= nk; i++) if (key[i] == "LABEL" && val[i] == skipto) skipto = ""; next }
      # The node itself.
      ok = 1; parents = 0
      for (i = 1; i <= nk; i++) {
        if (key[i] == "SUBSYSTEM") { if (!test(subsystem(dev[1]), op[i], val[i])) ok = 0 }
        else if (key[i] == "SUBSYSTEMS" || key[i] ~ /^ATTRS\{/) parents = 1
        else if (key[i] !~ /^(GOTO|LABEL|GROUP|MODE)$/) fail("unknown key " key[i])
        else if (op[i] != "=") fail("only = for " key[i])
      }
      # Every parent key on one device of the chain.
      if (ok && parents) {
        found = 0
        for (j = 1; j <= n && !found; j++) {
          all = 1
          for (i = 1; i <= nk && all; i++) {
            if (key[i] == "SUBSYSTEMS") all = test(subsystem(dev[j]), op[i], val[i])
            else if (key[i] ~ /^ATTRS\{/) {
              a = key[i]; sub(/^ATTRS\{/, "", a); sub(/\}$/, "", a)
              all = test(attr(dev[j], a), op[i], val[i])
            }
          }
          found = all
        }
        ok = found
      }
      if (!ok) next
      for (i = 1; i <= nk; i++) {
        if (key[i] == "GROUP") group = val[i]
        if (key[i] == "MODE") mode = val[i]
        if (key[i] == "GOTO") skipto = val[i]
      }
    }
    END { if (!failed) print group, mode }
  ' "$rules") || { echo "UDEV RULE $node $out"; status=1; continue; }
  set -- $out
  [ -n "${1:-}" ] || continue
  [ -z "${TX_SYSFS:-}" ] || { echo "UDEV RULE $node $1 ${2:--}"; continue; }
  gid=$(awk -F: -v g="$1" '$1 == g {print $3}' /etc/group)
  [ -n "$gid" ] || { echo "UDEV RULE $node ERROR no group $1"; status=1; continue; }
  chgrp "$gid" "/dev/$node" && { [ -z "${2:-}" ] || chmod "$2" "/dev/$node"; } || status=1
  echo "UDEV RULE $node $1 ${2:--}"
done
exit $status
