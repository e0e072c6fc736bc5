#!/bin/bash
# The web server of the real binary at the board's 1024 descriptors, against
# crowds that one address or a few send: stream viewers of one address that
# come and go are all served; an address that holds many streams still gets
# its pages, and so does one with 1100 idle connections; trickled form
# bodies from several addresses keep nobody else out and are closed by the
# box; a query of too many arguments is answered 414 at once. Addresses that
# each hold their share of places keep nobody else out: pages and an upload
# beside slow download readers holding every place (which the box lets go
# for their rate), a stream beside three addresses holding every stream
# place, at 1024 descriptors and at 20000.
. "$(dirname "$0")/common.sh"
new_root
B=http://127.0.0.1
W=$ROOT/run
LOGF=$W/a.log
DISK=$W/sim/storage/vol/sda1/DCIM
mkdir -p "$DISK"
truncate -s 16M "$DISK/big.mp4"
TRICKLE="python3 $M7391_SOURCE_DIR/tests/integration/web_trickle.py"
FLOOD="python3 $M7391_SOURCE_DIR/tests/integration/socket_flood.py"
bash -c "ulimit -n 1024 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
BOX_PID=$!
PIDS+=("$BOX_PID")
wait_log "$LOGF" "httpd: started"
caps=$(grep -o "web_daemon_start: .*" "$LOGF" | head -1)
[ "$caps" = "web_daemon_start: at most 128 connections, 64 from one address, idle ones closed after 30 s" ] ||
  fail "web caps: $caps"

# page <from> <what>: a page asked from 127.0.0.<from> is answered.
page() {
  local code
  code=$(curl -s -g --max-time 20 --interface "127.0.0.$1" -o /dev/null -w "%{http_code}" \
    "$B/Video[0].BitRate") || true
  [ "$code" = 200 ] || fail "a page from 127.0.0.$1 $2: $code"
}

# A query of 500 arguments: refused at once, and the box goes on.
q=$(python3 -c "print('&'.join('a%d=1' % i for i in range(500)))")
code=$(curl -s --max-time 10 -o /dev/null -w "%{http_code}" "$B/index.htm?$q") || true
[ "$code" = 414 ] || fail "500 query arguments: $code"
page 2 "after a long query"
echo "ok: 500 query arguments answered 414"

# Twenty viewers at one address, each reading a stream for 0.3 to 2 s and
# leaving, eight times over: each was answered 200 (curl ends at its time).
viewer() {
  for _ in 1 2 3 4 5 6 7 8; do
    curl -s --interface 127.0.0.3 --max-time "$((RANDOM % 2)).$((RANDOM % 7 + 3))" -o /dev/null \
      -w "%{http_code}\n" "$B/$1" || true
  done
}
VIEWERS=()
for i in $(seq 5); do
  for s in streamA.ts streamA.flv streamA.h264 streamC.pcm; do
    viewer $s >>"$W/viewers.txt" &
    VIEWERS+=($!)
  done
done
wait "${VIEWERS[@]}"
served=$(grep -c "^200$" "$W/viewers.txt" || true)
[ "$served" = 160 ] || fail "viewers: $served of 160 served: $(sort "$W/viewers.txt" | uniq -c)"
echo "ok: 160 stream requests of one address served"

# Twenty streams held by one address: a page from it is answered.
streams() { grep -c "get_stream_func: /streamA.ts" "$LOGF" || true; }
before=$(streams)
HOLD=()
for i in $(seq 20); do
  curl -s --interface 127.0.0.4 --max-time 120 -o /dev/null "$B/streamA.ts" &
  HOLD+=($!)
  PIDS+=($!)
done
for _ in $(seq 600); do [ "$(streams)" -ge $((before + 20)) ] && break; sleep 0.1; done
[ "$(streams)" -ge $((before + 20)) ] || fail "$(($(streams) - before)) of 20 streams answered"
page 4 "holding 20 streams"
kill "${HOLD[@]}" 2>/dev/null || true
echo "ok: a page beside 20 streams of its address"

# 144 forms from nine addresses, each trickling its body a byte every 10 s:
# pages from another address are answered all the while, and the box closes
# every one of the forms long before they end.
$TRICKLE 10-18 16 45 "$W/trickling" >"$W/trickle.txt" 2>&1 &
TR=$!
PIDS+=("$TR")
for _ in $(seq 600); do [ -e "$W/trickling" ] && break; sleep 0.1; done
[ -e "$W/trickling" ] || fail "the forms did not start: $(cat "$W/trickle.txt")"
for i in 1 2 3 4 5 6; do
  page 30 "while forms trickle ($i)"
  sleep 5
done
wait $TR || fail "trickle: $(cat "$W/trickle.txt")"
grep -q "^trickled 144 closed 144$" "$W/trickle.txt" || fail "trickled forms: $(cat "$W/trickle.txt")"
echo "ok: pages beside 144 trickled forms, which the box closed"

