#!/bin/bash
# A fresh root laid out as scripts/run lays it out, with every setting at
# its default: its monitor's EDID is an ordinary television's (edid-decode
# reads it clean), the web page's "Start recording" records to the USB disk
# the defaults name, ffprobe reads the file, and the menu, driven from the
# USB keyboard, plays it on that monitor to its end.
. "$(dirname "$0")/common.sh"
command -v evemu-event >/dev/null || fail "evemu-event missing (evemu-tools)"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
KBD=$ROOT/run/input/event0
DISPLAY_CMD=$ROOT/run/sim_display.cmd
DISK=$ROOT/run/sim/storage/vol/sda1/DCIM

edid=$(edid-decode -c "$ROOT/run/sim/edid.bin") || fail "edid-decode: $edid"
echo "$edid" | grep -q "EDID conformity: PASS" || fail "the EDID does not conform: $edid"
for m in "1920x1080   60" "1920x1080   50" "1920x1080   30" "1920x1080   25" "1920x1080   24" \
  "1280x720    60" "1280x720    50" "720x576    50" "720x480    59"; do
  echo "$edid" | grep -q "VIC .*$m" || fail "the monitor lists no $m Hz"
done

# shows <text>: within a few dumps the OSD shows the text.
shows() {
  local t
  for _ in $(seq 1 10); do
    t=$(osd_text)
    case "$t" in *"$1"*) return 0 ;; esac
    sleep 0.3
  done
  fail "OSD shows '$t', not '$1'"
}
key() { evemu-event "$KBD" --type EV_KEY --code "KEY_$1" --value 1 --sync
        evemu-event "$KBD" --type EV_KEY --code "KEY_$1" --value 0 --sync; }

# The keyboard and mouse scripts/run plugs in.
printf 'plug 0 keyboard\nplug 1 mouse\n' >"$ROOT/run/sim_input.cmd"
start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$LOGF" "keyboard repeat 500 100" 30
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 30
[ "$($C $B/Recording.StorageDevice)" = 0 ] || fail "Recording.StorageDevice is not the default"

# The recording page's buttons.
page_post() {
  local code
  code=$($C -o /dev/null -w "%{http_code}" -d redirect=/control_recording.htm -d "Recording.State=$1" "$B/controls")
  [ "$code" = 303 ] || fail "Recording.State=$1: $code"
}
page_post start
status=
for _ in $(seq 1 300); do
  status=$($C "$B/Recording.Status")
  case "$status" in "Recording "*) break ;; esac
  sleep 0.1
done
case "$status" in "Recording "*) ;; *) fail "recording status '$status'" ;; esac
$C "$B/control_recording.htm" | grep -q "Storage not present" && fail "the page says Storage not present"
# Three seconds by the recorder's own clock.
for _ in $(seq 1 600); do
  case "$($C "$B/Recording.Status")" in "Recording 0:00:0"[3-9]*) break ;; esac
  sleep 0.1
done
page_post stop
wait_param Recording.Status '^Stopped$' 30
MP4=$(ls "$DISK"/*.mp4 2>/dev/null | head -1)
[ -n "$MP4" ] || fail "no recording on the USB disk: $(find "$ROOT/run/sim/storage/vol")"
probe=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height -of csv=p=0 "$MP4")
echo "recorded: $probe"
case "$probe" in h264,*) ;; *) fail "ffprobe reads '$probe'" ;; esac
NAME=$(basename "$MP4")

# choose <text>: Down moves the menu's cursor (">") onto the row that
# begins with the text, Enter chooses it.
choose() {
  local t
  for _ in $(seq 1 14); do
    t=$(osd_text)
    echo "$t" | grep -qE ">[[:space:]]*$1" && { key ENTER; return 0; }
    key DOWN
    sleep 0.3
  done
  fail "no '>' before '$1' in '$t'"
}
# The menu plays it: Enter opens the menu; "Play video" lists the videos
# (the SD card has none), the cursor on the newest.
key ENTER
shows "== Menu =="
choose "Play video"
shows "== Play Video =="
key ENTER
wait_log "$LOGF" "play_video_action: filename=/media/int/DCIM/$NAME" 20
shows "END"
grep -q "Unsupported recorded video resolution" "$LOGF" && fail "the monitor refused the recording"
echo PASS
