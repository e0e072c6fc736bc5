#!/bin/bash
# The web server of the real binary, started with 256 descriptors, against
# crowds of connections that send nothing or half a request: from one
# address they get a few places and curl is answered; from many addresses,
# past the web's whole share, curl is answered all the same and the crowd's
# connections are all closed before long. A stream that curl reads all the
# while outlasts the idle time-out.
. "$(dirname "$0")/common.sh"
new_root
B=http://127.0.0.1
W=$ROOT/run
LOGF=$W/a.log
FLOOD="python3 $M7391_SOURCE_DIR/tests/integration/socket_flood.py"
bash -c "ulimit -n 256 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
BOX_PID=$!
PIDS+=("$BOX_PID")
wait_log "$LOGF" "httpd: started"
caps=$(grep -o "web_daemon_start: .*" "$LOGF" | head -1)
[ "$caps" = "web_daemon_start: at most 32 connections, 16 from one address, idle ones closed after 30 s" ] ||
  fail "web caps: $caps"
idle=30

# A stream read from start to end of the test, longer than the time-out,
# from an address of its own (an address that also asks pages holds more
# places than each of the crowd's, and gives one up to them).
curl -s --interface 127.0.0.100 --max-time $((idle + 40)) -o "$W/stream.ts" "$B/streamA.ts" &
STREAM=$!
PIDS+=("$STREAM")

# answered <what>: curl gets the parameter, waiting as long as a client
# would (the crowd's connections may take the time-out to go).
answered() {
  local code
  code=$(curl -s -g --max-time 90 -o /dev/null -w "%{http_code}" "$B/Video[0].BitRate") || true
  [ "$code" = 200 ] || fail "curl $1: $code"
}
# waits for the flood whose output is in $1 to hold its connections
holding() {
  for _ in $(seq 600); do grep -q holding "$1" && return 0; sleep 0.1; done
  fail "the flood did not start: $(cat "$1")"
}
# field <file> <port line number> <word>: a count of a flood's report
field() { sed -n "$2{s/.* $3 \([0-9]*\).*/\1/;p;}" <(grep "^port" "$1"); }

# One address: 1100 connections, half of them with half a request.
$FLOOD 15 80:550:2 80:550:2:half >"$W/one.txt" 2>&1 &
F1=$!
PIDS+=("$F1")
holding "$W/one.txt"
answered "beside 1100 connections of one address"
wait $F1 || fail "flood: $(cat "$W/one.txt")"
opened=$(( $(field "$W/one.txt" 1 opened) + $(field "$W/one.txt" 2 opened) ))
closed=$(( $(field "$W/one.txt" 1 closed) + $(field "$W/one.txt" 2 closed) ))
[ $((opened - closed)) -le 16 ] || fail "one address holds $((opened - closed)) of $opened connections"
echo "ok: one address ($opened connections, $closed closed by the box)"

# Forty addresses, 600 connections, past the web's share: curl still gets in,
# and every connection of the crowd is closed, each at most the time-out
# after the box took it (those past the cap wait in the listen queue until
# a place frees, so the last go some time-outs after the first).
$FLOOD --until-closed $((idle * 4 + 15)) 80:300:3-42 80:300:3-42:half >"$W/many.txt" 2>&1 &
F2=$!
PIDS+=("$F2")
holding "$W/many.txt"
answered "beside 600 connections of 40 addresses"
wait $F2 || fail "flood: $(cat "$W/many.txt")"
opened=$(( $(field "$W/many.txt" 1 opened) + $(field "$W/many.txt" 2 opened) ))
closed=$(( $(field "$W/many.txt" 1 closed) + $(field "$W/many.txt" 2 closed) ))
[ "$opened" -gt 32 ] || fail "the crowd opened $opened connections"
[ "$closed" = "$opened" ] || fail "$((opened - closed)) of $opened idle connections still open after $((idle * 4 + 15)) s"
echo "ok: forty addresses ($opened connections, all closed by the box)"

# The stream was read the whole time: curl ended at its own time limit.
rc=0
wait $STREAM || rc=$?
[ "$rc" = 28 ] || fail "the stream ended with curl status $rc after $(stat -c %s "$W/stream.ts") bytes"
size=$(stat -c %s "$W/stream.ts")
[ "$size" -gt 100000 ] || fail "the stream gave $size bytes"
# At its cap the web makes room for an address holding fewer places (it
# refuses only newcomers of the addresses holding the most).
grep -q "web_places_open: 32 connections: a place of .* goes to" "$LOGF" || fail "the web made no room at its cap"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
