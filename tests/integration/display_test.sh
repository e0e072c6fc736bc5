#!/bin/bash
# The monitor output of the real binary: colour bars and the live capture
# asked for over HTTP show on the simulated output (its state file and frame
# dumps, read back with ffmpeg), the transmitter registers through
# DebugAddr/DebugData, the screen dump holds the whole zoomed OSD, and
# SIGINT ends it cleanly.
. "$(dirname "$0")/common.sh"
new_root
# A TV that lists 1080p30, the capture's picture.
mkdir -p "$ROOT/run/sim"
edid-decode "$M7391_SOURCE_DIR/tests/display/edid/lg_tv.hex" "$ROOT/run/sim/edid.bin" >/dev/null
B="http://127.0.0.1:${M7391_HTTP_PORT:-80}"
post() { curl -s -o /dev/null --max-time 20 -d redirect=/index.htm "$@" "$B/controls"; }
get() { curl -s --max-time 20 "$B/$1"; }
STATE=$ROOT/run/sim/display.txt
# wait_state <line>: the state file holds that line.
wait_state() {
  for _ in $(seq 1 200); do
    grep -qx -- "$1" "$STATE" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "display.txt has no '$1': $(cat "$STATE" 2>/dev/null)"
}
# dump <board path>: the shown frame, through the command file (asked again
# until a frame is shown).
dump() {
  rm -f "$ROOT$1"
  for _ in $(seq 1 20); do
    echo "dump $1" >> "$ROOT/run/sim_display.cmd"
    for _ in $(seq 1 5); do [ -s "$ROOT$1" ] && return 0; sleep 0.1; done
  done
  fail "no dump $1"
}

start_box "$ROOT/run/box.log"
wait_log "$ROOT/run/box.log" "httpd: started"
# The menu starts the live picture; colour bars asked for replace it.
wait_log "$ROOT/run/box.log" "passthru start" 20
post -d DebugAddr=0x10019
post -d Display.Colorbars=1
wait_state "streaming 1"
wait_state "format UYVY"
# Bars in the standard the live picture had: 1080p30 from the 1080p capture.
wait_state "width 1920"
[ "$(get DebugData)" = "0x00000000" ] || fail "register 0x19 not cleared once streaming: $(get DebugData)"
dump /tmp/bars.uyvy
# Eight bars of 240 pixels: the UYVY word at each bar's middle, mid-height.
for i in 0 1 2 3 4 5 6 7; do
  W=$(od -An -tx4 -j $((1080 * 3840 / 2 + (i * 240 + 120) * 2)) -N4 "$ROOT/tmp/bars.uyvy" | tr -d ' ')
  E=(ea80ea80 a78aa731 8a318a9a 793e794c 60c360b4 4fcf4f66 327332ce 22802280)
  [ "$W" = "${E[$i]}" ] || fail "bar $i is $W"
done
ffmpeg -v error -f rawvideo -pix_fmt uyvy422 -s 1920x1080 -i "$ROOT/tmp/bars.uyvy" \
  -frames:v 1 -y "$ROOT/tmp/bars.png" || fail "ffmpeg cannot read the bars dump"
echo "ok: colour bars"

post -d DebugAddr=0x10040 -d DebugData=0x5a
[ "$(get DebugData)" = "0x0000005a" ] || fail "a DebugData write did not reach the transmitter"
echo "ok: transmitter registers"

