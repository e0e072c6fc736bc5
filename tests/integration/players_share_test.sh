#!/bin/bash
# Players against the real binary, each 127.0.0.x a host of its own. At the
# board's 1024 descriptors, 195 RTMP players from one address: 48 play (a
# quarter of 192), the others get an error status and a clean close, one log
# line; three more addresses take the other 144 places, and every connection
# the server may have plays: ffmpeg at a fifth address takes the place of
# one of theirs and plays. At 20000 descriptors, where the descriptor share
# would allow thousands: 240 RTMP players and 240 RTSP sessions from eight
# addresses get 192 each, no more, and a player and a viewer at another
# address each take a place of theirs.
. "$(dirname "$0")/common.sh"
new_root
W=$ROOT/run
PY="python3 $M7391_SOURCE_DIR/tests/integration/rtmp_client.py"
FLOOD="python3 $M7391_SOURCE_DIR/tests/integration/rtsp_flood.py"

# box <descriptors>: starts the box with that limit, waits for its servers.
box() {
  LOGF=$W/box$1.log
  bash -c "ulimit -n $1 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
  BOX_PID=$!
  PIDS+=("$BOX_PID")
  wait_log "$LOGF" "httpd: started"
  wait_log "$LOGF" "RTSP server created on port 554"
}
quit_box() {
  kill -INT "$BOX_PID"
  wait_exit "$BOX_PID" 60
  grep -q "main cleanup rendezvous met" "$LOGF" || fail "no clean quit"
}
refusals() { grep -c "refusing more" "$LOGF" || true; }
# ffmpeg_plays <what>: ffmpeg at 127.0.0.1 decodes 30 frames of channel A.
ffmpeg_plays() {
  local n
  n=$(timeout 60 ffmpeg -nostdin -v error -i rtmp://127.0.0.1/live/streamA.m3u8 -frames:v 30 \
    -f framecrc - 2>"$W/ff.txt" | grep -c '^0,' || true)
  [ "$n" = 30 ] || fail "ffmpeg $1: $n frames, $(cat "$W/ff.txt")"
}

box 1024
coproc P { $PY players 195 2-2; }
read -r -t 200 got <&"${P[0]}" || fail "no outcome for the players of one address"
[ "$got" = "playing 48 refused 147" ] || fail "195 players from one address: $got"
grep -q "serverThread: 48 players from 127.0.0.2, refusing more" "$LOGF" || fail "no line for the greedy address"
[ "$(refusals)" = 1 ] || fail "$(refusals) refusal lines for one address"
timeout 60 rtmpdump -q --live -r rtmp://127.0.0.1/live -y streamA.m3u8 --stop 4 -o "$W/a.flv" || true
codecs=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$W/a.flv" 2>&1 | sort | tr '\n' ' ')
[ "$codecs" = "aac h264 " ] || fail "rtmpdump beside the greedy address: $codecs"
err=$(ffmpeg -nostdin -v error -i "$W/a.flv" -fps_mode passthrough -f null - 2>&1 || echo "ffmpeg failed")
[ -z "$err" ] || fail "the file rtmpdump made: $err"
# Three more addresses fill the players' places and the connections'.
mkfifo "$W/more"
$PY players 144 3-5 <"$W/more" >"$W/more.txt" &
PIDS+=("$!")
exec 8>"$W/more"
for _ in $(seq 2000); do [ -s "$W/more.txt" ] && break; sleep 0.1; done
[ "$(cat "$W/more.txt")" = "playing 144 refused 0" ] || fail "144 players from three addresses: $(cat "$W/more.txt")"
ffmpeg_plays "at a fifth address"
grep -q "rtmpServerThrFxn: the player from 127.0.0.[2-5] closed to make room for 127.0.0.1" "$LOGF" ||
  fail "no line for the place taken"
exec 8>&-
eval "exec ${P[1]}>&-"
wait "$P_PID" || true
echo "ok: one address plays 48 RTMP players, four 192, a fifth plays beside them"
quit_box

box 20000
coproc P { $PY players 240 2-9; }
read -r -t 200 got <&"${P[0]}" || fail "no outcome for 240 players"
# Plays of connections made one after another may reach the server out of
# order: one that found a place of its address's free may be taken back by
# one from an address holding fewer. 192 play in the end.
read -r _ playing _ refused _ <<<"$got"
[ "$playing" -ge 192 ] && [ $((playing + refused)) -ge 238 ] ||
  fail "240 RTMP players from eight addresses: $got"
for _ in $(seq 100); do
  [ "$(ss -tnH state established '( sport = :1935 )' | wc -l)" = 192 ] && break
  sleep 0.1
done
[ "$(ss -tnH state established '( sport = :1935 )' | wc -l)" = 192 ] ||
  fail "240 RTMP players from eight addresses: $got, $(ss -tnH state established '( sport = :1935 )' | wc -l) connections held"
grep -q "serverThread: 192 players, refusing more" "$LOGF" || fail "no line for the RTMP ceiling"
ffmpeg_plays "beside 192 players"
# One line an episode: when plays out of order already took places back
# among the eight, the line names that episode's first newcomer.
grep -q "rtmpServerThrFxn: the player from 127.0.0.[2-9] closed to make room for 127.0.0.[1-9]" "$LOGF" ||
  fail "no line for the player's place taken"
eval "exec ${P[1]}>&-"
wait "$P_PID" || true
coproc HOLD { $FLOOD setups 554 rtsp://127.0.0.1:554/streamA.h264 4 60 2-9; }
read -r -t 120 got <&"${HOLD[0]}" || fail "no answer to the RTSP crowd"
[ "$got" = "200=192 453=48" ] || fail "60 RTSP connections of 4 sessions from eight addresses: $got"
grep -q "RTSPServer: 192 sessions, refusing more" "$LOGF" || fail "no line for the RTSP ceiling"
[ "$(refusals)" = 2 ] || fail "$(refusals) refusal lines at the ceilings"
n=$(timeout 120 ffmpeg -nostdin -v error -rtsp_transport tcp -timeout 15000000 \
  -i rtsp://127.0.0.1:554/streamA.h264 -frames:v 30 -f framecrc - 2>/dev/null | grep -c '^0,' || true)
[ "$n" = 30 ] || fail "an RTSP viewer beside 192 sessions got $n frames"
grep -q "RTSPServer: session [0-9A-F]* of 127.0.0.[2-9] ended to make room for 127.0.0.1" "$LOGF" ||
  fail "no line for the session taken"
eval "exec ${HOLD[1]}>&-"
wait "$HOLD_PID" || true
echo "ok: 192 RTMP players and 192 RTSP sessions at 20000 descriptors, others still play"
quit_box
echo PASS
