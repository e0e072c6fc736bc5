#!/bin/bash
# The UDP log of the real binary: setting LogUDPAddr sends the log held so
# far, then every new line, as datagrams to port 7391 of that host; after a
# restart the log goes there from the start.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
OUT=$ROOT/run/udp.txt

python3 - "$OUT" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 7391))
s.settimeout(60)
with open(sys.argv[1], "ab", buffering=0) as f:
    try:
        while True:
            d, _ = s.recvfrom(65536)
            if len(d) > 1472:
                f.write(b"OVERSIZE DATAGRAM\n")
            f.write(d)
    except socket.timeout:
        pass
PY
PIDS+=($!)
sleep 0.3

start_box "$ROOT/run/a.log"
wait_log "$ROOT/run/a.log" "httpd: started"
code=$(curl -s -o /dev/null -w '%{http_code}' -d redirect=/index.htm -d LogUDPAddr=127.0.0.1 $B/controls)
[ "$code" = 303 ] || fail "form: $code"
wait_log "$OUT" "Serial #" 10
wait_log "$OUT" "init_log_udp: connected" 10
! grep -q "OVERSIZE" "$OUT" || fail "a datagram over 1472 bytes"
echo "ok: the held log reached the listener"
sleep 2.5
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
wait_log "$OUT" "global set quit" 5
echo "ok: new lines follow"

: > "$OUT"
start_box "$ROOT/run/b.log"
wait_log "$OUT" "main rendezvous met" 20
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
