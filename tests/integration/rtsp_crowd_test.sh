#!/bin/bash
# RTSP clients that take more than their share, against the real binary
# (1024 descriptors: a quarter kept in reserve, a quarter of the rest, 192,
# for the RTSP server's connections and as many sessions): one connection
# that pipelines 2000 SETUPs gets four sessions, 453 for the rest and one
# log line; one address with 48 connections of four gets a quarter of the
# sessions, 48, and a viewer at another address plays beside it; a crowd of
# connections from four addresses gets the server's 192 sessions in all and
# no more, viewers at a fifth address over UDP and TCP each take one of
# their places, and the places come back when the crowd leaves; four
# addresses holding every connection with a session each leave a viewer at a
# fifth its place too; connections that
# pipeline OPTIONS and never read leave the box's memory where it was once
# they are gone, twice over; a normal viewer gets its frames throughout.
. "$(dirname "$0")/common.sh"
new_root
LOGF=$ROOT/run/a.log
bash -c "ulimit -n 1024 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
BOX_PID=$!
PIDS+=("$BOX_PID")
wait_log "$LOGF" "RTSP server created on port 554"
U=rtsp://127.0.0.1:554
FLOOD="python3 $M7391_SOURCE_DIR/tests/integration/rtsp_flood.py"

rss_kb() { awk '/^VmRSS/{print $2}' "/proc/$BOX_PID/status"; }
fds() { ls "/proc/$BOX_PID/fd" | wc -l; }
# frames <count> [udp]: how many video frames a viewer over TCP (or UDP)
# decodes, of count.
frames() {
  timeout 120 ffmpeg -nostdin -v error -rtsp_transport "${2:-tcp}" -timeout 15000000 \
    -i "$U/streamA.h264" -frames:v "$1" -f framecrc - 2>/dev/null | grep -c '^0,' || true
}
# wait_fds <n>: waits until the box holds at most n descriptors (the
# connections that left are closed).
wait_fds() {
  for _ in $(seq 1 600); do [ "$(fds)" -le "$1" ] && return 0; sleep 0.1; done
  fail "the box still holds $(fds) descriptors, $1 before"
}
refusals() { grep -c "refusing more" "$LOGF" || true; }

# A first viewer starts what every later one shares.
[ "$(frames 30)" = 30 ] || fail "the first viewer got no frames"
sleep 1
fds0=$(fds)

# One connection asks for 2000 sessions while holding them.
coproc HOLD { $FLOOD setups 554 "$U/streamA.h264" 2000; }
read -r -t 120 got <&"${HOLD[0]}" || fail "no answer to the SETUP flood"
[ "$got" = "200=4 453=1996" ] || fail "2000 SETUPs on one connection: $got"
[ "$(refusals)" = 1 ] || fail "$(refusals) refusal lines for one connection"
grep -q "RTSPServer: 4 sessions on the connection from 127.0.0.1, refusing more" "$LOGF" ||
  fail "no line for the greedy connection"
[ "$(frames 30)" = 30 ] || fail "a viewer beside the greedy connection got no frames"
eval "exec ${HOLD[1]}>&-"
wait "$HOLD_PID" || true
echo "ok: one connection holds 4 sessions ($got)"

# One address, 48 connections of four sessions: a quarter of the 192 are
# its; a viewer elsewhere plays meanwhile.
coproc HOLD { $FLOOD setups 554 "$U/streamA.h264" 4 48 2-2; }
read -r -t 120 got <&"${HOLD[0]}" || fail "no answer to one address's SETUPs"
[ "$got" = "200=48 453=144" ] || fail "48 connections of 4 sessions from one address: $got"
grep -q "RTSPServer: 48 sessions from 127.0.0.2, refusing more" "$LOGF" ||
  fail "no line for the greedy address"
[ "$(refusals)" = 2 ] || fail "$(refusals) refusal lines after the greedy address"
[ "$(frames 30)" = 30 ] || fail "a viewer beside the greedy address got no frames"
eval "exec ${HOLD[1]}>&-"
wait "$HOLD_PID" || true
wait_fds "$fds0"
echo "ok: one address holds 48 sessions ($got)"

