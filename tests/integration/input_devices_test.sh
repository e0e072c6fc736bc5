#!/bin/bash
# A USB keyboard, mouse and touch panel on the real binary: records written
# into the simulated input devices by evemu-event and input_feed.py open,
# move and close menus, type text into the text-entry dialog and start and
# stop a recording, and type a title overlay that an RTSP frame then
# carries; the OSD is read by tesseract from its dump. A mouse and a
# touch panel plugged through the command file select menu rows, and a
# keyboard unplugged and plugged again works. Ctrl+Shift+D's diagnostics
# reinstall the program from the internal USB disk and quit.
. "$(dirname "$0")/common.sh"
command -v evemu-event >/dev/null || fail "evemu-event missing (evemu-tools)"
new_root --usb sda1:3
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
FEED="/usr/bin/python3 $M7391_SOURCE_DIR/tests/integration/input_feed.py"
KBD=$ROOT/run/input/event0
INPUT_CMD=$ROOT/run/sim_input.cmd
DISPLAY_CMD=$ROOT/run/sim_display.cmd
# shows <words> / hides <words>: within a few dumps the OSD shows (or no
# longer shows) every word, ignoring case, one wrong character allowed.
ocr_match() {
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
def near(a, b):
    d = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        prev, d[0] = d[0], i
        for j in range(1, len(b) + 1):
            prev, d[j] = d[j], min(d[j] + 1, d[j - 1] + 1, prev + (a[i - 1] != b[j - 1]))
    return d[len(b)] <= 1
got = sys.argv[1].lower().split()
sys.exit(0 if all(any(near(g, w) for g in got) for w in sys.argv[2].lower().split()) else 1)
PY
}
shows() {
  local t
  for _ in 1 2 3 4 5 6 7 8; do
    t=$(osd_text)
    ocr_match "$t" "$1" && return 0
    sleep 0.3
  done
  fail "OSD shows '$t', not '$1'"
}
hides() {
  local t
  for _ in 1 2 3 4 5 6 7 8; do
    t=$(osd_text)
    ocr_match "$t" "$1" || return 0
    sleep 0.3
  done
  fail "OSD still shows '$1': '$t'"
}
# cursor_on <words>: the ">" stands before the words (within a few dumps).
cursor_on() {
  local t
  for _ in 1 2 3 4 5 6 7 8; do
    t=$(osd_text)
    grep -qiE ">[[:space:]]*$1" <<<"$t" && return 0
  done
  fail "no '>' before '$1' in '$t'"
}
# wait_count <text> <n>: the log holds the text n times or more.
wait_count() {
  for _ in $(seq 1 300); do [ "$(grep -cF -- "$1" "$LOGF")" -ge "$2" ] && return 0; sleep 0.1; done
  fail "'$1' fewer than $2 times in the log"
}
key() { evemu-event "$KBD" --type EV_KEY --code "KEY_$1" --value 1 --sync
        evemu-event "$KBD" --type EV_KEY --code "KEY_$1" --value 0 --sync; }

# A splash picture at start, ended by a keypad key; then the live picture.
mkdir -p "$ROOT/usr/html/images"
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=640x480 -frames:v 1 -q:v 2 -y "$ROOT/usr/html/images/splash.jpg"
start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$LOGF" "output_filename=/usr/html/images/splash.jpg" 20
post_form -d KeyPress=13
wait_log "$LOGF" "wifi enable" 30
wait_log "$LOGF" "passthru start" 20
# R toggles recording (Escape alone does not stop it).
post_form -d Recording.StorageDevice=4 -d DVR_Esc_disabled=1
echo "plug 0 keyboard" >>"$INPUT_CMD"
wait_log "$LOGF" "keyboard repeat 500 100"
[ -p "$KBD" ] || fail "no FIFO for the keyboard"

# K opens the advanced configuration; Down then Enter chooses its second
# row, the advanced video screen; Escape goes back, twice leaves.
key K
shows "== Advanced Configuration =="
key DOWN
cursor_on "Advanced video"
key ENTER
wait_count "selected Advanced video options" 1
shows "== Advanced Video == Force camera"
key ESC
cursor_on "Advanced video"
key ESC
hides "Advanced Configuration"

# Ctrl+F1: the length dialog, with the text typed in.
$FEED "$KBD" key leftctrl+f1
shows "== Set length =="
$FEED "$KBD" text 12.5
shows "12.5"
key ESC
hides "Set length"

