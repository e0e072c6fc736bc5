#!/bin/bash
# The serial relay's TCP server serves one peer at a time, with socat as the
# peers, each 127.0.0.x a host of its own: a peer that connects and says
# nothing holds the relay under TCP keep-alive (ss shows the timer), and a
# second peer that comes meanwhile waits, however long the first is quiet,
# while the first answers; once the network drops what goes to the first
# (a route to nowhere), the second takes its place before keep-alive would
# have given up on it: its line reaches the port, the port's reaches it.
. "$(dirname "$0")/common.sh"
new_root
W=$ROOT/run/relay
mkdir -p "$W"
PEER=$ROOT/dev/ttyS0.peer
command -v socat >/dev/null || fail "socat is not installed"
wait_status() { wait_param "Serial.Status" "$@"; }

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
post_form -d "Serial.State=stop"
post_form -d "Serial.BaudRate=115200" -d "Serial.StreamID=3" -d "Serial.TCPPort=7000"
post_form -d "Serial.State=start"
wait_status "^Streaming, waiting for connection"
: >"$W/port"
socat -u "FILE:$PEER,raw,echo=0" "OPEN:$W/port,append" &
PIDS+=("$!")

# The first peer connects and never sends.
socat -u TCP:127.0.0.1:7000,bind=127.0.0.2 "CREATE:$W/first" &
FIRST=$!
PIDS+=("$FIRST")
wait_status "^Streaming, accepted from 127.0.0.2"
ss -tnoH state established '( sport = :7000 )' >"$W/ss"
grep -q "127.0.0.2:.*timer:(keepalive" "$W/ss" || fail "no keep-alive on the peer's connection: $(cat "$W/ss")"

# The second sends a line and stays (while the test holds its input); it
# waits while the first, quiet, answers.
mkfifo "$W/to_second"
socat - TCP:127.0.0.1:7000,bind=127.0.0.3 <"$W/to_second" >"$W/second" &
PIDS+=("$!")
exec 7>"$W/to_second"
echo "from the second peer" >&7
sleep 18
! grep -q "from the second peer" "$W/port" || fail "a quiet peer that answers lost its place"
wait_status "^Streaming, accepted from 127.0.0.2"
# What goes to the first is dropped from now on: it is gone without a word.
ip rule add pref 10 to 127.0.0.2 blackhole
ip rule del pref 0
ip rule add pref 100 lookup local
for _ in $(seq 1 300); do grep -q "from the second peer" "$W/port" && break; sleep 0.1; done
grep -q "from the second peer" "$W/port" || fail "the second peer's line never reached the port: $(tail -3 "$LOGF")"
wait_status "^Streaming, accepted from 127.0.0.3"
quiet=$(sed -n 's/.*serial_tcp_server: the peer before was quiet for \([0-9]*\) s and answered no more$/\1/p' "$LOGF")
[ -n "$quiet" ] && [ "$quiet" -ge 18 ] || fail "the place given up after '$quiet' s: $(grep serial_tcp "$LOGF")"
echo "to the second peer" | socat -u - "FILE:$PEER,raw,echo=0"
for _ in $(seq 1 300); do grep -q "to the second peer" "$W/second" && break; sleep 0.1; done
grep -q "to the second peer" "$W/second" || fail "the port's line never reached the second peer"
[ ! -s "$W/first" ] || fail "the first peer got '$(cat "$W/first")'"
kill "$FIRST" 2>/dev/null || true
echo "ok: a quiet peer keeps its place while it answers, and gives it up once gone"
exec 7>&-

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
grep -q "main cleanup rendezvous met" "$LOGF" || fail "no clean quit"
echo PASS
