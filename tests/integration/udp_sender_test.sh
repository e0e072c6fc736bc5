#!/bin/bash
# The UDP and TCP senders of the real binary, set up by web forms: MPEG-TS
# over UDP and TCP read by ffmpeg (a TCP receiver killed and back), the
# counter and header modes read by a Python receiver (fragments, headers,
# reassembled H.264 for ffprobe, the audio tone, TTL and TOS), and the
# reachability check against the simulated ARP cache.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
W=$ROOT/run/udp
mkdir -p "$W"
RX="python3 $(dirname "$0")/udp_sender_receiver.py"
form() { post_form "$@"; }
# wait_status <regex> [seconds]: the status of sender A
wait_status() { wait_param "UDP[0].Status" "$@"; }
sender() { form -d "UDP[0].State=stop"; form "$@"; form -d "UDP[0].State=start"; }
# clean_ts <file>: ffmpeg decodes it without a word
clean_ts() {
  [ -s "$1" ] || fail "$1: nothing received"
  local err
  err=$(ffmpeg -nostdin -v error -i "$1" -fps_mode passthrough -f null - 2>&1)
  [ -z "$err" ] || fail "$1: $err"
}

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
form -d "UDP[0].StreamID=1" -d "UDP[0].Addr=127.0.0.1" -d "UDP[0].Port=5004"

# Mode 0: the muxed stream as plain datagrams.
timeout 60 ffmpeg -nostdin -v error -i udp://127.0.0.1:5004 -t 4 -c copy -y "$W/udp.ts" \
  2>"$W/udp.err" &
FF=$!
sleep 1
sender -d "UDP[0].StreamMode=0" -d "UDP[0].RetryTimeout=0"
wait_status "^Streaming UDP [0-9]+ bytes sent"
wait $FF || fail "ffmpeg udp: $(cat "$W/udp.err")"
clean_ts "$W/udp.ts"
echo "ok: mode 0"

# Mode 4: TCP. No listener: refused, retried every second.
sender -d "UDP[0].StreamMode=4"
wait_status "^Connection refused \(connect\)$"
n=$(grep -c "udpA error Connection refused" "$LOGF")
sleep 2.5
[ "$(grep -c "udpA error Connection refused" "$LOGF")" -ge $((n + 2)) ] || fail "no retries"
timeout 60 ffmpeg -nostdin -v error -i 'tcp://127.0.0.1:5004?listen' -t 4 -c copy -y "$W/tcp.ts" \
  2>"$W/tcp.err" || fail "ffmpeg tcp: $(cat "$W/tcp.err")"
clean_ts "$W/tcp.ts"
# A listener that goes away mid-stream, then comes back.
python3 -c '
import socket; s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 5004)); s.listen(1); c, _ = s.accept(); n = 0
while n < 200000: n += len(c.recv(65536))
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0"); c.close()' &
wait $! || fail "the TCP listener"
wait_status "\(write\)$"
kill -0 "$BOX_PID" || fail "the box died with its receiver"
wait_status "^(Connection refused \(connect\)|Connecting)"
timeout 60 ffmpeg -nostdin -v error -i 'tcp://127.0.0.1:5004?listen' -t 3 -c copy -y "$W/tcp2.ts" \
  2>"$W/tcp2.err" || fail "ffmpeg tcp again: $(cat "$W/tcp2.err")"
clean_ts "$W/tcp2.ts"
echo "ok: mode 4"

# Mode 1: counters; datagram sizes follow UDPPacketSize.
# 30 leaves no room after the counter: counted as unset, and said so.
for size in "1460 1432" "1 1400" "30 1400"; do
  set -- $size
  $RX 1 5004 4 "$W" >"$W/rx1" 2>&1 &
  RXP=$!
  sender -d "UDPPacketSize=$1" -d "UDP[0].StreamMode=1"
  wait $RXP || fail "mode 1: $(cat "$W/rx1")"
  grep -q "^ok max=$2 " "$W/rx1" || fail "mode 1, UDPPacketSize $1: $(cat "$W/rx1")"
done
wait_status "UDPPacketSize too small"
kill -0 "$BOX_PID" || fail "the box died at UDPPacketSize 30"
form -d "UDPPacketSize=1"
echo "ok: mode 1"

