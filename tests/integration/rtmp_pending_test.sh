#!/bin/bash
# RTMP clients that hold unfinished messages: hundreds of connections that
# each send all but the last byte of a 1 MB message. The box holds a few MiB
# of them in all (its heap and resident size stay near where they were),
# closes the rest, and as many connections that leave before their
# handshake, with a few log lines for the whole flood; a player still plays
# meanwhile. Then at the board's 1024 descriptors: 144 players from three
# addresses, and 400 silent connections a second from a fourth, which take
# every place left: a player at a fifth address gets in and plays each time.
. "$(dirname "$0")/common.sh"
new_root
PY="python3 $M7391_SOURCE_DIR/tests/integration/rtmp_client.py"
U=rtmp://127.0.0.1/live
W=$ROOT/run
N=200
start_box "$W/a.log"
wait_log "$LOGF" "httpd: started"
rss() { awk '/^VmRSS/ {print $2}' /proc/$BOX_PID/status; }
# heap: kB the process holds from the allocator, in use and mmapped (the
# simulated board's memory report).
heap() {
  rm -f "$W/sim/memory"
  echo memory >>"$W/sim_board.cmd"
  for _ in $(seq 200); do [ -s "$W/sim/memory" ] && break; sleep 0.1; done
  awk '/^malloc/ { print int(($3 + $4) / 1024) }' "$W/sim/memory"
}
codecs() { ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$1" 2>/dev/null | grep . | sort -u | tr '\n' ' '; }

# A player first, so that the encoders' rings are in use before measuring.
timeout --foreground 200 ffmpeg -nostdin -v error -i $U/streamA.m3u8 -progress "$W/ffp.txt" -fps_mode passthrough -f null - \
  >"$W/ff.txt" 2>&1 &
FF=$!
PIDS+=("$FF")
frames() { grep "^frame=" "$W/ffp.txt" 2>/dev/null | tail -1 | cut -d= -f2; }
for _ in $(seq 300); do [ "$(frames)" -gt 30 ] 2>/dev/null && break; sleep 0.1; done
[ "$(frames)" -gt 30 ] || fail "ffmpeg does not play: $(cat "$W/ff.txt")"
h0=$(heap)
r0=$(rss)
lines0=$(wc -l <"$LOGF")

$PY unfinished $N 1000000 >"$W/unf.txt" 2>&1 &
UNF=$!
PIDS+=("$UNF")
for _ in $(seq 600); do grep -q "^kept" "$W/unf.txt" && break; sleep 0.1; done
grep -q "^kept" "$W/unf.txt" || fail "the clients: $(cat "$W/unf.txt")"
# And as many that leave before their handshake.
for _ in $(seq $N); do exec {fd}<>/dev/tcp/127.0.0.1/1935 && exec {fd}<&-; done
h1=$(heap)
r1=$(rss)
read -r _ kept _ <"$W/unf.txt"
echo "heap $h0 -> $h1 kB, rss $r0 -> $r1 kB, $(cat "$W/unf.txt")"
# A few MiB are held; 200 of them would be 200 MB.
[ $((h1 - h0)) -le 32768 ] || fail "the heap grew from $h0 to $h1 kB"
[ $((r1 - r0)) -le 102400 ] || fail "the resident size grew from $r0 to $r1 kB"
[ "$kept" -ge 2 ] && [ "$kept" -le 8 ] || fail "$kept connections kept their unfinished messages"

# Meanwhile a player still gets in and plays.
f0=$(frames)
timeout 20 rtmpdump -q --live -r $U -y streamA.m3u8 -B 3 -o "$W/d.flv" >/dev/null 2>&1 || true
[ "$(codecs "$W/d.flv")" = "aac h264 " ] || fail "rtmpdump in the flood: $(codecs "$W/d.flv")"
[ "$(frames)" -gt "$f0" ] || fail "ffmpeg stopped in the flood: $(cat "$W/ff.txt")"
kill "$UNF"
wait "$UNF" 2>/dev/null || true

# The flood's connections and closings come to a few lines, with counts
# once each episode is over.
wait_log "$LOGF" "connections closed for holding unfinished messages over the budget" 30
wait_log "$LOGF" "connections accepted in a row, only the first logged" 30
lines=$(( $(wc -l <"$LOGF") - lines0 ))
[ "$lines" -le 60 ] || fail "$lines log lines for $((2 * N)) connections"
echo "ok: $N connections holding unfinished messages, $N leaving early ($lines log lines)"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30

LOGF=$W/b.log
bash -c "ulimit -n 1024 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
BOX_PID=$!
PIDS+=("$BOX_PID")
wait_log "$LOGF" "httpd: started"
mkfifo "$W/hold"
$PY players 144 2-4 <"$W/hold" >"$W/players.txt" &
PIDS+=("$!")
exec 8>"$W/hold"
for _ in $(seq 2000); do [ -s "$W/players.txt" ] && break; sleep 0.1; done
[ "$(cat "$W/players.txt")" = "playing 144 refused 0" ] || fail "144 players: $(cat "$W/players.txt")"
python3 "$M7391_SOURCE_DIR/tests/integration/socket_flood.py" --rate 400 40 1935:400:5 >"$W/flood.txt" 2>&1 &
FL=$!
PIDS+=("$FL")
# The flood holds (near enough) every connection the box may have.
held() { ss -tnH state established '( sport = :1935 )' | wc -l; }
for _ in $(seq 300); do [ "$(held)" -ge 188 ] && break; sleep 0.1; done
[ "$(held)" -ge 188 ] || fail "the flood and the players hold $(held) connections"
for run in 1 2 3; do
  n=$(timeout 60 ffmpeg -nostdin -v error -i $U/streamA.m3u8 -frames:v 30 -f framecrc - 2>"$W/ff$run.txt" |
    grep -c '^0,' || true)
  [ "$n" = 30 ] || fail "player $run beside the flood: $n frames, $(cat "$W/ff$run.txt")"
done
grep -q "rtmpServerThrFxn: the connection from 127.0.0.5 closed to make room for 127.0.0.1" "$LOGF" ||
  fail "no line for the flood's place taken"
kill "$FL"
exec 8>&-
echo "ok: a player beside 144 players and a flood of connections"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
echo PASS
