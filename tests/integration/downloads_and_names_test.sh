#!/bin/bash
# Files and names from outside on the real binary. A download whose file is
# cut while curl reads it slowly ends (curl says the transfer was partial)
# and the box lets go of the file and the connection. Names of recordings at
# the length limit are listed, downloaded (cmp) and played whole; longer
# ones are neither listed nor downloaded, and play_file refuses them (2)
# rather than playing a file named by part of them. A file the player
# refuses leaves the control protocol free to name the next one. A
# record_start whose recorder can open no file answers 169, not a name, and
# leaves the protocol free. A request longer than a packet is answered 162.
. "$(dirname "$0")/common.sh"
new_root --usb sda1:3
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
DISK=$ROOT/run/sim/storage/vol/sda1/DCIM
ctl() { timeout 30 python3 "$CLIENT" --timeout 10 "$@"; }
status_of() { ctl "$@" | sed -n "1{s/ (.*//;p;}"; }
word() { ctl get_status | sed -n 's/^word \([^ ]*\).*/\1/p'; }
wait_bit() {
  for _ in $(seq 1 300); do [ $(($(word) & $1)) = $(($2)) ] && return 0; sleep 0.1; done
  fail "status word $(word): bits $1 are not $2"
}
code() { $C -o /dev/null -w '%{http_code}' "$@"; }
# name <length>: a recording's name of that many bytes.
name() { printf '%s.mp4' "$(head -c $(($1 - 4)) /dev/zero | tr '\0' n)"; }
# played <name>: the player was handed the recording of that whole name.
played() { grep -q "play_video_action: filename=.*/DCIM/$1\$" "$LOGF"; }
wait_played() {
  for _ in $(seq 1 200); do played "$1" && return 0; sleep 0.1; done
  fail "$1 was not played"
}
# stops: playbacks ended so far; wait_stops <count before>: one more.
stops() { grep -c "play_video_action: stopping" "$LOGF" || true; }
wait_stops() {
  for _ in $(seq 1 300); do [ "$(stops)" -gt "$1" ] && return 0; sleep 0.1; done
  fail "the playback did not end"
}
# shows <text>: tesseract reads the text on the OSD.
shows() {
  local t
  for i in $(seq 1 10); do
    rm -f "$ROOT/tmp/osd$i.png"
    echo "osd /tmp/osd$i.png" >>"$ROOT/run/sim_display.cmd"
    for _ in $(seq 1 50); do [ -s "$ROOT/tmp/osd$i.png" ] && break; sleep 0.1; done
    convert "$ROOT/tmp/osd$i.png" -background black -alpha remove -negate -scale 300% "$ROOT/tmp/osd$i.x3.png"
    t=$(OMP_THREAD_LIMIT=1 tesseract "$ROOT/tmp/osd$i.x3.png" - --psm 6 2>/dev/null | tr '\n' ' ')
    case "$t" in *"$1"*) return 0 ;; esac
    sleep 0.3
  done
  fail "the OSD shows '$t', not '$1'"
}
# box_holds <file name>: the box has a descriptor open on it.
box_holds() { ls -l "/proc/$BOX_PID/fd" 2>/dev/null | grep -qF -- "$1"; }

mkdir -p "$DISK"
start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20
wait_log "$LOGF" "passthru start" 30

# A download cut short: 64 MiB read at 512 KiB/s, the file cut to 1 MiB
# once curl has some of it.
head -c $((64 << 20)) /dev/zero >"$DISK/big.mp4"
$C --max-time 120 --limit-rate 512k -o "$ROOT/run/big.got" "$B/download?s=0&f=big.mp4" &
CURL=$!
for _ in $(seq 1 300); do
  [ "$(stat -c %s "$ROOT/run/big.got" 2>/dev/null || echo 0)" -gt 100000 ] && break
  sleep 0.1
