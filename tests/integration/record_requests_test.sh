#!/bin/bash
# Recording requests on the real binary do what their replies say, whichever
# way they come. With nothing to record on, the control protocol's
# record_start and snapshot_take answer 169 and the status word keeps its
# recording bit clear; "both" leaves the storage choice as it was. A
# recording paused for seconds keeps sound and picture together (ffprobe's
# stream durations) and carries the recording metadata sent by the control
# protocol in its moov (udta/uuid, found by walking the boxes). While it
# records, its file is neither deleted nor renamed (the control protocol
# answers 4, the download page names the file as being recorded), and once
# stopped it decodes whole (ffmpeg) and is deleted as any other file. A
# recording started by a form and one started by a
# keypad key end in the same state: the status word's bit, the REC line on
# the OSD (tesseract), no complaint in the log. set_low_power turns the
# display off and on and suspends the simulated board.
. "$(dirname "$0")/common.sh"
new_root --usb sda1:3
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
DISK=$ROOT/run/sim/storage/vol/sda1
CMD=$ROOT/run/sim_display.cmd
ctl() { timeout 30 python3 "$CLIENT" --timeout 10 "$@"; }
# The status line without the name the client adds after the number.
status_of() { ctl "$@" | sed -n "1{s/ (.*//;p;}"; }
word() { ctl get_status | sed -n "s/^word \([^ ]*\).*/\1/p"; }
# wait_bit <mask> <value>: the status word's bits under mask reach value.
wait_bit() {
  for _ in $(seq 1 300); do [ $(($(word) & $1)) = $(($2)) ] && return 0; sleep 0.1; done
  fail "status word $(word): bits $1 are not $2"
}
# osd_text <name>: tesseract's reading of the OSD's shown pages.
osd_text() {
  rm -f "$ROOT/tmp/$1.png"
  echo "osd /tmp/$1.png" >>"$CMD"
  for _ in $(seq 1 50); do [ -s "$ROOT/tmp/$1.png" ] && break; sleep 0.1; done
  [ -s "$ROOT/tmp/$1.png" ] || fail "no OSD dump $1"
  convert "$ROOT/tmp/$1.png" -background black -alpha remove -negate -scale 300% "$ROOT/tmp/$1.x3.png"
  OMP_THREAD_LIMIT=1 tesseract "$ROOT/tmp/$1.x3.png" - --psm 6 2>/dev/null | tr '\n' ' '
}
shows() {
  local t
  for i in 1 2 3 4 5 6 7 8; do
    t=$(osd_text "$2$i")
    case "$t" in *"$1"*) return 0 ;; esac
    sleep 0.3
  done
  fail "OSD shows '$t', not '$1'"
}
# recordings: the recordings on the disk, oldest first.
recordings() { ls -tr "$DISK"/DCIM/*.mp4 2>/dev/null || true; }

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20
wait_log "$LOGF" "passthru start" 30

# The external storage is absent: nothing can be recorded there.
[ "$(status_of record_start 2 0 0)" = "status 169" ] || fail "record_start without storage"
(( $(word) & 1 )) && fail "the recording bit is set without a recording: $(word)"
[ "$(status_of snapshot_take 2 0)" = "status 169" ] || fail "snapshot_take without storage"
(( $(word) & 1 )) && fail "the recording bit is set after snapshot_take: $(word)"
echo "ok: refused when nothing can be recorded"

# "both" names no device: the internal disk chosen stays chosen. Recorded,
# paused for three seconds and resumed: the sound keeps with the picture.
post_form -d Recording.StorageDevice=1
# Two pieces of 100 bytes, appended.
M1=$(head -c 100 /dev/urandom | od -An -tx1 -v | tr -d ' \n')
M2=$(head -c 100 /dev/urandom | od -An -tx1 -v | tr -d ' \n')
META=$M1$M2
[ "$(status_of append_record_metadata "hex:$M1")" = "status 0" ] || fail "append_record_metadata"
[ "$(status_of append_record_metadata "hex:$M2")" = "status 0" ] || fail "append_record_metadata"
[ "$(status_of enable_record_metadata 1)" = "status 0" ] || fail "enable_record_metadata"
started=$(ctl record_start 3 0 0)
[ "$(sed -n "1{s/ (.*//;p;}" <<<"$started")" = "status 0" ] || fail "record_start: $started"
NAME=$(sed -n 2p <<<"$started")
[ "$($C "$B/Recording.StorageDevice")" = 1 ] || fail "StorageDevice is $($C "$B/Recording.StorageDevice")"
wait_bit 1 1
grep -q "shouldn't get here" "$LOGF" && fail "the recording is out of sync"
[ "$(status_of file_delete 1 "$NAME")" = "status 4" ] || fail "file_delete of $NAME while it records"
[ "$(status_of file_rename 1 "$NAME" moved.mp4)" = "status 4" ] || fail "file_rename of $NAME while it records"
page=$($C -d "delete_file=$NAME" "$B/delete_files_int")
grep -qF "$NAME: is being recorded" <<<"$page" || fail "the download page's delete of $NAME: $page"
[ -f "$DISK/DCIM/$NAME" ] && [ ! -e "$DISK/DCIM/moved.mp4" ] || fail "$NAME was touched: $(ls "$DISK/DCIM")"
sleep 3
[ "$(status_of record_pause)" = "status 0" ] || fail "record_pause"
sleep 3
[ "$(status_of record_resume)" = "status 0" ] || fail "record_resume"
sleep 3
n=$(gui_stops)
[ "$(status_of record_stop)" = "status 0" ] || fail "record_stop"
wait_bit 1 0
wait_log "$LOGF" "stopped record stream" 30
wait_gui_stop "$n"
REC=$(recordings | tail -1)
[ "$REC" = "$DISK/DCIM/$NAME" ] || fail "the recording on the disk is '$REC', not $NAME"
err=$(timeout 60 ffmpeg -nostdin -v error -i "$REC" -fps_mode passthrough -f null - 2>&1) || fail "ffmpeg: $err"
[ -z "$err" ] || fail "$REC does not decode whole: $err"
durations=$(ffprobe -v error -show_entries stream=codec_type,duration -of csv=p=0 "$REC" | sort | tr '\n' ' ')
v=$(ffprobe -v error -select_streams v:0 -show_entries stream=duration -of csv=p=0 "$REC")
a=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 "$REC")
[ -n "$v" ] && [ -n "$a" ] || fail "$REC: streams $durations"
awk -v v="$v" -v a="$a" 'BEGIN { d = v - a; if (d < 0) d = -d; exit !(d < 0.6) }' ||
  fail "$REC: video $v s, audio $a s apart"
