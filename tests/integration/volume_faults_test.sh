#!/bin/bash
# A volume that fails under the real binary, made to fail through
# <root>/run/sim_storage.cmd: a recording whose writes the full SD card
# refuses stops with "Storage full or write error" and leaves a TS file cut
# back to whole packets and frames that ffprobe reads; a file written
# through the control protocol to a full USB disk is reported at its close
# (169), as is a log saved again where it cannot be whole, which leaves the
# log saved before as it was; an MP4 recording stops the same way on a full card, leaving a file
# ffprobe reads, and on a pulled disk, whose file then grows no more; the
# next start finds the pulled disk back and runs none of the old lines. A
# failed recording clears its status bit with the recorder and leaves no
# menu bit: record_stop is then refused. An MP4 recording on a card that
# fails every write from the start stops the same way and leaves no file.
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
# whole_units <file>: what a failed volume can spoil. ffprobe reads the file
# to its end with no complaint from the demuxer (a TS unit cut short says
# "PES packet size mismatch"; an MP4 without its index is not read) and
# finds H.264 in it; sets PACKETS to the video packets read. The decoder is
# heard too unless the box logged sequence numbers lost on the way: a loaded
# host may drop capture frames, which is no fault of the volume.
whole_units() {
  local out err
  # A TS file lists its stream once more under its program.
  out=$(timeout 60 ffprobe -v warning -select_streams v:0 -count_packets \
    -show_entries stream=codec_name,nb_read_packets -of csv=p=0 "$1" 2>"$ROOT/run/probe.err" | grep -m1 .) || true
  err=$(cat "$ROOT/run/probe.err")
  [ -z "$err" ] || fail "$1 is not read whole: $err"
  case "$out" in h264,*) PACKETS=${out#h264,} ;; *) fail "no video in $1: $out" ;; esac
  if grep -q " was lost, next seq is " "$LOGF"; then
    echo "$1: frames were lost on the way: $(grep -m1 " was lost, next seq is " "$LOGF")"
  else
    err=$(timeout 60 ffmpeg -nostdin -v error -i "$1" -f null - 2>&1) || true
    [ -z "$err" ] || fail "decode errors in $1: $err"
  fi
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
first_stop=$(gui_stops)
post_form -d Recording.State=start
status=
for _ in $(seq 1 1200); do
  status=$($C $B/Recording.Status)
  [ "$status" = "Storage full or write error" ] && break
  sleep 0.1
done
[ "$status" = "Storage full or write error" ] || fail "status: $status"
wait_log "$LOGF" "safe to remove" 30
wait_gui_stop "$first_stop"
fault mmcblk0p1 none
TS=$(ls "$VOL"/DCIM/*.ts)
[ -s "$TS" ] || fail "no file"
# Whole 188-byte packets, each opening with its sync byte.
python3 -c 'import sys; d = open(sys.argv[1], "rb").read()
sys.exit(len(d) % 188 != 0 or any(d[i] != 0x47 for i in range(0, len(d), 188)))' "$TS" ||
  fail "$TS ($(stat -c %s "$TS") bytes) is not whole packets"
whole_units "$TS"
[ "$PACKETS" -ge 1 ] || fail "no frame in $TS"
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

# A log saved to the USB disk, then saved again where no file may grow past
# 300 bytes: refused (169), and the first log is there byte for byte.
INT=$ROOT/run/sim/storage/vol/sda1
[ "$(ctl save_log 1 0)" = "status 0" ] || fail "save_log"
cp "$INT/log.txt" "$ROOT/run/log.saved"
[ "$(stat -c %s "$ROOT/run/log.saved")" -gt 300 ] || fail "the saved log is too short to tell"
# limit <bytes>: on sda1; the command file's lines run in order, so the
# fault line after it has taken once its state file is written again.
limit() {
  rm -f "$ROOT/run/sim/storage/sda1.fault"
  echo "limit sda1 $1" >>"$CMDF"
  fault sda1 none
}
limit 300
st=$(ctl save_log 1 0)
[ "$st" = "status 169" ] || fail "save_log past the limit: $st"
cmp "$INT/log.txt" "$ROOT/run/log.saved" || fail "a failed save spoiled the saved log"
ls -A "$INT" | grep -q '^\.' && fail "left behind: $(ls -A "$INT" | grep '^\.')"
limit 0
echo "ok: save_log"

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
# failed_clean <menu stops before>: once a recording has failed, the status
# word holds neither its recording bit nor the menu bit (its message holds
# no key back), record_stop is refused (4), and the menu draws it stopped.
failed_clean() {
  local w
  w=$(/usr/bin/python3 "$CLIENT" get_status | sed -n 's/^word \(0x[0-9a-f]*\).*/\1/p')
  [ $((w & 0x101)) = 0 ] || fail "status word $w once the recording failed"
  [ "$(ctl record_stop)" = "status 4" ] || fail "record_stop after the failure: $(ctl record_stop)"
  wait_gui_stop "$1"
}
safe=$(grep -c "safe to remove" "$LOGF" || true)
wait_safe() {
  for _ in $(seq 1 300); do
    [ "$(grep -c "safe to remove" "$LOGF" || true)" -gt "$safe" ] && { safe=$((safe + 1)); return 0; }
    sleep 0.1
  done
  fail "the recording did not end"
}

# An MP4 recording on a card that fails every write: nothing of it reaches
# the card, and no file (empty, or headers without an index) is left.
post_form -d Recording.Format=0
before=$(ls "$VOL/DCIM")
fault mmcblk0p1 EIO
n=$(gui_stops)
post_form -d Recording.State=start
status_is "Storage full or write error"
failed_clean "$n"
wait_safe
fault mmcblk0p1 none
[ "$(ls "$VOL/DCIM")" = "$before" ] || fail "a recording that failed at once left: $(ls -l "$VOL/DCIM")"
echo "ok: mp4 on a failing card leaves no file"

# An MP4 recording on a card that fills: it stops at once, and what
# reached the card closes into a file that plays.
n=$(gui_stops)
post_form -d Recording.State=start
mp4_growing "$VOL/DCIM"
fault mmcblk0p1 ENOSPC
status_is "Storage full or write error"
failed_clean "$n"
wait_safe
fault mmcblk0p1 none
whole_units "$MP4"
[ "$PACKETS" -gt 5 ] || fail "frames in $MP4: $PACKETS"
echo "ok: mp4 on a full card"

# The same on the USB disk, pulled: nothing more reaches its file.
USB=$ROOT/run/sim/storage/vol/sda1
post_form -d Recording.StorageDevice=1
n=$(gui_stops)
post_form -d Recording.State=start
mp4_growing "$USB/DCIM"
echo "pull sda1" >>"$CMDF"
for _ in $(seq 1 100); do
  [ "$(cat "$ROOT/run/sim/storage/sda1.fault" 2>/dev/null)" = "pull 0" ] && break
  sleep 0.1
done
held=$(stat -c %s "$MP4")
status_is "Storage full or write error"
failed_clean "$n"
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
