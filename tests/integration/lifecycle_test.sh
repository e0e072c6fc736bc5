#!/bin/bash
# Start, banner, stub threads, SIGINT quits cleanly; a second copy makes the
# first quit and leaves /rebooting; a second SIGINT ends the process at once.
. "$(dirname "$0")/common.sh"
new_root

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

# A second copy in the same root makes the first one quit.
start_box "$ROOT/run/b.log"
B=$BOX_PID
wait_log "$ROOT/run/b.log" "main rendezvous met"
start_box "$ROOT/run/c.log"
C=$BOX_PID
wait_exit "$B" 30
grep -q "global set quit" "$ROOT/run/b.log" || fail "first copy did not quit"
wait_log "$ROOT/run/c.log" "main rendezvous met"
[ -e "$ROOT/rebooting" ] || fail "/rebooting missing after a second copy started"
echo "ok: second copy"

# Two SIGINTs: the second ends the process at once (default action).
kill -INT "$C"
kill -INT "$C" 2>/dev/null || true
wait_exit "$C" 30
echo "ok: double SIGINT ends"

# A copy in another root is not this root's concern.
echo PASS