# 70 connections of four sessions from four addresses: 192 in all.
coproc HOLD { $FLOOD setups 554 "$U/streamA.h264" 4 70 2-5; }
read -r -t 120 got <&"${HOLD[0]}" || fail "no answer to the crowd's SETUPs"
[ "$got" = "200=192 453=88" ] || fail "70 connections of 4 sessions: $got"
grep -q "RTSPServer: 192 sessions, refusing more" "$LOGF" || fail "no line for the full server"
[ "$(refusals)" = 3 ] || fail "$(refusals) refusal lines after the crowd"
late=$($FLOOD setups 554 "$U/streamA.h264" 1 1 3-3 </dev/null)
[ "$late" = "453=1" ] || fail "a session past the cap from an address of the crowd: $late"
# Two viewers at 127.0.0.1 at once, each taking a place of the crowd's.
frames 30 udp >"$ROOT/tmp/udp" &
udp=$!
tcp=$(frames 30)
wait "$udp" || true
[ "$(cat "$ROOT/tmp/udp")" = 30 ] || fail "a viewer over UDP beside the crowd got $(cat "$ROOT/tmp/udp") frames"
[ "$tcp" = 30 ] || fail "a viewer over TCP beside the crowd got $tcp frames"
grep -q "RTSPServer: session [0-9A-F]* of 127.0.0.[2-5] ended to make room for 127.0.0.1" "$LOGF" ||
  fail "no line for the places taken"
eval "exec ${HOLD[1]}>&-"
wait "$HOLD_PID" || true
wait_fds "$fds0"
[ "$(frames 30)" = 30 ] || fail "a viewer after the crowd left got no frames"
echo "ok: 192 sessions in all, viewers at a fifth address take places of theirs"

# 192 connections of one session each from four addresses: every connection
# the server may have and every session. A viewer at a fifth address takes a
# connection of theirs, and its session with it.
coproc HOLD { $FLOOD setups 554 "$U/streamA.h264" 1 192 2-5; }
read -r -t 120 got <&"${HOLD[0]}" || fail "no answer to the connections' SETUPs"
[ "$got" = "200=192" ] || fail "192 connections of one session: $got"
[ "$(frames 30)" = 30 ] || fail "a viewer beside 192 connections got no frames"
grep -q "RTSPServer: the connection from 127.0.0.[2-5] closed to make room for 127.0.0.1" "$LOGF" ||
  fail "no line for the connection taken"
eval "exec ${HOLD[1]}>&-"
wait "$HOLD_PID" || true
wait_fds "$fds0"
echo "ok: a viewer at a fifth address beside 192 connections"

# Connections that pipeline without reading, twice; a viewer plays meanwhile.
wait_fds "$fds0"
rss0=$(rss_kb)
for round in 1 2; do
  frames 100 >"$ROOT/tmp/viewer$round" &
  viewer=$!
  out=$($FLOOD pipeline 554 "$U/streamA.h264" 20 200000)
  wait "$viewer" || true
  [ "$(cat "$ROOT/tmp/viewer$round")" = 100 ] || fail "the viewer beside the pipelining crowd: $(cat "$ROOT/tmp/viewer$round") frames"
  wait_fds "$fds0"
  rss=$(rss_kb)
  echo "round $round: $out; RSS $rss kB after, $rss0 kB before"
  # The crowd sends hundreds of megabytes: what the box keeps of it must be
  # a few megabytes at most.
  [ "$rss" -le $((rss0 + 32768)) ] || fail "RSS $rss kB after round $round, $rss0 kB before"
done
[ "$(frames 30)" = 30 ] || fail "a viewer after the pipelining crowd got no frames"
echo "ok: memory back where it was after the pipelining crowds"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
grep -q "main cleanup rendezvous met" "$LOGF" || fail "no clean quit"
echo PASS
