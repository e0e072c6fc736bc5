#!/bin/bash
# Hostile RTSP clients against the real binary, started with few
# descriptors: a request whose body cannot fit and an interleaved frame
# longer than the input buffer are answered (the request) and closed, after
# which the process idles; 200 connections that say nothing leave ffprobe
# and GStreamer playing and the log a few lines longer; a new picture size
# reaches the next client's SDP.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
LOGF=$ROOT/run/a.log
bash -c "ulimit -n 256 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
BOX_PID=$!
PIDS+=("$BOX_PID")
wait_log "$LOGF" "RTSP server created on port 554"
wait_log "$LOGF" "httpd: started"
U=rtsp://127.0.0.1:554

probe() {
  timeout 60 ffprobe -v error -timeout 15000000 -rtsp_transport "$2" \
    -show_entries stream=codec_name,width,height -of csv=p=0 "$1" 2>&1 || true
}
# CPU ticks (user + system) the process has used.
ticks() { awk '{print $14 + $15}' "/proc/$BOX_PID/stat"; }
# ticks_over <seconds>: ticks used over that many seconds.
ticks_over() { local a; a=$(ticks); sleep "$1"; echo $(($(ticks) - a)); }

idle=$(ticks_over 5)

# The header asks for 9990 bytes of body behind it: 413, then the close.
exec 5<>/dev/tcp/127.0.0.1/554
printf 'DESCRIBE %s/streamA.h264 RTSP/1.0\r\nCSeq: 7\r\nX-Pad: %0200d\r\nContent-Length: 9990\r\n\r\n' "$U" 0 >&5
head -c 2000 /dev/zero >&5
# (The close may come as a reset, for the body left unread: cat's error then,
# not timeout's 124, after the reply.)
rc=0
reply=$(timeout 10 cat <&5 2>/dev/null) || rc=$?
[ "$rc" != 124 ] || fail "the oversize request's connection stayed open"
grep -q "^RTSP/1.0 413" <<<"$reply" || fail "oversize request: $reply"
exec 5<&-
# An interleaved frame of 65535 bytes: dropped with the connection.
exec 5<>/dev/tcp/127.0.0.1/554
{ printf '$\000\377\377'; head -c 12000 /dev/zero; } >&5 2>/dev/null || true
rc=0
timeout 10 cat <&5 >/dev/null 2>&1 || rc=$?
[ "$rc" != 124 ] || fail "the long interleaved frame's connection stayed open"
exec 5<&-
echo "ok: oversize input answered and closed"

after=$(ticks_over 5)
[ "$after" -le $((idle + 150)) ] || fail "CPU after the attacks: $after ticks in 5 s (idle $idle)"
echo "ok: idle after the attacks ($after ticks in 5 s, $idle before)"

lines_before=$(grep -c RTSPServer "$LOGF" || true)
fds=()
for i in $(seq 1 200); do
  exec {fd}<>/dev/tcp/127.0.0.1/554 || fail "connection $i refused"
  fds+=("$fd")
done
out=$(probe "$U/streamA.h264" tcp)
grep -q "^h264,[0-9]*,[0-9]*" <<<"$out" || fail "ffprobe beside 200 idle connections: $out"
out=$(probe "$U/streamB.ts" udp)
grep -q "^h264," <<<"$out" || fail "ffprobe of streamB.ts beside 200 idle connections: $out"
if command -v gst-launch-1.0 >/dev/null; then
  out=$(timeout 40 gst-launch-1.0 rtspsrc location=$U/streamB.h264 protocols=tcp ! \
    rtph264depay ! fakesink num-buffers=50 2>&1 || true)
  grep -q 'Got EOS from element "pipeline0"' <<<"$out" || fail "GStreamer beside idle connections: $out"
fi
for fd in "${fds[@]}"; do exec {fd}<&-; done
lines=$(( $(grep -c RTSPServer "$LOGF" || true) - lines_before ))
[ "$lines" -le 10 ] || fail "$lines RTSP log lines for 200 idle connections"
echo "ok: playing beside 200 idle connections ($lines log lines)"

# sdp <session>: the SDP a DESCRIBE gets.
sdp() {
  local line len=0
  exec 6<>/dev/tcp/127.0.0.1/554
  printf 'DESCRIBE %s/%s RTSP/1.0\r\nCSeq: 1\r\n\r\n' "$U" "$1" >&6
  while IFS= read -r -t 30 line <&6; do
    line=${line%$'\r'}
    [ -z "$line" ] && break
    case "$line" in Content-Length:*) len=${line#*: } ;; esac
  done
  [ "$len" -gt 0 ] && head -c "$len" <&6
  exec 6<&-
}
sprop() { sdp streamB.h264 | grep -o 'sprop-parameter-sets=[^;]*' | head -1; }
first=$(sprop)
[ -n "$first" ] || fail "no parameter sets in the SDP of streamB.h264"
code=$(curl -s -m 30 -o /dev/null -w "%{http_code}" -d redirect=/index.htm -d Video[1].Width=320 \
  -d Video[1].Height=240 "$B/controls")
[ "$code" = 303 ] || fail "size form: $code"
# The channel restarts its encoder at the new size, which a loaded machine
# may take a while to do.
second=
for _ in $(seq 1 120); do
  second=$(sprop)
  [ -n "$second" ] && [ "$second" != "$first" ] && break
  sleep 0.5
done
[ "$second" != "$first" ] || fail "the SDP still announces the old size: $second"
out=$(probe "$U/streamB.h264" tcp)
grep -q "^h264,320,240" <<<"$out" || fail "ffprobe after the size change: $out"
echo "ok: SDP follows the new size"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
grep -q "main cleanup rendezvous met" "$LOGF" || fail "no clean quit"
echo PASS
