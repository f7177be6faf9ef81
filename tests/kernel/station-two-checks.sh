# Sourced by tools/kernel-test.sh once the serial log is read (check and has
# set there): the checks and figures of tests/kernel/station-two.sh.
st_updated() { [ "$(grep -c "^STATION2 $1 RECORD {\"enclosure\".*\"outcome\":\"updated\"" <<<"$log")" -eq "$2" ]; }
check "station, one gadget enclosure: updated, exit 0" eval 'st_updated ONE 1 && has "^STATION2 ONE EXIT 0 "'
check "station, two gadget enclosures at once: both updated, exit 0" \
  eval 'st_updated TWO 2 && has "^STATION2 TWO EXIT 0 "'
check "station, two at once: each enclosure received its own programming" \
  has "^STATION2 TWO PROGRAMMED [1-9][0-9]* [1-9][0-9]*$"
check "station, two at once: the summary counts both" \
  has '^STATION2 TWO RECORD \{"summary":\{"updated":2,"failed":0,"skipped":0\}'
st_one=$(sed -n 's/^STATION2 ONE EXIT [0-9]* took \([0-9.]*\) s$/\1/p' <<<"$log")
st_two=$(sed -n 's/^STATION2 TWO EXIT [0-9]* took \([0-9.]*\) s$/\1/p' <<<"$log")
echo "station with two gadget enclosures at once: ${st_two:-?} s against ${st_one:-?} s for one" \
  "(ratio $(awk -v a="${st_two:-0}" -v b="${st_one:-0}" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "?"}'), goal 1.3 or less;" \
  "guest time, one emulated CPU)"
# Each record's own run time, beside the station's: the station looks for
# enclosures every 2 s, which the wall times include.
st_runs() { grep "^STATION2 $1 RECORD {\"enclosure\"" <<<"$log" | sed 's/.*"path":"\([^"]*\)".*"outcome":"\([a-z]*\)".*"seconds":\([0-9.]*\).*/\1 \2 in \3 s/'; }
echo "station, one: $(st_runs ONE | tr '\n' ';') two at once: $(st_runs TWO | tr '\n' ';')" \
  "section $(awk '/^STATION2 START/ {a = $3} /^STATION2 DONE/ {printf "%.1f", $3 - a}' <<<"$log") s guest time"
