#!/bin/bash
# The RTMP server of the real binary, started with few descriptors: players
# joining as the one before leaves (a raw player, ffprobe, rtmpdump,
# GStreamer) each get video and audio; clients trickling the handshake and
# clients that never play are closed; a flood of connections that runs the
# process out of descriptors leaves the CPU near idle, the log a few lines
# longer and ffmpeg playing, and a new player still gets in; a player that
# leaves while no video comes is noticed.
. "$(dirname "$0")/common.sh"
new_root
PY="python3 $M7391_SOURCE_DIR/tests/integration/rtmp_client.py"
U=rtmp://127.0.0.1/live
W=$ROOT/run
LOGF=$W/a.log
bash -c "ulimit -n 96 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
BOX_PID=$!
PIDS+=("$BOX_PID")
wait_log "$LOGF" "httpd: started"

# CPU ticks (user + system) the process has used over that many seconds.
ticks() { awk '{print $14 + $15}' "/proc/$BOX_PID/stat"; }
# thread_ticks: "<tid> <ticks> <name>" for each of the process's threads.
thread_ticks() {
  local f s name
  for f in /proc/$BOX_PID/task/*/stat; do
    s=$(cat "$f" 2>/dev/null) || continue
    name=${s#*(}
    name=${name%)*}
    # utime and stime are the 12th and 13th fields after "pid (name) ".
    set -- ${s##*) }
    echo "${s%% *} $((${12} + ${13})) ${name// /_}"
  done
}
# over <seconds> <name>: total ticks over that many seconds; each thread's
# ticks over them in $W/<name>.threads.
over() {
  local a
  a=$(ticks)
  thread_ticks >"$W/$2.0"
  sleep "$1"
  thread_ticks >"$W/$2.1"
  awk 'NR == FNR { t[$1] = $2; next } { print $1, $2 - t[$1], $3 }' "$W/$2.0" "$W/$2.1" >"$W/$2.threads"
  echo $(($(ticks) - a))
}
# The thread whose ticks over the second window grew most over what it used
# in the first (a thread new in the second counts from nothing).
most_grown() {
  awk 'NR == FNR { t[$1] = $2; next } { d = $2 - t[$1]; if (d > m) { m = d; w = $3 " (" $1 ")" } }
       END { print m + 0, w }' "$W/$1.threads" "$W/$2.threads"
}
# codecs <file>: the codec names ffprobe finds, sorted, on one line
codecs() { ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$1" 2>/dev/null | sort | tr '\n' ' '; }

# Each player joins as the one before it leaves: with nobody else playing,
# the stream's last consumer goes as the next one comes.
$PY relay 6 || fail "raw players one after another"
for round in 1; do
  timeout 30 ffprobe -v error -show_entries stream=codec_name -read_intervals %+1 -of csv=p=0 \
    $U/streamA.m3u8 >"$W/p.txt" 2>&1 || true
  [ "$(sort "$W/p.txt" | tr '\n' ' ')" = "aac h264 " ] || fail "ffprobe $round: $(cat "$W/p.txt")"
  timeout 4 rtmpdump -q --live -r $U -y streamA.m3u8 -o "$W/d.flv" >/dev/null 2>&1 || true
  [ "$(codecs "$W/d.flv")" = "aac h264 " ] || fail "rtmpdump $round after ffprobe: $(codecs "$W/d.flv")"
  out=$(timeout 30 gst-launch-1.0 rtmpsrc location="$U/streamA.m3u8 live=1" ! flvdemux name=d \
    d.video ! queue ! fakesink num-buffers=20 d.audio ! queue ! fakesink num-buffers=20 2>&1 || true)
  grep -q 'Got EOS from element "pipeline0"' <<<"$out" || fail "GStreamer $round after rtmpdump: $out"
done
echo "ok: players joining as others leave"

timeout --foreground 200 ffmpeg -nostdin -v error -i $U/streamA.m3u8 -progress "$W/ffp.txt" -fps_mode passthrough -f null - \
  >"$W/ff.txt" 2>&1 &
FF=$!
PIDS+=("$FF")
frames() { grep "^frame=" "$W/ffp.txt" 2>/dev/null | tail -1 | cut -d= -f2; }
for _ in $(seq 300); do [ "$(frames)" -gt 0 ] 2>/dev/null && break; sleep 0.1; done
[ "$(frames)" -gt 0 ] || fail "ffmpeg does not play: $(cat "$W/ff.txt")"
idle=$(over 5 idle)

# A handshake a byte every 2 s and connections that never play are closed
# (the handshake has a deadline, a connection that plays nothing expires).
$PY slow 8 45 >"$W/slow.txt" 2>&1 &
SLOW=$!
$PY idle 8 45 >"$W/idle.txt" 2>&1 &
IDLE=$!
PIDS+=("$SLOW" "$IDLE")
wait $SLOW || fail "slow handshakes: $(cat "$W/slow.txt")"
wait $IDLE || fail "connections that never play: $(cat "$W/idle.txt")"
echo "ok: slow handshakes and idle connections closed"

# A flood: idle RTSP connections and then RTMP connections that say
# nothing, more than the descriptors allow.
lines0=$(wc -l <"$LOGF")
f0=$(frames)
fds=()
for _ in $(seq 30); do exec {fd}<>/dev/tcp/127.0.0.1/554 && fds+=("$fd"); done
for _ in $(seq 60); do exec {fd}<>/dev/tcp/127.0.0.1/1935 && fds+=("$fd"); done
# A thread that spins on a refused accept takes half a core or more,
# whatever else the machine runs; many threads that each wake up for
# nothing show in the whole process. What a busy host's scheduler takes
# from or gives back to the encoders moves neither by that much.
busy=$(over 5 flood)
read -r grown who < <(most_grown idle flood)
[ "$grown" -le 150 ] || fail "CPU in the flood: thread $who used $grown ticks more in 5 s"
[ "$busy" -le $((idle * 3 / 2 + 150)) ] || fail "CPU in the flood: $busy ticks in 5 s (idle $idle)"
out=$(timeout 30 ffprobe -v error -show_entries stream=codec_name -read_intervals %+1 -of csv=p=0 \
  $U/streamA.m3u8 2>&1 || true)
grep -q h264 <<<"$out" || fail "ffprobe in the flood: $out"
[ "$(frames)" -gt "$f0" ] || fail "ffmpeg stopped in the flood: $(cat "$W/ff.txt")"
kill -0 "$FF" || fail "ffmpeg ended: $(cat "$W/ff.txt")"
for fd in "${fds[@]}"; do exec {fd}<&-; done
lines=$(( $(wc -l <"$LOGF") - lines0 ))
emfile=$(grep -c "Too many open files" "$LOGF" || true)
[ "$emfile" -le 6 ] || fail "$emfile lines of 'Too many open files'"
[ "$lines" -le 1500 ] || fail "$lines log lines for the flood"
echo "ok: flood ($busy ticks in 5 s, idle $idle, most grown $grown by $who; $lines log lines, $emfile on descriptors)"

# While no video comes (the capture stalled) a player that leaves is
# noticed all the same: every connection thread ends.
kill -INT $FF 2>/dev/null || true
wait $FF 2>/dev/null || true
all_ended() {
  for _ in $(seq 300); do
    [ "$(grep -c "serverThread: started" "$LOGF")" = "$(grep -c "serverThread: exiting" "$LOGF")" ] && return 0
    sleep 0.1
  done
  fail "$1: $(grep -c "serverThread: started" "$LOGF") connections started, $(grep -c "serverThread: exiting" "$LOGF") ended"
}
all_ended "after the flood"
echo "stall 1" >>"$ROOT/run/sim_capture.cmd"
$PY quiet >"$W/quiet.txt" 2>&1 || fail "the player without video: $(cat "$W/quiet.txt")"
all_ended "a player left while no video came"
echo "ok: a player leaving while no video comes"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
grep -q "main cleanup rendezvous met" "$LOGF" || fail "no clean quit"
echo PASS
