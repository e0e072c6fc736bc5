#!/bin/bash
# Snapshots of the real binary are JPEG pictures whatever stream B does: one
# taken while B makes JPEG, one after a player (ffprobe) has opened
# streamB.h264 and so switched B to H.264, and one while a player (ffmpeg)
# still reads it: each file begins FF D8, ends FF D9 and ffprobe reads it
# as mjpeg. Stream B's page, served after a snapshot with stream A at
# 1280x720, is taken as served (its fields parsed and posted back); a form
# with one refused value changes nothing. A 640x360 snapshot viewed runs the
# output at its size and shows it (ffmpeg's PSNR against the file); a
# picture the playback cannot decode and a file that is no picture are
# refused before the monitor changes. With the recording folder a link,
# snapshot_take answers the failure.
. "$(dirname "$0")/common.sh"
new_root --usb sda1:3
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
DISK=$ROOT/run/sim/storage/vol/sda1
W=$ROOT/run/snap
mkdir -p "$W"
ctl() { timeout 30 python3 "$CLIENT" --timeout 10 "$@"; }

# snap <what>: snapshot_take on the internal disk; the file it names must be
# a whole JPEG picture.
snap() {
  local out name
  out=$(ctl snapshot_take 1 50)
  [ "$(sed -n 1p <<<"$out")" = "status 0 (ok)" ] || fail "snapshot_take $1: $out"
  name=$(sed -n 2p <<<"$out")
  [ -s "$DISK/DCIM/$name" ] || fail "snapshot $1: no file '$name' ($(ls "$DISK/DCIM"))"
  python3 - "$DISK/DCIM/$name" <<'PY' || fail "snapshot $1: $name is no JPEG ($(file -b "$DISK/DCIM/$name"))"
import sys
d = open(sys.argv[1], "rb").read()
sys.exit(0 if d[:2] == b"\xff\xd8" and d[-2:] == b"\xff\xd9" else 1)
PY
  [ "$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$DISK/DCIM/$name")" = mjpeg ] ||
    fail "snapshot $1: ffprobe does not read $name as mjpeg"
  echo "ok: snapshot $1 is a JPEG ($name)"
  SNAP=$name
}
STATE=$ROOT/run/sim/display.txt
# wait_state <line>: the simulated output's state file holds that line.
wait_state() {
  for _ in $(seq 1 200); do
    grep -qx -- "$1" "$STATE" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "display.txt has no '$1': $(cat "$STATE" 2>/dev/null)"
}

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20
wait_log "$LOGF" "RTSP server created on port"
wait_log "$LOGF" "passthru start" 30
post_form -d Recording.StorageDevice=1 -d Video[0].Resolution=1280x720 -d Video[1].StreamMode=3

snap "of a JPEG stream B"

# That snapshot is 640x360, half of A: viewed, the output runs at its size
# (enlarged onto 720p, which the television lists) and shows the picture.
[ "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 "$DISK/DCIM/$SNAP")" = "640,360" ] ||
  fail "the snapshot is not 640x360"
out=$(ctl view_snapshot 1 "$SNAP")
[ "$(sed -n 1p <<<"$out")" = "status 0 (ok)" ] || fail "view_snapshot: $out"
for line in "width 640" "height 360" "preset 8" "streaming 1"; do wait_state "$line"; done
rm -f "$ROOT/tmp/view.yuv"
for _ in $(seq 1 20); do
  echo "dump /tmp/view.yuv" >>"$ROOT/run/sim_display.cmd"
  for _ in $(seq 1 5); do [ -s "$ROOT/tmp/view.yuv" ] && break 2; sleep 0.1; done
done
# The picture as decoded, full range as JPEG has it.
psnr=$(ffmpeg -nostdin -v info -color_range pc -f rawvideo -pix_fmt nv12 -s 640x360 -i "$ROOT/tmp/view.yuv" \
  -i "$DISK/DCIM/$SNAP" -lavfi "[0]format=yuvj420p[a];[a][1]psnr" -f null - 2>&1 |
  sed -n 's/.*PSNR.* average:\([0-9.inf]*\).*/\1/p')
[ -n "$psnr" ] && { [ "$psnr" = inf ] || [ "${psnr%.*}" -ge 40 ]; } ||
  fail "the output does not show the snapshot (PSNR '$psnr')"
grep -q "view snapshot error" "$LOGF" && fail "the view of $SNAP reported an error"
[ "$(ctl snapshot_stop | sed -n 1p)" = "status 0 (ok)" ] || fail "snapshot_stop"
wait_log "$LOGF" "view snapshot ret=0"
echo "ok: a 640x360 snapshot shows on the monitor at its size (PSNR $psnr dB)"

# A picture the playback cannot decode (4:4:4) is refused before the
# monitor changes.
timeout 60 ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240 -frames:v 1 -pix_fmt yuvj444p \
  "$DISK/DCIM/full.jpg" || fail "ffmpeg 4:4:4"