# Mode 2: headers, audio, TTL and TOS.
$RX 2 5004 6 "$W" >"$W/rx2" 2>&1 &
RXP=$!
sender -d "UDP[0].StreamMode=2" -d "UDP_TTL=7" -d "UDP_DSCP_ECN=32"
wait $RXP || fail "mode 2: $(cat "$W/rx2")"
grep -q "^ttl=7 tos=32$" "$W/rx2" || fail "TTL/TOS: $(head -1 "$W/rx2")"
got=$(ffprobe -v error -f h264 -show_entries stream=codec_name,width,height -of csv=p=0 "$W/video.h264")
grep -q "^h264,[0-9]*,[0-9]*" <<<"$got" || fail "ffprobe of the frames: $got"
err=$(ffmpeg -nostdin -v error -f h264 -i "$W/video.h264" -fps_mode passthrough -f null - 2>&1)
[ -z "$err" ] || fail "the frames decode: $err"
echo "ok: mode 2 ($(tail -1 "$W/rx2"))"

# Reachability, with RetryTimeout 2.
form -d "UDP[0].State=stop"
echo "127.0.0.2 none" > "$ROOT/run/sim/arp"
echo "127.0.0.3 offlink" >> "$ROOT/run/sim/arp"
sender -d "UDP[0].StreamMode=0" -d "UDP[0].RetryTimeout=2" -d "UDP[0].Addr=127.0.0.2"
wait_status "^Destination host timeout$"
sender -d "UDP[0].Addr=127.0.0.1"
wait_status "^Destination port timeout$"
$RX 1 5004 3 "$W" >"$W/rx3" 2>&1 &
RXP=$!
sleep 0.5
sender -d "UDP[0].Addr=127.0.0.3" -d "UDP[0].StreamMode=1"
wait_status "^Streaming UDP"
grep -q "127.0.0.3 ->" "$LOGF" && fail "an off-link host has no ARP answer"
wait $RXP || true
form -d "UDP[0].State=stop"
wait_status "^Stopped$"
echo "ok: reachability"

# A check of an hour: a stop is taken at once, and new settings during it
# start a run of their own (a timeout of the old check stops nothing).
n=$(grep -c "udpA starting" "$LOGF")
sender -d "UDP[0].StreamMode=1" -d "UDP[0].RetryTimeout=3600" -d "UDP[0].Addr=127.0.0.2"
for _ in $(seq 100); do [ "$(grep -c "udpA starting" "$LOGF")" -gt "$n" ] && break; sleep 0.1; done
form -d "UDP[0].State=stop"
wait_status "^Stopped$"
form -d "UDP[0].State=start"
$RX 1 5004 4 "$W" >"$W/rx4" 2>&1 &
RXP=$!
form -d "UDP[0].Addr=127.0.0.1" -d "UDP[0].RetryTimeout=2"
wait_status "^Streaming UDP"
wait $RXP || fail "after new settings during the check: $(cat "$W/rx4")"
echo "ok: stop and new settings during the check"

# RetryTimeout 0: a receiver that is not there (port refused) does not stop
# the stream; otherwise its going away ends the run.
refused() { grep -c "udpA: connection refused" "$LOGF" || true; }
form -d "UDP[0].State=stop"
wait_status "^Stopped$"
n=$(refused)
sender -d "UDP[0].RetryTimeout=0" -d "UDP[0].Port=5006"
wait_status "^Streaming UDP [1-9][0-9]{5,} bytes sent"
[ "$(refused)" = "$n" ] || fail "RetryTimeout 0 stopped at a refused port"
$RX 1 5006 3 "$W" >"$W/rx5" 2>&1 &
RXP=$!
sender -d "UDP[0].RetryTimeout=2"
wait_status "^Streaming UDP"
wait $RXP || true
for _ in $(seq 200); do [ "$(refused)" -gt "$n" ] && break; sleep 0.1; done
[ "$(refused)" -gt "$n" ] || fail "RetryTimeout 2 went on without its receiver"
form -d "UDP[0].State=stop"
echo "ok: refused ports"

# Stream 3 has no queue: said in the status, not retried.
sender -d "UDP[0].StreamID=3" -d "UDP[0].Port=5004"
wait_status "^Invalid StreamID 3$"
[ "$(grep -c "stream 3 cannot be sent" "$LOGF")" = 1 ] || fail "stream 3 tried again"
form -d "UDP[0].StreamID=1"
echo "ok: stream 3"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