done
box_holds big.mp4 || fail "the download's file is not open"
truncate -s $((1 << 20)) "$DISK/big.mp4"
rc=0
wait $CURL || rc=$?
# 18: partial transfer (56 when the close resets); 28 would be curl's own
# time-out on a reply that never ends.
[ "$rc" = 18 ] || [ "$rc" = 56 ] || fail "curl ended with $rc, not with a cut reply"
got=$(stat -c %s "$ROOT/run/big.got")
[ "$got" -lt $((64 << 20)) ] || fail "the whole announced size came: $got"
for _ in $(seq 1 300); do box_holds big.mp4 || break; sleep 0.1; done
box_holds big.mp4 && fail "the box still holds the cut file"
grep -q "web_send_fd: file ended at" "$LOGF" || fail "the early end was not logged"
# The web thread is free: another download is whole.
head -c 300000 /dev/urandom >"$DISK/small.mp4"
$C -o "$ROOT/run/small.got" "$B/download?s=0&f=small.mp4"
cmp "$DISK/small.mp4" "$ROOT/run/small.got" || fail "the next download differs"
echo "ok: a download cut short ends and lets go"

# Names at and past the limit: the web list and /download agree.
AT=$(name 127)
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=5 -t 1 -pix_fmt yuv420p -f mp4 "$DISK/$AT"
for n in 128 200 255; do head -c 100 /dev/urandom >"$DISK/$(name $n)"; done
$C "$B/download.htm" >"$ROOT/run/list.htm"
grep -qF "f=$AT\"" "$ROOT/run/list.htm" || fail "the name at the limit is not listed"
for n in 128 200 255; do
  grep -qF "$(name $n)" "$ROOT/run/list.htm" && fail "a name of $n bytes is listed"
  [ "$(code "$B/download?s=0&f=$(name $n)")" = 404 ] || fail "a name of $n bytes was served"
done
$C -o "$ROOT/run/at.got" "$B/download?s=0&f=$AT"
cmp "$DISK/$AT" "$ROOT/run/at.got" || fail "the name at the limit was not downloaded whole"
echo "ok: names on the web"

# play_file: a name one past the limit whose first 127 bytes name another
# file is refused; the name at the limit plays whole.
cp "$DISK/$AT" "$DISK/${AT}4"
[ "$(status_of play_file 1 "${AT}4")" = "status 2" ] || fail "play_file of 128 bytes"
played "$AT" && fail "a cut name was played"
n=$(stops)
[ "$(status_of play_file 1 "$AT")" = "status 0" ] || fail "play_file at the limit"
wait_played "$AT"
[ "$(status_of play_stop)" = "status 0" ] || fail "play_stop"
wait_stops "$n"
echo "ok: names through play_file"

# A file the player cannot open (empty, or not an MP4 at all) is refused
# before anything starts, and leaves no state: the next file named plays.
: >"$DISK/empty.mp4"
for f in empty.mp4 small.mp4; do
  [ "$(status_of play_file 1 $f)" = "status 169" ] || fail "play_file $f"
done
wait_bit 0x302 0
n=$(stops)
s=$(status_of play_file 1 "$AT")
[ "$s" = "status 0" ] || fail "play_file after a refused file: $s, word $(word)"
wait_played "$AT"
[ "$(status_of play_stop)" = "status 0" ] || fail "play_stop"
wait_stops "$n"
echo "ok: a play after a refused file"

# A recording folder the recorder cannot open files in (a link): no name,
# no success, no recording or menu bit left set: the next requests are
# answered for themselves, not as refused in this state (4).
rm -rf "$DISK"
ln -s "$ROOT/tmp" "$DISK"
n=$(gui_stops)
[ "$(status_of record_start 1 0 0)" = "status 169" ] || fail "record_start without a file"
wait_gui_stop "$n"
wait_bit 0x101 0
s=$(status_of play_file 1 small.mp4)
[ "$s" = "status 5" ] || fail "play_file after a failed recording: $s"
s=$(status_of record_start 1 0 0)
[ "$s" = "status 169" ] || fail "record_start after a failed recording: $s"
echo "ok: record_start with no file"

# Requests longer than a packet are answered as such (162), not left to the
# client's time-out.
for req in "play_file 1 $(name 300)" "file_open 1 0 $(name 300)" "file_rename 1 $(name 127) $(name 200)"; do
  # shellcheck disable=SC2086
  s=$(timeout 30 python3 "$CLIENT" --timeout 10 $req 2>&1 | sed -n 1p)
  [ "$s" = "status 162 (too long)" ] || fail "${req%% *} of an over-long request: $s"
done
echo "ok: over-long requests"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
grep -q "main cleanup rendezvous met" "$LOGF" || fail "no clean end"
echo PASS
