# Sourced by tools/kernel-test.sh once the serial log is read (check, has
# and said set there): the checks of tests/kernel/check-condition.sh.
cc_result() {  # the result line of a run's output, by its log prefix
  grep -m1 -E "^$1 result: " <<<"$log" | sed -E "s/^$1 result: //"
}
cc_exit() { sed -n "s/^$1 EXIT \([0-9]*\)$/\1/p" <<<"$log" | head -1; }
cc_flash() { sed -n "s/^CHECKCOND $1 FLASH \([a-z]*\);.*/\1/p" <<<"$log"; }
# Honest: success only with the image in flash, any other end not exit 0.
cc_honest() {  # exit, result, flash
  case "$2" in
    success*) [ "$1" = 0 ] && [ "$3" = new ];;
    *) [ -n "$2" ] && [ "$1" != 0 ] && { [ "$3" = old ] || [ "$3" = new ] || [ "$1" = 5 ]; };;
  esac
}
cc_row() {  # name, exit prefix, output prefix
  check "check condition, $1: the fault was injected and its sense served" \
    has "^CHECKCOND $1 FLASH [a-z]+; 1 injected, 1 sense served, "
  check "check condition, $1: an honest end (exit $(cc_exit "$2"), flash $(cc_flash "$1"), $(cc_result "$3"))" \
    cc_honest "$(cc_exit "$2")" "$(cc_result "$3")" "$(cc_flash "$1")"
}
cc_row LINUX "CHECKCOND LINUX" "CHECKCOND LINUX\\|"
if has "^WINCONSOLE CHECKCOND EXIT"; then
  cc_wresult() { awk '/^WINCONSOLE [A-Z]+ EXIT/ {run = $2} run == "CHECKCOND" && /^WINCONSOLE\| result: / {print substr($0, 21); exit}' <<<"$log"; }
  check "check condition, WINDOWS: the fault was injected and its sense served" \
    has "^CHECKCOND WINDOWS FLASH [a-z]+; 1 injected, 1 sense served, "
  check "check condition, WINDOWS: an honest end (exit $(cc_exit "WINCONSOLE CHECKCOND"), flash $(cc_flash WINDOWS), $(cc_wresult))" \
    cc_honest "$(cc_exit "WINCONSOLE CHECKCOND")" "$(cc_wresult)" "$(cc_flash WINDOWS)"
  same_end() {
    [ "$(cc_exit "WINCONSOLE CHECKCOND")" = "$(cc_exit "CHECKCOND LINUX")" ] &&
      [ "$(cc_flash WINDOWS)" = "$(cc_flash LINUX)" ] &&
      [ "$(cc_wresult | cut -d' ' -f1)" = "$(cc_result "CHECKCOND LINUX\\|" | cut -d' ' -f1)" ]
  }
  check "check condition: the Windows and the Linux console end alike (exit, flash, result)" same_end
fi
echo "check condition rows: $(awk '/^CHECKCOND START/ {a = $3} /^CHECKCOND DONE/ {printf "%.1f", $3 - a}' <<<"$log") s guest time"
