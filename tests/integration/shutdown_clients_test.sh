#!/bin/bash
# SIGINT while clients read every kind of stream (RTSP, progressive HTTP,
# motion JPEG, HLS): the readers still at work while the producers end must
# find their rings alive, each HTTP stream gets its chunked reply's end
# (curl ends with status 0), and the program reaches its exit actions. Run it
# with M7391_BIN naming an AddressSanitizer build to have ASan judge the
# shutdown too: any report fails the test.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
B=http://127.0.0.1:$M7391_HTTP_PORT
LOG=$ROOT/run/a.log
W=$ROOT/run/clients
mkdir -p "$W"

start_box "$LOG"
wait_log "$LOG" "httpd: started" 60
wait_log "$LOG" "RTSP server created" 60

# Each client reads until the program goes; what it got lands in $W.
client() {
  local name=$1
  shift
  "$@" > "$W/$name" 2> "$W/$name.err" &
  PIDS+=($!)
}
client rtsp_a.ts timeout 120 ffmpeg -nostdin -v error -rtsp_transport tcp \
  -i rtsp://127.0.0.1:554/streamA.h264 -c copy -f mpegts -
client rtsp_b.ts timeout 120 ffmpeg -nostdin -v error -rtsp_transport udp \
  -i rtsp://127.0.0.1:554/streamB.h264 -c copy -f mpegts -
client http_a.ts timeout 120 curl -s "$B/streamA.ts"
CURL_TS=${PIDS[-1]}
client http_a.flv timeout 120 curl -s "$B/streamA.flv"
CURL_FLV=${PIDS[-1]}
client http_aac timeout 120 curl -s "$B/streamA.aac"
client hls_a.ts timeout 120 ffmpeg -nostdin -v error -i "$B/streamA.m3u8" -c copy -f mpegts -
wait_log "$LOG" "starting hls thread" 60
# The clients are all being served before the program is told to go.
for f in rtsp_a.ts rtsp_b.ts http_a.ts http_a.flv http_aac hls_a.ts; do
  for _ in $(seq 1 300); do
    [ "$(stat -c %s "$W/$f")" -gt 20000 ] && break
    sleep 0.1
  done
  [ "$(stat -c %s "$W/$f")" -gt 20000 ] || fail "client $f got nothing: $(head -3 "$W/$f.err")"
done
echo "ok: six clients reading"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
grep -q "AddressSanitizer\|ThreadSanitizer\|runtime error" "$LOG" &&
  fail "sanitizer report at shutdown: $(grep -m3 -A8 'Sanitizer\|runtime error' "$LOG")"
# The chunked replies were ended, not cut: curl saw their last chunk.
for c in "$CURL_TS streamA.ts" "$CURL_FLV streamA.flv"; do
  rc=0
  wait ${c% *} || rc=$?
  [ "$rc" = 0 ] || fail "curl on ${c#* } ended with status $rc at the quit"
done
echo "ok: HTTP streams ended at the quit"
# The board's build ends with -1 (255); a crash would end on a signal.
[ "$EXIT_STATUS" = 255 ] || [ "$EXIT_STATUS" = 0 ] || fail "exit status $EXIT_STATUS"
grep -q "main cleanup rendezvous met" "$LOG" || fail "no clean quit"
grep -qx "sync" "$ROOT/run/exec.log" || fail "no sync in exec.log: $(cat "$ROOT/run/exec.log")"
echo PASS