post -d Display.Colorbars=0
post -d Display.Passthru=1
wait_state "format NV12"
wait_state "width 1920"
wait_state "preset 16"
wait_state "streaming 1"
# The frame number strip along the bottom: 16 cells, white for 1.
frame_number() {
  dump /tmp/pass.yuv
  ffmpeg -v error -f rawvideo -pix_fmt nv12 -s 1920x1080 -i "$ROOT/tmp/pass.yuv" \
    -vf "crop=1920:2:0:1060,scale=16:1:flags=neighbor" -f rawvideo -pix_fmt gray - |
    od -An -tu1 -v | tr -s ' ' '\n' | grep -v '^$' |
    awk '{ n = n * 2 + ($1 > 128) } END { print n }'
}
N1=$(frame_number)
sleep 1
N2=$(frame_number)
[ -n "$N1" ] && [ "$N2" -gt "$N1" ] || fail "pass-through frame number did not advance: $N1 $N2"
echo "ok: pass-through ($N1 -> $N2)"
# The pictures queued: whole NV12 frames, each a new one.
echo "record /tmp/rec.txt 5" >> "$ROOT/run/sim_display.cmd"
for _ in $(seq 1 100); do [ "$(wc -l < "$ROOT/tmp/rec.txt" 2>/dev/null || echo 0)" -ge 5 ] && break; sleep 0.1; done
[ "$(awk '$2 == 3110400' "$ROOT/tmp/rec.txt" | wc -l)" = 5 ] || fail "recorded: $(cat "$ROOT/tmp/rec.txt")"
[ "$(awk '{ print $3 }' "$ROOT/tmp/rec.txt" | sort -u | wc -l)" -ge 2 ] || fail "the same picture queued 5 times"
echo "ok: recorded queue"

# A persistent output failure during the pass-through: the output is made
# again after growing pauses with one line for the episode, the display thread
# spends no CPU on it, and the picture comes back once the output works.
LOG=$ROOT/run/box.log
DQBUF=$(printf '%x' $(((3 << 30) | (88 << 16) | (0x56 << 8) | 17)))
starts=$(grep -c "passthru start" "$LOG")
echo "fail $DQBUF 1000000000" >> "$ROOT/run/sim_display.cmd"
wait_log "$LOG" "run_passthru: the output fails"
TID=$(grep -lx display_hd /proc/"$BOX_PID"/task/*/comm | head -1 | xargs dirname)
cpu() { awk '{ print $14 + $15 }' "$TID/stat"; }
c0=$(cpu)
lines0=$(wc -l < "$LOG")
sleep 6
c1=$(cpu)
retries=$(($(grep -c "passthru start" "$LOG") - starts))
# A slow machine only lowers these counts.
[ "$retries" -le 8 ] || fail "$retries pass-through starts in 6 s of a failing output"
[ "$((c1 - c0))" -le 100 ] || fail "the display thread used $((c1 - c0)) ticks in 6 s"
[ "$(($(wc -l < "$LOG") - lines0))" -le 300 ] || fail "$(($(wc -l < "$LOG") - lines0)) log lines in 6 s"
[ "$(grep -c "the output fails" "$LOG")" = 1 ] || fail "the episode was logged more than once"
echo "fail $DQBUF 0" >> "$ROOT/run/sim_display.cmd"
wait_log "$LOG" "run_passthru: the output works again" 60
N1=$(frame_number)
sleep 1
N2=$(frame_number)
[ -n "$N1" ] && [ "$N2" -gt "$N1" ] || fail "no pass-through after the failure: $N1 $N2"
echo "ok: a failing output ($retries retries)"

# The screen dump holds the whole OSD window: the 640x480 OSD zoomed twice
# over a 720p picture reaches 240 lines below it, black there.
post -d Display.Passthru=0
post -d Display.Standard=720p60 -d Display.Colorbars=1
wait_state "height 720"
wait_state "streaming 1"
# The OSD planes come back a moment after the output streams: the dump is
# asked for again until they are there.
rm -f "$ROOT/tmp/screen.png"
for _ in $(seq 1 20); do
  echo "screen /tmp/screen.png" >> "$ROOT/run/sim_display.cmd"
  for _ in $(seq 1 10); do [ -s "$ROOT/tmp/screen.png" ] && break 2; sleep 0.1; done
done
[ -s "$ROOT/tmp/screen.png" ] || fail "no screen dump"
size=$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 "$ROOT/tmp/screen.png")
[ "$size" = "1280,960" ] || fail "the screen dump is $size, not the OSD window's 1280x960"
echo "ok: screen dump of the whole OSD"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
grep -q "myRendezvousCleanup: display_hd" "$ROOT/run/box.log" || fail "display thread did not end"
grep -q "main cleanup rendezvous met" "$ROOT/run/box.log" || fail "no clean shutdown"
echo PASS
