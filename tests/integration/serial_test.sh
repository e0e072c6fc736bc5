#!/bin/bash
# The serial port of the real binary on the simulated line, driven from
# <root>/dev/ttyS0.peer with socat and set up by web forms: the line settings
# as stty reads them, an unsupported rate, the TCP server, client and UDP
# relays (1 MiB each way, cmp), the console, telemetry sentences read back by
# tesseract from a frame, key frames for ffprobe, descriptors over 20
# rounds, and a quit that does not wait for the port.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
W=$ROOT/run/serial
mkdir -p "$W"
TTY=$ROOT/dev/ttyS0
PEER=$ROOT/dev/ttyS0.peer
command -v socat >/dev/null || fail "socat is not installed"
command -v tesseract >/dev/null || fail "tesseract is not installed"

status() { curl -s -g --max-time 10 "$B/Serial.Status"; }
wait_status() { wait_param "Serial.Status" "$@"; }
# service <form args...>: the round stopped, the settings posted, started again.
service() { post_form -d "Serial.State=stop"; post_form "$@"; post_form -d "Serial.State=start"; }
# wait_size <file> <bytes>: polls until the file holds that many bytes.
wait_size() {
  for _ in $(seq 1 300); do
    [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge "$2" ] && return 0
    sleep 0.1
  done
  fail "$1 holds $(stat -c %s "$1" 2>/dev/null) bytes, wanted $2"
}
# reader <file>: copies what the peer receives into the file, in the background.
reader() {
  : >"$1"
  socat -u "FILE:$PEER,raw,echo=0" "OPEN:$1,append" &
  READER=$!
  PIDS+=("$READER")
}
send_peer() { socat -u "FILE:$1" "FILE:$PEER,raw,echo=0"; }
serial_fds() { ls -l /proc/"$BOX_PID"/fd 2>/dev/null | grep -cE '/dev/pts/|eventfd' || true; }

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
[ -L "$TTY" ] && [ -L "$PEER" ] || fail "no serial line in $ROOT/dev"
wait_status "^Stopped$"

# Line set-up: rate and parity as the kernel holds them while a round runs.
# A pseudo-terminal keeps no parity-enable bit (its driver clears parenb),
# so the parity shows through parodd and cmspar.
for rp in "9600 0 -parodd -cmspar" "115200 1 parodd -cmspar" "57600 2 -parodd -cmspar" \
  "921000 3 parodd cmspar" "4000000 4 -parodd cmspar"; do
  set -- $rp
  rate=$1 parity=$2
  shift 2
  service -d "Serial.StreamID=9" -d "Serial.BaudRate=$rate" -d "Serial_Parity=$parity"
  want=$rate
  [ "$rate" = 921000 ] && want=921600
  ok=
  for _ in $(seq 1 100); do
    s=$(stty -F "$TTY" -a)
    grep -q "^speed $want baud" <<<"$s" && ok=1 && break
    sleep 0.1
  done
  [ -n "$ok" ] || fail "rate $rate: $(echo "$s" | head -1)"
  for flag in "$@" cs8 -icanon -echo -opost -crtscts -cstopb "min = 1" "time = 1"; do
    re="(^|[[:space:]])$flag(;|[[:space:]]|\$)"
    [[ $s =~ $re ]] || fail "rate $rate parity $parity: no $flag in $s"
  done
done
service -d "Serial.BaudRate=14400"
wait_log "$LOGF" "unsupported baud rate 14400"
wait_status "^Stopped$"
sleep 0.5
[ "$(status)" = Stopped ] || fail "an unsupported rate left '$(status)'"
echo "ok: line set-up"

# Mode 3: a TCP server relaying both ways.
head -c 1048576 /dev/urandom >"$W/in1"
head -c 1048576 /dev/urandom >"$W/in2"
service -d "Serial.BaudRate=115200" -d "Serial_Parity=0" -d "Serial.StreamID=3" -d "Serial.TCPPort=7000"
wait_status "^Streaming, waiting for connection"
socat -u TCP:127.0.0.1:7000 "CREATE:$W/out1" &
TCPR=$!
PIDS+=("$TCPR")
wait_status "^Streaming, accepted from 127.0.0.1"
send_peer "$W/in1"
wait_size "$W/out1" 1048576
cmp "$W/in1" "$W/out1" || fail "port to TCP: the bytes differ"
kill "$TCPR"
wait_status "^Streaming, waiting for connection"
reader "$W/out2"
socat -u "FILE:$W/in2" TCP:127.0.0.1:7000
wait_size "$W/out2" 1048576
kill "$READER"
cmp "$W/in2" "$W/out2" || fail "TCP to port: the bytes differ"
wait_status "rx:1048576 tx:1048576$"
echo "ok: mode 3"

