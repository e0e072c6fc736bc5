#!/bin/bash
# Multicast of the real binary through its RTSP server: the sender of
# channel A in its multicast mode, joined by ffprobe, two ffmpeg clients at
# once, GStreamer and mpv, and a raw receiver of the four flows; a port
# change, custom session names, an RTSP restart while multicasting, a
# unicast address refused and a stop while RTSP is off.
. "$(dirname "$0")/common.sh"
# Multicast over the namespace's loopback.
ip link set lo up multicast on
ip route add 224.0.0.0/4 dev lo
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
U=rtsp://127.0.0.1:554
W=$ROOT/run/mc
mkdir -p "$W"
RX="python3 $(dirname "$0")/multicast_receiver.py"
form() { post_form "$@"; }
# wait_status <regex> [seconds]: the status of sender A
wait_status() { wait_param "UDP[0].Status" "$@"; }
# describe <session>: the status line, headers and SDP of a DESCRIBE
describe() {
  python3 - "$U/$1" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", 554), timeout=20)
s.sendall(b"DESCRIBE %s RTSP/1.0\r\nCSeq: 1\r\n\r\n" % sys.argv[1].encode())
r = b""
while b"\r\n\r\n" not in r:
    r += s.recv(4096)
head, _, body = r.partition(b"\r\n\r\n")
n = 0
for line in head.split(b"\r\n"):
    if line.lower().startswith(b"content-length:"):
        n = int(line.split(b":")[1])
while len(body) < n:
    body += s.recv(4096)
sys.stdout.write((head + b"\r\n\r\n" + body).decode())
PY
}
# grab <name> <seconds>: ffmpeg copies the multicast session into $W/<name>.ts
grab() {
  timeout 60 ffmpeg -nostdin -v level+warning -timeout 15000000 -rtsp_transport udp_multicast \
    -i "$U/multicastA.h264_aac" -t "$2" -c copy -y "$W/$1.ts" 2>"$W/$1.err"
}
# clean <name>: the copy holds both streams and decodes without an error,
# unless datagrams were lost on the way (ffmpeg says so), when the gap's
# pictures may not decode.
clean() {
  [ -s "$W/$1.ts" ] || fail "$1: nothing received ($(cat "$W/$1.err"))"
  local got err
  err=$(ffmpeg_errors "$W/$1.err")
  [ -z "$err" ] || fail "$1: $(head -3 <<<"$err")"
  got=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$W/$1.ts" | grep . | sort -u | paste -sd, -)
  [ "$got" = "aac,h264" ] || fail "$1: streams $got"
  if grep -q "RTP: missed\|max delay reached" "$W/$1.err"; then
    echo "$1: datagrams were lost on the way: $(grep -m1 "RTP: missed\|max delay reached" "$W/$1.err")"
    return 0
  fi
  err=$(ffmpeg -nostdin -v error -i "$W/$1.ts" -fps_mode passthrough -f null - 2>&1)
  [ -z "$err" ] || fail "$1 decodes: $err"
}

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "RTSP server created on port 554"
wait_log "$LOGF" "httpd: started"
HOST=$($C "$B/NetworkHostname")
[ -n "$HOST" ] || fail "no NetworkHostname"
form -d "UDP[0].StreamMode=3" -d "UDP[0].Addr=239.1.2.3" \
  -d "UDP[0].Port=5000" -d "UDP[0].State=start"
wait_status "^Streaming Multicast RTP$"
wait_log "$LOGF" "multicast rstp streaming 0 started"

sdp=$(describe multicastA.h264_aac)
for line in "a=source-filter: incl IN IP4 * 127.0.0.1" "c=IN IP4 239.1.2.3/255" \
            "m=video 5000 RTP/AVP 96" "m=audio 5002 RTP/AVP 111" "sprop-parameter-sets="; do
  grep -qF "$line" <<<"$sdp" || fail "DESCRIBE lacks '$line': $sdp"
