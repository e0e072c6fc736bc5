#!/bin/bash
# A volume that fails under the real binary, made to fail through
# <root>/run/sim_storage.cmd: a recording whose writes the full SD card
# refuses stops with "Storage full or write error" and leaves a TS file that
# ffmpeg decodes without an error; a file written through the control
# protocol to a full USB disk is reported at its close (169).
. "$(dirname "$0")/common.sh"
new_root --usb sda1:3
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
VOL=$ROOT/run/sim/storage/vol/mmcblk0p1
CMDF=$ROOT/run/sim_storage.cmd
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
# fault <dev> <kind> [after]: through the command file, until it took.
fault() {
  echo "fail $*" >>"$CMDF"
  for _ in $(seq 1 100); do
    [ "$(cat "$ROOT/run/sim/storage/$1.fault" 2>/dev/null)" = "$2 ${3:-0}" ] && return 0
    sleep 0.1
  done
  fail "fail $* not taken"
}
# The status line without the name the client adds after the number.
ctl() { /usr/bin/python3 "$CLIENT" "$@" | sed -n "1{s/ (.*//;p;}"; }

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/mmcblk0p1 /media/mmc" 20
post_form -d Recording.StorageDevice=4
post_form -d Recording.Format=1

# A few writes reach the card, the next is refused as by a full card (any
# read or write on the card counts, and a loaded box may flush a first
# write too small to hold a whole frame: the file is cut back to whole ones).
fault mmcblk0p1 ENOSPC 5
post_form -d Recording.State=start
status=
for _ in $(seq 1 1200); do
  status=$($C $B/Recording.Status)
  [ "$status" = "Storage full or write error" ] && break
  sleep 0.1
done
[ "$status" = "Storage full or write error" ] || fail "status: $status"
wait_log "$LOGF" "safe to remove" 30
fault mmcblk0p1 none
TS=$(ls "$VOL"/DCIM/*.ts)
[ -s "$TS" ] || fail "no file"
err=$(timeout 60 ffmpeg -nostdin -v error -i "$TS" -f null - 2>&1) || true
[ -z "$err" ] || fail "decode errors in $TS: $err"
ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$TS" | grep -x h264 >/dev/null ||
  fail "no video in $TS"
echo "ok: recording"

# The control protocol's file on the USB disk: taken into its buffer,
# refused by the full disk at the close.
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20
[ "$(ctl file_open 1 1 notes.txt)" = "status 0" ] || fail "file_open"
fault sda1 ENOSPC
ctl file_write "some notes" >/dev/null
st=$(ctl file_close)
[ "$st" = "status 169" ] || fail "file_close on a full volume: $st"
fault sda1 none
echo "ok: file_close"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
echo PASS