# Mode 5: datagrams from Serial_TCPAddr only.
service -d "Serial.StreamID=5" -d "Serial.TCPPort=7001" -d "Serial_TCPAddr=127.0.0.1"
wait_status "^Streaming, connected to 127.0.0.1"
reader "$W/out5"
for from in "127.0.0.1 one" "127.0.0.2 stranger" "127.0.0.1 end"; do
  set -- $from
  python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind((sys.argv[1], 0))
s.sendto(sys.argv[2].encode() + b"\n", ("127.0.0.1", 7001))' "$1" "$2"
done
for _ in $(seq 1 100); do grep -q end "$W/out5" && break; sleep 0.1; done
kill "$READER"
[ "$(tr '\n' ' ' <"$W/out5")" = "one end " ] || fail "mode 5 delivered '$(cat "$W/out5")'"
echo "ok: mode 5"

# Mode 4: a client that retries until its server is up.
service -d "Serial.StreamID=4" -d "Serial.TCPPort=7002"
n=$(grep -c "^connect: Connection refused" "$LOGF" || true)
wait_log "$LOGF" "serial_tcp_server: started"
for _ in $(seq 1 100); do
  [ "$(grep -c "^connect: Connection refused" "$LOGF")" -gt "$n" ] && break
  sleep 0.1
done
socat -u TCP-LISTEN:7002,reuseaddr "CREATE:$W/out4" &
PIDS+=("$!")
wait_status "^Streaming, connected to 127.0.0.1" 15
echo "hello over the line" >"$W/in4"
send_peer "$W/in4"
wait_size "$W/out4" 20
cmp "$W/in4" "$W/out4" || fail "mode 4: '$(cat "$W/out4")'"
echo "ok: mode 4"

# Mode 8: the console, ended with its round.
service -d "Serial.StreamID=8"
wait_log "$ROOT/run/exec.log" "ioctl TIOCCONS /dev/ttyS0"
wait_log "$ROOT/run/exec.log" "/sbin/getty -n -l /bin/sh 115200 /dev/ttyS0"
n=$(grep -c "serial: stopped" "$LOGF")
post_form -d "Serial.State=stop"
for _ in $(seq 1 100); do [ "$(grep -c "serial: stopped" "$LOGF")" -gt "$n" ] && break; sleep 0.1; done
[ "$(grep -c "serial: stopped" "$LOGF")" -gt "$n" ] || fail "the console round did not end"
echo "ok: mode 8"

# Mode 9: a sentence written in pieces shows in the frames.
post_form -d "Video[0].OSD.Message=^l ^p ^u ^m" -d "Video[0].OSD.Enabled=3" -d "Video[0].OSD.X=32" \
  -d "Video[0].OSD.Y=32"
service -d "Serial.StreamID=9"
wait_log "$LOGF" "serial baudrate=115200"
for piece in 'junk$GPX,1,2*00$TR' 'IS,12.5,AB' 'C,100.25,X' 'Y,more,fields'; do
  printf '%s' "$piece" >"$W/piece"
  send_peer "$W/piece"
  sleep 0.2
done
wait_status '^\$TRIS,12\.5,ABC,100\.25,XY,'
read_text() {
  timeout 60 ffmpeg -nostdin -v error -rtsp_transport tcp -i "rtsp://127.0.0.1:554/streamA.h264" \
    -frames:v 1 -y "$W/frame.png" || fail "no frame over RTSP"
  # The text's box alone, dark text on white whatever the bars behind it.
  convert "$W/frame.png" -crop 300x34+30+31 +repage -colorspace gray -negate -threshold 60% \
    -resize 200% "$W/crop.png"
  tesseract "$W/crop.png" - --psm 7 2>/dev/null | tr -d '\n\f'
}
for _ in 1 2 3; do
  got=$(read_text)
  [ "$got" = "12.5 ABC 100 XY" ] && break
