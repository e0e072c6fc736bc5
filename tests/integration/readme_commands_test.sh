#!/bin/bash
# The README's commands for driving the simulated board, run as written on a
# root laid out as scripts/run lays it out (a keyboard and mouse plugged in):
# a root laid out again starts with empty command files, so the lines a run
# before left there fail nothing; the I2C keypad's "press" lines and the
# keyboard's R and Esc start, pause, resume and stop a recording as the key
# tables say, Mute and Rew mute and unmute, Menu/Ok and Stop/Back open and
# close the menu, as do the actions posted to /controls; the control client
# lists each operation's arguments, names the argument an "out of range" is
# about and decodes get_version; the mouse pointer starts off the OSD's
# status line.
. "$(dirname "$0")/common.sh"
command -v evemu-event >/dev/null || fail "evemu-event missing (evemu-tools)"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
cd "$M7391_SOURCE_DIR"
BOARD=$M7391_ROOT/run/sim_board.cmd

# What a run before left in the command files, then the root laid out again
# as scripts/run does at each start.
printf 'screen /tmp/old%d.png\n' 1 2 3 >"$M7391_ROOT/run/sim_display.cmd"
echo "keys 1" >"$BOARD"
"$MKROOT" "$M7391_ROOT" "$M7391_SOURCE_DIR/www"
[ ! -s "$BOARD" ] && [ ! -s "$M7391_ROOT/run/sim_display.cmd" ] || fail "command files not emptied"
printf 'plug 0 keyboard\nplug 1 mouse\n' >"$M7391_ROOT/run/sim_input.cmd"
start_box "$M7391_ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$LOGF" "keyboard repeat 500 100"

# The control client as the README gives it.
help=$(tests/control/ctl_client.py --help)
grep -qF "record_start STORAGE(1-3; 1 internal, 2 external, 3 both) MODE(" <<<"$help" ||
  fail "help: $help"
grep -qF "snapshot_take STORAGE(1-3" <<<"$help" || fail "help lists no snapshot_take arguments"
out=$(tests/control/ctl_client.py get_version)
grep -qE "^version 0x0105[0-9a-f]{4} \(1\.5 build [0-9]+\)$" <<<"$out" || fail "get_version: $out"
out=$(tests/control/ctl_client.py record_start 4 0 0)
grep -qx "status 2 (out of range)" <<<"$out" || fail "record_start 4: $out"
grep -qx "out of range: storage=4 (1-3)" <<<"$out" || fail "record_start 4: $out"
out=$(tests/control/ctl_client.py record_start 1 0 30000)
grep -qx "out of range: kbit/s=30000 (0 or 100-20000)" <<<"$out" || fail "record_start kbit/s: $out"
out=$(tests/control/ctl_client.py get_status)
grep -qx "status 0 (ok)" <<<"$out" || fail "get_status: $out"

# word_is <mask> <value>: the status word's bits under mask become value
# (a key is pressed only once the one before has done its part: the menu
# keeps one key waiting, and a busy box may take seconds to act on it).
word() { tests/control/ctl_client.py get_status | sed -n 's/^word \(0x[0-9a-f]*\).*/\1/p'; }
word_is() {
  local w
  for _ in $(seq 1 600); do
    w=$(word)
    [ -n "$w" ] && [ $((w & $1)) = "$(($2))" ] && return 0
    sleep 0.1
  done
  fail "status word $w: bits $1 not $2"
}
REC=0x1 PAUSED=0x40 MENU=0x100 VIDEO=0x4
wait_count() {
  for _ in $(seq 1 600); do [ "$(grep -cF -- "$1" "$LOGF")" -ge "$2" ] && return 0; sleep 0.1; done
  fail "'$1' fewer than $2 times in the log"
}
# stops: the recording stops ended so far. The status bit drops as a stop
# begins, and a key pressed while the recorder still writes is dropped: the
# next key waits for the stop's end.
STOPPED="updateRecordingStatus: record=0 pause=0"
stops() { grep -cF -- "$STOPPED" "$LOGF" || true; }
word_is $VIDEO $VIDEO