echo "ok: paused recording keeps sound and picture together ($durations)"
python3 - "$REC" "$META" <<'PY' || fail "$REC: no metadata in its moov"
import struct, sys
data = open(sys.argv[1], "rb").read()
def boxes(buf, at, end):
    while at + 8 <= end:
        size, kind = struct.unpack(">I4s", buf[at:at + 8])
        hdr = 8
        if size == 1:
            size, hdr = struct.unpack(">Q", buf[at + 8:at + 16])[0], 16
        if size < hdr or at + size > end:
            return
        yield kind, at + hdr, at + size
        at += size
moov = [b for b in boxes(data, 0, len(data)) if b[0] == b"moov"]
udta = [b for m in moov for b in boxes(data, m[1], m[2]) if b[0] == b"udta"]
uuid = [data[b[1]:b[2]] for u in udta for b in boxes(data, u[1], u[2]) if b[0] == b"uuid"]
want = bytes.fromhex("5541d8a06d664efbabf4b6eb7310cdc8") + bytes.fromhex(sys.argv[2])
sys.exit(0 if uuid == [want] else 1)
PY
echo "ok: the recording metadata is in the moov"
[ "$(status_of file_delete 1 "$NAME")" = "status 0" ] && [ ! -e "$REC" ] || fail "file_delete of $NAME once stopped"
echo "ok: the file being recorded is kept until it ends"

# A form's start and a key's start: the same bit, the same REC line.
: > "$ROOT/run/sync.log"
post_form -d Recording.State=start
wait_bit 1 1
shows "REC" form
n=$(gui_stops)
post_form -d Recording.State=stop
wait_bit 1 0
wait_gui_stop "$n"
post_form -d KeyPress=0
wait_bit 1 1
shows "REC" key
post_form -d KeyPress=10
wait_bit 1 0
grep -q "shouldn't get here" "$LOGF" && fail "a recording went out of sync"
echo "ok: form and key start the same recording"

# Low power: the display off and on again, then the board suspended.
[ "$(status_of set_low_power 1)" = "status 0" ] || fail "set_low_power 1"
for _ in $(seq 1 100); do [ "$(ctl get_display_mode | sed -n 2p)" = 4 ] && break; sleep 0.1; done
[ "$(ctl get_display_mode | sed -n 2p)" = 4 ] || fail "display mode $(ctl get_display_mode | sed -n 2p) at low power"
[ "$(status_of set_low_power 0)" = "status 0" ] || fail "set_low_power 0"
for _ in $(seq 1 100); do [ "$(ctl get_display_mode | sed -n 2p)" != 4 ] && break; sleep 0.1; done
[ "$(ctl get_display_mode | sed -n 2p)" != 4 ] || fail "the display stays off"
[ "$(status_of set_low_power 2)" = "status 0" ] || fail "set_low_power 2"
wait_log "$LOGF" "gpio thread resuming" 60
grep -qx "mem" "$ROOT/sys/power/state" || fail "no suspend: $(cat "$ROOT/sys/power/state" 2>&1)"
kill -0 "$BOX_PID" || fail "the program ended after the suspend"
echo "ok: low power"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
echo PASS