views=$(grep -c "decodeMain: out=" "$LOGF" || true)
[ "$(ctl view_snapshot 1 full.jpg | sed -n 1p)" = "status 169 (file operation failed)" ] ||
  fail "view_snapshot of a 4:4:4 picture: $(ctl view_snapshot 1 full.jpg)"
sleep 1
[ "$(grep -c "decodeMain: out=" "$LOGF")" = "$views" ] || fail "the refused picture took the monitor"
echo "ok: a picture that cannot be shown is refused at once"

# Stream B's page as served, posted back field by field: taken. Then one
# refused value among good ones: nothing of the form is taken.
$C "$B/setup_streamb.htm" >"$W/b.htm"
python3 - "$W/b.htm" >"$W/b.form" <<'PY' || fail "stream B's page has no form"
import html.parser, sys, urllib.parse
class Form(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.fields, self.select, self.first = [], None, None
    def handle_starttag(self, tag, a):
        a = dict(a)
        if tag == "input" and a.get("type") != "submit" and "name" in a:
            if a.get("type") != "checkbox" or "checked" in a:
                self.fields.append((a["name"], a.get("value") or ""))
        elif tag == "select":
            self.select, self.first = a["name"], None
        elif tag == "option" and self.select:
            if self.first is None:
                self.first = a.get("value", "")
            if "selected" in a:
                self.fields.append((self.select, a.get("value", "")))
                self.select = None
    def handle_endtag(self, tag):
        if tag == "select" and self.select:
            self.fields.append((self.select, self.first or ""))
            self.select = None
f = Form()
f.feed(open(sys.argv[1]).read())
sys.exit(1 if not f.fields else print(urllib.parse.urlencode(f.fields)))
PY
grep -q "Resolution=" "$W/b.form" || fail "no Resolution on stream B's page"
code=$($C -o "$W/b.reply" -w '%{http_code}' -L -d @"$W/b.form" "$B/streamB_controls")
[ "$code" = 200 ] || fail "stream B's page posted back as served: $code $(cat "$W/b.reply") ($(cat "$W/b.form"))"
echo "ok: stream B's page is taken as served"
before=$($C "$B/Video[1].BitRate")
code=$($C -o /dev/null -w '%{http_code}' -d BitRate=$((before + 1000)) -d Resolution=1280x720 \
  -d redirect=/setup_streamb.htm "$B/streamB_controls")
[ "$code" = 400 ] || fail "a refused resolution answered $code"
[ "$($C "$B/Video[1].BitRate")" = "$before" ] || fail "a refused form changed BitRate: $($C "$B/Video[1].BitRate")"
echo "ok: a refused form changes nothing"

# A player opens B's H.264 session: B becomes H.264, and snapshots stay JPEG,
# after the player left and while one plays.
ffprobe -v error -rtsp_transport tcp -rw_timeout 20000000 "rtsp://127.0.0.1:554/streamB.h264" >/dev/null 2>&1 ||
  fail "ffprobe could not open streamB.h264"
wait_param Video[1].StreamMode '^2$'
snap "after a player opened streamB.h264"
attached=$(grep -c "stream attached" "$LOGF" || true)
timeout 120 ffmpeg -nostdin -v error -rtsp_transport tcp -i "rtsp://127.0.0.1:554/streamB.h264" -t 60 \
  -f null - >"$W/player.log" 2>&1 &
PLAYER=$!
PIDS+=("$PLAYER")
for _ in $(seq 1 300); do [ "$(grep -c "stream attached" "$LOGF")" -gt "$attached" ] && break; sleep 0.1; done
[ "$(grep -c "stream attached" "$LOGF")" -gt "$attached" ] || fail "the player did not attach to stream B"
snap "while a player reads streamB.h264"
kill "$PLAYER" 2>/dev/null || true

# Something else under a picture's name is not shown.
printf '\0\0\0\1\x67\x64\0\x28' >"$DISK/DCIM/other.jpg"
[ "$(ctl view_snapshot 1 other.jpg | sed -n 1p)" = "status 169 (file operation failed)" ] ||
  fail "view_snapshot of no picture: $(ctl view_snapshot 1 other.jpg)"
echo "ok: a file that is no picture is not shown"

# The recording folder a link to a folder outside the disk: no file can be
# opened, and the reply says so.
mkdir -p "$ROOT/outside"
rm -rf "$DISK/DCIM"
ln -s "$ROOT/outside" "$DISK/DCIM"
out=$(ctl snapshot_take 1 50)
[ "$(sed -n 1p <<<"$out")" = "status 169 (file operation failed)" ] || fail "snapshot into a linked folder: $out"
[ -z "$(ls -A "$ROOT/outside")" ] || fail "a snapshot went through the link: $(ls "$ROOT/outside")"
echo "ok: snapshot_take answers a failed file"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
echo PASS