done
got=$(timeout 60 ffprobe -v error -timeout 15000000 -rtsp_transport udp_multicast \
  -show_entries stream=codec_name -of csv=p=0 "$U/multicastA.h264_aac" | paste -sd, -)
[ "$got" = "h264,aac" ] || fail "ffprobe: $got"
echo "ok: DESCRIBE and ffprobe"

grab one 10 &
G1=$!
grab two 10 &
G2=$!
$RX 239.1.2.3 5000 8 "$HOST" >"$W/rx" 2>&1 || fail "raw receiver: $(cat "$W/rx")"
wait $G1 || true
wait $G2 || true
clean one
clean two
echo "ok: two ffmpeg clients, $(cat "$W/rx")"

out=$(timeout 60 gst-launch-1.0 rtspsrc location=$U/multicastA.h264 protocols=udp-mcast ! \
  rtph264depay ! h264parse ! fakesink num-buffers=50 2>&1 || true)
grep -q 'Got EOS from element "pipeline0"' <<<"$out" || fail "GStreamer: $out"
out=$(timeout 60 mpv --no-config --rtsp-transport=udp_multicast --vo=null --ao=null \
  --frames=50 "$U/multicastA.h264_aac" 2>&1 || true)
grep -q "Exiting... (Quit)\|Exiting... (End of file)" <<<"$out" || fail "mpv: $out"
grep -qi "h264" <<<"$out" || fail "mpv saw no H.264: $out"
echo "ok: GStreamer and mpv"

# A new port takes effect at the next start; the old ports are let go.
form -d "UDP[0].Port=6000"
wait_log "$LOGF" "ports 6000 6001 6002 6003"
describe multicastA.h264 | grep -F "m=video 6000 RTP/AVP 96" >/dev/null || fail "SDP keeps the old port"
$RX 239.1.2.3 6000 3 "$HOST" rtp-only >"$W/rx" 2>&1 || fail "after the port change: $(cat "$W/rx")"
python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 5000))' \
  || fail "port 5000 still held"
echo "ok: port change"

# Custom names restart the server while channel A multicasts: the sender
# goes on with the new multicaster.
n=$(grep -c "startPlaying: done" "$LOGF")
form -d "RTSP_CustomStreamMode=3" -d "RTSP_CustomStreamName=yard"
wait_log "$LOGF" "rtp restart"
for _ in $(seq 1 100); do
  [ "$(grep -c "startPlaying: done" "$LOGF")" -gt "$n" ] && break
  sleep 0.1
done
[ "$(grep -c "startPlaying: done" "$LOGF")" -gt "$n" ] || fail "no new start after the restart"
describe yard_aac | grep "^RTSP/1.0 200" >/dev/null || fail "no session yard_aac"
describe yard | grep -F "m=video 6000" >/dev/null || fail "no session yard"
describe multicastA.h264 | grep "^RTSP/1.0 404" >/dev/null || fail "multicastA.h264 still there"
describe multicastB.h264_aac | grep "^RTSP/1.0 200" >/dev/null || fail "no session multicastB.h264_aac"
$RX 239.1.2.3 6000 3 "$HOST" rtp-only >"$W/rx" 2>&1 || fail "after the restart: $(cat "$W/rx")"
echo "ok: custom names and a restart while multicasting"

form -d "UDP[0].State=stop"
wait_status "^Stopped$"
wait_log "$LOGF" "multicast rstp streaming 0 finished"
form -d "UDP[0].Addr=10.0.0.1" -d "UDP[0].State=start"
wait_status "^Invalid Multicast Address 10\.0\.0\.1$"
form -d "UDP[0].State=stop"
form -d "RTSP_Disable=1" -d "UDP[0].Addr=239.1.2.3"
form -d "UDP[0].State=start"
wait_status "^Streaming Multicast RTP$"
sleep 0.5
form -d "UDP[0].State=stop"
wait_status "^Stopped$" 1
kill -0 "$BOX_PID" || fail "the box died"
echo "ok: statuses"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
