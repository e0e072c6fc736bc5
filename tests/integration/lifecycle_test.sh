#!/bin/bash
# Start, banner, stub threads, SIGINT quits cleanly; a second copy makes the
# first quit, leaves /rebooting and keeps the input devices it plugged; a
# second SIGINT ends the process at once.
. "$(dirname "$0")/common.sh"
new_root
# "sync" (an exit action) holds while run/hold-sync exists: a shutdown can be
# caught in the middle.
mkdir -p "$ROOT/fakebin"
cat > "$ROOT/fakebin/sync" <<EOF
#!/bin/sh
if [ -e "$ROOT/run/hold-sync" ]; then
  echo held > "$ROOT/run/sync-held"
  for _ in \$(seq 300); do [ -e "$ROOT/run/hold-sync" ] || break; sleep 0.1; done
fi
exec /bin/sync
EOF
chmod +x "$ROOT/fakebin/sync"
export PATH="$ROOT/fakebin:$PATH"

start_box "$ROOT/run/a.log"
A=$BOX_PID
wait_log "$ROOT/run/a.log" "main rendezvous met"
grep -q "Serial #" "$ROOT/run/a.log" || fail "no banner"
[ ! -e "$ROOT/rebooting" ] || fail "/rebooting made by a lone copy"
kill -INT "$A"
wait_exit "$A"
grep -q "global set quit" "$ROOT/run/a.log" || fail "no 'global set quit'"
grep -q "main cleanup rendezvous met" "$ROOT/run/a.log" || fail "cleanup rendezvous not met"
grep -qx "sync" "$ROOT/run/exec.log" || fail "no sync in exec.log"
! grep -q "reboot" "$ROOT/run/exec.log" || fail "reboot after a plain quit"
echo "ok: SIGINT quit"

# A second copy in the same root makes the first one quit. It is started as
# scripts/run starts it, with the command file that plugs a keyboard and a
# mouse written anew; the first copy, held stopped until the second one has
# plugged them, quits without plugging them again: the devices stay the
# second copy's, and a writer of their FIFOs reaches it.
plug_input() { printf 'plug 0 keyboard\nplug 1 mouse\n' >"$ROOT/run/sim_input.cmd"; }
# fifos_of <pid>: the input FIFOs the process holds, as /proc names them.
fifos_of() { for f in /proc/"$1"/fd/*; do readlink "$f"; done 2>/dev/null | grep "/run/input/event" | sort; }
plug_input
start_box "$ROOT/run/b.log"
B=$BOX_PID
wait_log "$ROOT/run/b.log" "main rendezvous met"
kill -STOP "$B"
plug_input
start_box "$ROOT/run/c.log"
C=$BOX_PID
for _ in $(seq 1 300); do [ "$(fifos_of "$C" | wc -l)" = 2 ] && break; sleep 0.1; done
[ "$(fifos_of "$C" | wc -l)" = 2 ] || fail "the second copy plugged no input devices: $(fifos_of "$C")"
kill -CONT "$B"
wait_exit "$B" 30
grep -q "global set quit" "$ROOT/run/b.log" || fail "first copy did not quit"
wait_log "$ROOT/run/c.log" "main rendezvous met"
[ -e "$ROOT/rebooting" ] || fail "/rebooting missing after a second copy started"
[ "$(fifos_of "$C" | tr '\n' ' ')" = "$ROOT/run/input/event0 $ROOT/run/input/event1 " ] ||
  fail "the second copy reads FIFOs that lost their names: $(fifos_of "$C")"
timeout 20 /usr/bin/python3 "$M7391_SOURCE_DIR/tests/integration/input_feed.py" "$ROOT/run/input/event0" key ENTER ||
  fail "a writer of the keyboard's FIFO finds no reader"
echo "ok: second copy"

# Two SIGINTs: the second ends the process at once (default action), here
# while the first one's shutdown waits in its exit actions.
: > "$ROOT/run/hold-sync"
kill -INT "$C"
wait_log "$ROOT/run/sync-held" held 30
lines=$(wc -l < "$ROOT/run/c.log")
kill -INT "$C"
wait_exit "$C" 10
rm -f "$ROOT/run/hold-sync"
[ "$EXIT_STATUS" = 130 ] || fail "second SIGINT: exit status $EXIT_STATUS, not death by SIGINT"
[ "$(wc -l < "$ROOT/run/c.log")" = "$lines" ] || fail "lines logged after the second SIGINT"
echo "ok: double SIGINT ends"

# The "Reboot" action: the same shutdown, then "touch /rebooting" and
# "reboot" (which the host only logs).
rm -f "$ROOT/rebooting"
: > "$ROOT/run/exec.log"
start_box "$ROOT/run/d.log"
wait_log "$ROOT/run/d.log" "httpd: started"
curl -s -o /dev/null -d redirect=/index.htm -d Reboot=1 \
  "http://127.0.0.1:${M7391_HTTP_PORT:-80}/controls" || true
wait_log "$ROOT/run/exec.log" "reboot" 30
wait_exit "$BOX_PID" 30
grep -q "main cleanup rendezvous met" "$ROOT/run/d.log" || fail "no clean shutdown before the reboot"
[ "$(tail -3 "$ROOT/run/exec.log" | tr '\n' ' ')" = "sync touch /rebooting reboot " ] ||
  fail "exit actions: $(cat "$ROOT/run/exec.log")"
[ -e "$ROOT/rebooting" ] || fail "/rebooting not made"
echo "ok: reboot action"
echo PASS