done
[ "$got" = "12.5 ABC 100 XY" ] || fail "the frame reads '$got'"
echo "ok: mode 9"

# Mode 1: key frames of stream A, at most one a second.
post_form -d "Video[0].StreamMode=2"
service -d "Serial.StreamID=1" -d "Serial.Interval=1000"
reader "$W/out.h264"
wait_size "$W/out.h264" 1000
sleep 3
kill "$READER"
frames=$(ffprobe -v error -f h264 -show_entries frame=pict_type,key_frame -of csv=p=0 "$W/out.h264")
[ -n "$frames" ] || fail "ffprobe reads no frames"
grep -qv '^1,I' <<<"$frames" && fail "not only key frames: $frames"
[ "$(echo "$frames" | wc -l)" -le 6 ] || fail "more than one key frame a second: $frames"
echo "ok: mode 1 ($(echo "$frames" | wc -l) key frames)"

# Rounds leave no descriptor behind.
service -d "Serial.StreamID=3" -d "Serial.TCPPort=7000"
post_form -d "Serial.State=stop"
wait_status "^Stopped$"
before=$(serial_fds)
for _ in $(seq 1 20); do
  post_form -d "Serial.State=start"
  post_form -d "Serial.State=stop"
done
wait_status "^Stopped$"
sleep 0.5
[ "$(serial_fds)" = "$before" ] || fail "descriptors: $before before 20 rounds, $(serial_fds) after"
echo "ok: 20 rounds"

# A TCP peer that stops reading: its connection ends and the server takes the
# next one; a stop, and a quit, while one stalls take effect. The peer's small
# window and the 16 MiB from the line fill every buffer on the way; a stop and
# the quit come once the relay has moved some of them.
rx_now() { [[ $(status) =~ rx:([0-9]+) ]] && echo "${BASH_REMATCH[1]}" || echo 0; }
# wait_rx <bytes>: polls until the relay has read that many bytes from the port
# since the last stalled_peer began.
wait_rx() {
  local want=$((RX0 + $1))
  for _ in $(seq 1 600); do
    [ "$(rx_now)" -ge "$want" ] && return 0
    sleep 0.1
  done
  fail "the relay read no $1 bytes more from the port: $(status)"
}
# stalled_peer: connects to port 7000 and never reads, and the line starts
# sending; sets STALLED and FEED. The relay reads nothing from the port while
# it waits for a connection, so RX0 counts from this connection on.
stalled_peer() {
  RX0=$(rx_now)
  python3 -c 'import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.connect(("127.0.0.1", 7000)); time.sleep(300)' >/dev/null 2>&1 &
  STALLED=$!
  PIDS+=("$STALLED")
  wait_status "^Streaming, accepted from 127.0.0.1"
  head -c 16777216 /dev/zero | socat -u STDIN "FILE:$PEER,raw,echo=0" >/dev/null 2>&1 &
  FEED=$!
  PIDS+=("$FEED")
}
post_form -d "Serial.State=start"
wait_status "^Streaming, waiting for connection"
n=$(grep -c "Serial connection closed" "$LOGF" || true)
stalled_peer
for _ in $(seq 1 600); do [ "$(grep -c "Serial connection closed" "$LOGF")" -gt "$n" ] && break; sleep 0.1; done
[ "$(grep -c "Serial connection closed" "$LOGF")" -gt "$n" ] || fail "a peer that reads nothing keeps the relay"
wait_status "^Streaming, waiting for connection"
kill "$STALLED" "$FEED"
stalled_peer
wait_rx 8192
post_form -d "Serial.State=stop"
wait_status "^Stopped$"
kill "$STALLED" "$FEED"
echo "ok: a stalled TCP peer"

# A quit in the middle of a round is not held up by the port nor a peer.
post_form -d "Serial.State=start"
wait_status "^Streaming, waiting for connection"
stalled_peer
wait_rx 8192
kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 20
grep -q "serial_global_quit: hi" "$LOGF" || fail "no serial_global_quit"
echo PASS