# 1100 idle connections from one address: a page from it is answered.
$FLOOD 30 80:1100:40 >"$W/idle.txt" 2>&1 &
FL=$!
PIDS+=("$FL")
for _ in $(seq 600); do grep -q holding "$W/idle.txt" && break; sleep 0.1; done
grep -q holding "$W/idle.txt" || fail "the flood did not start: $(cat "$W/idle.txt")"
page 40 "beside 1100 idle connections of its address"
kill "$FL" 2>/dev/null || true
echo "ok: a page beside 1100 idle connections of its address"

# Two addresses with 64 slow readers of a recording each (512 bytes in 10 s,
# on a LAN's MTU so the file outlasts the socket buffers) hold every place:
# pages from a third address are answered, and so is an upload at 4 KiB/s
# from a fourth while a crowd of other addresses comes and goes; the readers
# are let go for their rate.
wait_log "$W/exec.log" "/dev/sda1 /media/int" 20
ip link set lo mtu 1500
slow_lines() { grep -c "web_places_tick: closed .* moved too slowly" "$LOGF" || true; }
slow_before=$(slow_lines)
$FLOOD 60 "80:128:20-21:get=/download?s=0&f=big.mp4:rate=51" >"$W/readers.txt" 2>&1 &
RD=$!
PIDS+=("$RD")
for _ in $(seq 600); do grep -q holding "$W/readers.txt" && break; sleep 0.1; done
grep -q holding "$W/readers.txt" || fail "the readers did not start: $(cat "$W/readers.txt")"
sleep 2
for i in 1 2 3; do page 60 "beside 128 slow download readers ($i)"; done
head -c 32768 /dev/urandom >"$W/upload.bin"
curl -s --interface 127.0.0.70 --max-time 60 --limit-rate 4k -o "$W/upload.txt" -w "%{http_code}" \
  -H "Content-Type: application/octet-stream" --data-binary @"$W/upload.bin" "$B/firmware" >"$W/upload.code" &
UP=$!
PIDS+=("$UP")
sleep 2
$FLOOD 4 80:40:30-33 >"$W/crowd.txt" 2>&1 || fail "crowd: $(cat "$W/crowd.txt")"
wait $UP || fail "the upload beside the crowd: curl $? ($(cat "$W/upload.code"))"
[ "$(cat "$W/upload.code")" = 400 ] && grep -q "not a valid firmware file" "$W/upload.txt" ||
  fail "the upload beside the crowd was answered $(cat "$W/upload.code"): $(head -c 300 "$W/upload.txt")"
for _ in $(seq 600); do [ "$(slow_lines)" -gt "$slow_before" ] && break; sleep 0.1; done
[ "$(slow_lines)" -gt "$slow_before" ] || fail "the slow readers were not let go"
kill "$RD" 2>/dev/null || true
echo "ok: pages and a 4 KiB/s upload beside 128 slow readers, who were let go"

# streams_beside <descriptors>: three addresses hold 32 streams each, read at
# 1200 B/s: a stream from a fourth is served all the same.
streams_beside() {
  $FLOOD 30 "80:96:50-52:get=/streamA.ts:rate=1200" >"$W/streams$1.txt" 2>&1 &
  local st=$! code
  PIDS+=("$st")
  for _ in $(seq 600); do grep -q holding "$W/streams$1.txt" && break; sleep 0.1; done
  for _ in $(seq 600); do [ "$(grep -c "get_stream_func: /streamA.ts" "$LOGF")" -ge $((before + 96)) ] && break; sleep 0.1; done
  [ "$(grep -c "get_stream_func: /streamA.ts" "$LOGF")" -ge $((before + 96)) ] || fail "$1: 96 streams were not answered"
  code=$(curl -s --interface 127.0.0.53 --max-time 3 -o /dev/null -w "%{http_code}" "$B/streamB.ts") || true
  [ "$code" = 200 ] || fail "$1: streamB.ts beside 96 streams: $code"
  kill "$st" 2>/dev/null || true
  echo "ok: at $1 descriptors, a stream beside three addresses holding 32 each"
}
before=$(streams)
streams_beside 1024

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"

bash -c "ulimit -n 20000 && exec '$ROOT/usr/bin/m7391'" >"$LOGF" 2>&1 &
BOX_PID=$!
PIDS+=("$BOX_PID")
wait_log "$LOGF" "httpd: started"
caps=$(grep -o "web_daemon_start: .*" "$LOGF" | head -1)
[ "$caps" = "web_daemon_start: at most 128 connections, 64 from one address, idle ones closed after 30 s" ] ||
  fail "web caps at 20000: $caps"
before=0
streams_beside 20000
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