# The I2C keypad as the README gives it: Mute, then Rew unmutes; FF mutes.
press() { echo "press $1" >>"$M7391_ROOT/run/sim_board.cmd"; }
echo 'press 4096' >>"$M7391_ROOT/run/sim_board.cmd"    # Mute
wait_param Audio.Mute '^3$' 60
press 16
wait_param Audio.Mute '^0$' 60
press 512
wait_param Audio.Mute '^3$' 60
press 4096
wait_param Audio.Mute '^0$' 60
# Menu/Ok opens the menu, Stop/Back closes it.
press 8
word_is $MENU $MENU
press 2048
word_is $MENU 0

# An action posted by its number, as the README gives it (no user yet: the
# guest is the administrator).
curl -s -o /dev/null -d KeyPress=4 "http://127.0.0.1:$M7391_HTTP_PORT/controls"
word_is $MENU $MENU
curl -s -o /dev/null -d KeyPress=1 "http://127.0.0.1:$M7391_HTTP_PORT/controls"
word_is $MENU 0

# The I2C keypad: Record/Pause starts, pauses and resumes; Stop/Back stops.
n=$(stops)
press 256
word_is $REC $REC
press 256
word_is $((REC | PAUSED)) $((REC | PAUSED))
press 256
word_is $((REC | PAUSED)) $REC
press 2048
word_is $REC 0
wait_count "$STOPPED" $((n + 1))
# The keyboard: R starts, R pauses, R resumes, Esc stops.
key() { evemu-event "$M7391_ROOT/run/input/event0" --type EV_KEY --code "KEY_$1" --value 1 --sync
        evemu-event "$M7391_ROOT/run/input/event0" --type EV_KEY --code "KEY_$1" --value 0 --sync; }
n=$(stops)
key R
word_is $REC $REC
key R
word_is $((REC | PAUSED)) $((REC | PAUSED))
key R
word_is $((REC | PAUSED)) $REC
key ESC
word_is $REC 0
wait_count "$STOPPED" $((n + 1))

# The README's recording request, and its stop once the recording runs
# (the request sets the status bit before the menu has taken its key).
started=$(grep -c "updateRecordingStatus: record=1 pause=0" "$LOGF")
out=$(tests/control/ctl_client.py record_start 3 0 0)
grep -qx "status 0 (ok)" <<<"$out" || fail "record_start 3 0 0: $out"
wait_count "updateRecordingStatus: record=1 pause=0" $((started + 1))
out=$(tests/control/ctl_client.py record_stop)
grep -qx "status 0 (ok)" <<<"$out" || fail "record_stop: $out"
word_is $REC 0

# The mouse pointer (a white 9x9 outline on the OSD) starts at 100,100 of
# the OSD, off the status line at 50,50.
echo "osd /tmp/pointer.png" >>"$M7391_ROOT/run/sim_display.cmd"
for _ in $(seq 1 100); do [ -s "$M7391_ROOT/tmp/pointer.png" ] && break; sleep 0.1; done
[ -s "$M7391_ROOT/tmp/pointer.png" ] || fail "no OSD dump"
white() { [ "$(convert "$M7391_ROOT/tmp/pointer.png" -format "%[fx:p{$1,$2}.r*p{$1,$2}.g*p{$1,$2}.b*p{$1,$2}.a]" info:)" = 1 ]; }
white 100 100 && white 108 108 && white 100 108 || fail "no pointer at 100,100"
! white 50 50 || fail "the pointer is on the status line"

# No command failed, old or new.
! grep -F "failed:" "$LOGF" || fail "a command failed"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
grep -q "main cleanup rendezvous met" "$LOGF" || fail "no clean quit"
echo "PASS"
