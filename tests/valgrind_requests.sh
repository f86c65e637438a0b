#!/usr/bin/env bash
# Runs swatch under valgrind's memcheck for requests that take every road of
# the image reply: no invalid access, no uninitialised value used, and no
# memory lost (definitely or indirectly) when the image has been written.
#
#   valgrind_requests.sh SWATCH
set -uo pipefail
swatch=$1
failures=0
run() { # PATH QUERY [POST-BODY]
  local log status
  log=$(mktemp)
  local -a env=(SCRIPT_NAME=/cgi-bin/swatch "PATH_INFO=$1" "QUERY_STRING=$2" REQUEST_METHOD=GET)
  if [ $# -gt 2 ]; then env+=(REQUEST_METHOD=POST "CONTENT_LENGTH=${#3}"); fi
  printf '%s' "${3:-}" | env -i "${env[@]}" valgrind -q --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    "$swatch" >/dev/null 2>"$log"
  status=$?
  if [ "$status" -ne 0 ]; then
    echo "FAILED ($status): $1?$2"; cat "$log"; failures=$((failures + 1))
  else
    echo "ok: $1?$2"
  fi
  rm -f "$log"
}
run /40/20/255/0/0 ''
run /40/20 'Outline=0000FF&Corner=FF0000&BgColor=FFFFCC&Color=00FF00'
run /50/50 'LineStyle=xx++&LineWidth=3'
run /60/20 'LineType=ZigZag&LineWidth=2&LineStyle=xxx+'
for type in 1 2 3 4 5 6; do run /30/30 "LineType=Hatch&HatchType=$type&HatchSpacing=3&LineWidth=2"; done
for id in 1 2 3 4 5 6 7; do run /20/20 "SymbolId=$id"; done
run /4/4 '' 'Color=00FF00&Outline=000000'
echo "$failures failed"
[ "$failures" -eq 0 ]
