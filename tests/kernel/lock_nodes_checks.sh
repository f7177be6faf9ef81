# Sourced by tools/kernel-test.sh once the serial log is read: the checks of
# tests/kernel/lock_nodes.sh (check, has and said are set there).
for held in SG BLOCK; do
  check "held through the $held node: a console through the other node is refused" \
    has "^CONSOLE LOCKBY$held EXIT [14]$"
  check "held through the $held node: the refused console says the device is in use" \
    said LOCKBY$held ".*device in use"
  check "held through the $held node: nothing reached the enclosure from the other node" \
    has "^GADGET LOCK LOCKBY$held 0 commands"
  check "held through the $held node: the holding update succeeds" \
    has "^CONSOLE LOCKBY${held}HOLDER EXIT 0$"
done
