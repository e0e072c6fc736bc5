#!/bin/bash
# A box started with 256 descriptors whose every listener (web, RTSP, RTMP,
# the serial relay) is flooded at once with connections held open, more than
# the descriptors allow: a recording started through the control protocol
# still makes a file that ffprobe reads as H.264 and AAC, the web still
# answers curl, and no listener spins on refused accepts.
. "$(dirname "$0")/common.sh"
new_root --usb sda1:3
B=http://127.0.0.1
W=$ROOT/run
LOGF=$W/a.log
FLOOD="python3 $M7391_SOURCE_DIR/tests/integration/socket_flood.py"
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
DISK=$ROOT/run/sim/storage/vol/sda1
ctl() { timeout 30 python3 "$CLIENT" --timeout 10 "$@"; }
status_of() { ctl "$@" | sed -n "1{s/ (.*//;p;}"; }
bash -c "ulimit -n 256 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
BOX_PID=$!
PIDS+=("$BOX_PID")
wait_log "$LOGF" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20
wait_log "$LOGF" "passthru start" 30
# The serial relay as a TCP server on port 7000.
post_form -d "Serial.State=stop"
post_form -d "Serial.StreamID=3" -d "Serial.TCPPort=7000"
post_form -d "Serial.State=start"
wait_log "$LOGF" "serial_tcp_server: started"

# Every listener at once, for a minute: 600 web connections from forty
# addresses (half of them with half a request), 300 RTSP, 300 RTMP and 50 on
# the serial relay, all silent.
$FLOOD 60 80:300:3-42 80:300:3-42:half 554:300 1935:300 7000:50 >"$W/flood.txt" 2>&1 &
FL=$!
PIDS+=("$FL")
for _ in $(seq 600); do grep -q holding "$W/flood.txt" && break; sleep 0.1; done
grep -q holding "$W/flood.txt" || fail "the flood did not start: $(cat "$W/flood.txt")"
fds=$(ls "/proc/$BOX_PID/fd" | wc -l)

[ "$(status_of record_start 3 0 0)" = "status 0" ] || fail "record_start in the flood"
sleep 6
[ "$(status_of record_stop)" = "status 0" ] || fail "record_stop in the flood"
wait_log "$LOGF" "stopped record stream" 30
code=$(curl -s -g --max-time 60 -o /dev/null -w "%{http_code}" "$B/Video[0].BitRate") || true
[ "$code" = 200 ] || fail "curl in the flood: $code"
kill -0 "$FL" || fail "the flood ended early: $(cat "$W/flood.txt")"

REC=$(ls -tr "$DISK"/DCIM/*.mp4 2>/dev/null | tail -1)
[ -n "$REC" ] || fail "no recording on the disk: $(grep -i "open files\|record" "$LOGF" | tail -5)"
codecs=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$REC" | grep . | sort -u | tr '\n' ' ')
[ "$codecs" = "aac h264 " ] || fail "streams of $REC: $codecs"
d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$REC")
awk -v d="$d" 'BEGIN { exit !(d >= 2) }' || fail "$REC lasts $d s"
err=$(ffmpeg -nostdin -v error -i "$REC" -fps_mode passthrough -f null - 2>&1) || true
[ -z "$err" ] || fail "decode errors in $REC: $err"
echo "ok: recorded $d s in the flood ($fds descriptors open)"
wait $FL || true
cat "$W/flood.txt" | grep "^port"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