# T: the title overlay's editor; the text typed shows at the overlay's
# place (150, 100 in 16x16 cells) in stream A's frames, read by tesseract
# from an RTSP frame. T again hides it. The text is typed before any client
# plays stream A: the first client changes the frame size under it.
rtsp() { timeout "$1" ffmpeg -nostdin -v error -rtsp_transport tcp -i rtsp://127.0.0.1:554/streamA.h264 "${@:2}"; }
key T
shows "Enter title text"
$FEED "$KBD" text "HELLO WORLD"
key ESC
hides "Enter title text"
seen=
for _ in 1 2 3 4 5; do
  rtsp 60 -frames:v 1 -y "$ROOT/tmp/title.png" || fail "no RTSP frame"
  # The black box of the text alone: 11 cells of 16 x 16.
  convert "$ROOT/tmp/title.png" -crop 176x16+150+100 +repage -colorspace Gray -negate -resize 300% \
    -bordercolor white -border 20 "$ROOT/tmp/title.crop.png"
  seen=$(OMP_THREAD_LIMIT=1 tesseract "$ROOT/tmp/title.crop.png" - --psm 7 2>/dev/null | tr -d '\n\f')
  ocr_match "$seen" "HELLO WORLD" && break
done
ocr_match "$seen" "HELLO WORLD" || fail "title overlay reads '$seen'"
key T
shows "Title Overlay Off"

# R records to the SD card; R again stops, and the file plays.
key R
shows "Recording to SD Card storage"
sleep 1
stops=$(grep -c "record=0" "$LOGF")
key R
for _ in $(seq 1 200); do [ "$(grep -c "record=0" "$LOGF")" -gt "$stops" ] && break; sleep 0.1; done
f=$(find "$ROOT/run/sim/storage" -name '*.mp4' | head -1)
[ -n "$f" ] || fail "no recording"
d=
for _ in $(seq 1 100); do
  d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f" 2>/dev/null) && [ -n "$d" ] && break
  sleep 0.1
done
awk -v d="$d" 'BEGIN { exit !(d > 0.5) }' || fail "recording of '${d}' s"

# A mouse and a touch panel select a menu row by a click.
printf 'plug 1 mouse\nplug 2 touch\n' >>"$INPUT_CMD"
wait_log "$LOGF" "ABS bits"
key K
shows "== Advanced Configuration =="
# The mouse moves in OSD window pixels (menu pixels times the zoom of the
# output): a first click left of the rows tells the zoom.
MOUSE=$ROOT/run/input/event1
$FEED "$MOUSE" rel -5000 -5000 rel 40 40 click
wait_log "$LOGF" "mouse click"
X=$(grep "mouse click" "$LOGF" | tail -1 | sed 's/.*mouse click \([0-9]*\),.*/\1/')
Z=$((40 / X))
# The second row (rows from y 75, 15 pixels apart in the 9 x 13 font).
$FEED "$MOUSE" rel $(((112 - X) * Z)) $(((75 + 15 * 2 + 6 - X) * Z)) click
wait_count "selected Advanced video options" 2
shows "== Advanced Video =="
key ESC
shows "== Advanced Configuration =="
key ESC
hides "Advanced"
key K
shows "== Advanced Configuration =="
# The panel's 0..4095 maps onto the menu's 640 x 480: the first row.
$FEED "$ROOT/run/input/event2" touch $((112 * 4096 / 640)) $(((75 + 15 + 6) * 4096 / 480))
wait_count "selected Advanced options" 1
shows "== Advanced Options =="
key ESC
shows "== Advanced Configuration =="
key ESC
hides "Advanced"

# Unplugged and plugged again, the keyboard works.
echo "unplug 0" >>"$INPUT_CMD"
for _ in $(seq 1 50); do [ -p "$KBD" ] || break; sleep 0.1; done
echo "plug 0 keyboard" >>"$INPUT_CMD"
for _ in $(seq 1 50); do [ "$(grep -c 'keyboard repeat' "$LOGF")" -ge 2 ] && break; sleep 0.1; done
[ "$(grep -c 'keyboard repeat' "$LOGF")" -ge 2 ] || fail "the replugged keyboard was not opened"
key K
shows "== Advanced Configuration =="
key ESC

# "reload m7391", the diagnostics' row 12: random bytes named m7391 on the
# disk are refused with a message and the box runs on; this program (marked
# so that cmp tells it apart) is renamed over the running one, then the box
# quits.
NEW=$ROOT/run/sim/storage/vol/sda1/m7391
head -c 200000 /dev/urandom >"$NEW"
cp "$ROOT/usr/bin/m7391" "$ROOT/run/installed.before"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20
$FEED "$KBD" key leftctrl+leftshift+d
shows "Diagnostics Menu dmesg reload"
# Up from the first row wraps to the back row (a pointer is plugged).
key UP
cursor_on "Back"
key UP
cursor_on "view log"
key UP
cursor_on "reload"
key ENTER
shows "not a program for this board"
wait_log "$LOGF" "reload m7391: not a program for this machine" 20
kill -0 "$BOX_PID" || fail "the box quit after a program that is none"
cmp -s "$ROOT/run/installed.before" "$ROOT/usr/bin/m7391" || fail "/usr/bin/m7391 was replaced by random bytes"
key ENTER
cursor_on "reload"
cp "$M7391_BIN" "$NEW"
printf 'reloaded' >>"$NEW"
key ENTER
wait_exit "$BOX_PID" 30
cmp -s "$NEW" "$ROOT/usr/bin/m7391" || fail "/usr/bin/m7391 is not the disk's program"
echo PASS
