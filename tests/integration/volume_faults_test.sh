#!/bin/bash
# A volume that fails under the real binary, made to fail through
# <root>/run/sim_storage.cmd: a recording whose writes the full SD card
# refuses stops with "Storage full or write error" and leaves a TS file that
# ffmpeg decodes without an error; a file written through the control
# protocol to a full USB disk is reported at its close (169); an MP4
# recording stops the same way on a full card, leaving a file ffprobe reads,
# and on a pulled disk, whose file then grows no more; the next start finds
# the pulled disk back and runs none of the old lines.
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

# status_is <text>: the recording status reaches it within a deadline.
status_is() {
  local status=
  for _ in $(seq 1 1200); do
    status=$($C $B/Recording.Status)
    [ "$status" = "$1" ] && return 0
    sleep 0.1
  done
  fail "status: $status, wanted $1"
}
# mp4_growing <dir>: waits for a new MP4 recording there to hold 256 KiB;
# sets MP4 to its path.
mp4_growing() {
  MP4=
  for _ in $(seq 1 600); do
    MP4=$(ls -t "$1"/*.mp4 2>/dev/null | head -1 || true)
    [ -n "$MP4" ] && [ "$(stat -c %s "$MP4")" -ge 262144 ] && return 0
    sleep 0.1
  done
  fail "no MP4 recording growing in $1"
}
# dismiss_notice: a recording that failed leaves a notice on the menu
# (the "menu open" status bit) that takes a key (Stop/Back) before a
# recording can start again.
menu_bit() { echo $(($(/usr/bin/python3 "$CLIENT" get_status | sed -n 's/^word \(0x[0-9a-f]*\).*/\1/p') & 0x100)); }
dismiss_notice() {
  for _ in $(seq 1 300); do [ "$(menu_bit)" != 0 ] && break; sleep 0.1; done
  [ "$(menu_bit)" != 0 ] || fail "no notice after a failed recording"
  for _ in $(seq 1 30); do
    sleep 0.5
    post_form -d KeyPress=1
    for _ in $(seq 1 20); do [ "$(menu_bit)" = 0 ] && return 0; sleep 0.1; done
  done
  fail "the notice stays"
}
safe=$(grep -c "safe to remove" "$LOGF" || true)
wait_safe() {
  for _ in $(seq 1 300); do
    [ "$(grep -c "safe to remove" "$LOGF" || true)" -gt "$safe" ] && { safe=$((safe + 1)); return 0; }
    sleep 0.1
  done
  fail "the recording did not end"
}

# An MP4 recording on a card that fills: it stops at once, and what
# reached the card closes into a file that plays.
post_form -d Recording.Format=0
dismiss_notice
post_form -d Recording.State=start
mp4_growing "$VOL/DCIM"
fault mmcblk0p1 ENOSPC
status_is "Storage full or write error"
wait_safe
fault mmcblk0p1 none
err=$(timeout 60 ffmpeg -nostdin -v error -i "$MP4" -f null - 2>&1) || true
[ -z "$err" ] || fail "decode errors in $MP4: $err"
frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=codec_name,nb_read_packets \
  -of csv=p=0 "$MP4")
case "$frames" in h264,*) [ "${frames#h264,}" -gt 5 ] || fail "frames in $MP4: $frames" ;;
  *) fail "no video in $MP4: $frames" ;; esac
echo "ok: mp4 on a full card"

# The same on the USB disk, pulled: nothing more reaches its file.
USB=$ROOT/run/sim/storage/vol/sda1
post_form -d Recording.StorageDevice=1
dismiss_notice
post_form -d Recording.State=start
mp4_growing "$USB/DCIM"
echo "pull sda1" >>"$CMDF"
for _ in $(seq 1 100); do
  [ "$(cat "$ROOT/run/sim/storage/sda1.fault" 2>/dev/null)" = "pull 0" ] && break
  sleep 0.1
done
held=$(stat -c %s "$MP4")
status_is "Storage full or write error"
wait_safe
size=$(stat -c %s "$MP4")
[ "$size" -ge "$held" ] && [ "$size" -le $((held + 1048576)) ] || fail "pulled disk's file: $held then $size bytes"
echo "ok: mp4 on a pulled disk"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30

# A fresh start: the pulled disk is back and mounts, the old lines of the
# command file are not run again, new ones still are.
mounts=$(grep -c "/dev/sda1 /media/int" "$ROOT/run/exec.log" || true)
start_box "$ROOT/run/b.log"
wait_log "$LOGF" "httpd: started"
for _ in $(seq 1 300); do
  [ "$(grep -c "/dev/sda1 /media/int" "$ROOT/run/exec.log" || true)" -gt "$mounts" ] && break
  sleep 0.1
done
[ "$(grep -c "/dev/sda1 /media/int" "$ROOT/run/exec.log" || true)" -gt "$mounts" ] || fail "sda1 not mounted after a restart"
[ -e "$ROOT/dev/sda1" ] || fail "sda1 pulled again"
[ "$(ctl file_open 1 1 notes2.txt)" = "status 0" ] || fail "file_open after a restart"
ctl file_write "more notes" >/dev/null
st=$(ctl file_close)
[ "$st" = "status 0" ] || fail "file_close after a restart: $st"
fault sda1 ENOSPC
fault sda1 none
echo "ok: restart"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
echo PASS
