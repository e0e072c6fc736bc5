#!/bin/bash
# The DVR logic in the real binary, driven as the board's keypad would be:
# the KeyPress row posts keypad actions. Record/Pause starts a recording to
# the SD card, shown on the OSD as tesseract reads it, Rec/Stop ends it with
# a file ffprobe reads at about its length; Mute Toggle mutes; Snapshot
# writes one JPEG. A splash picture shows at start (its dump against
# ffmpeg's decode) until a key, then the live picture. A file named by the control protocol plays to its end, and
# a broken one is refused on screen. Play/Pause lists the disk's videos,
# newest names first, and OK plays the one chosen. A picture named by the
# control protocol shows under its name (the screen dump, ffmpeg, tesseract).
# The main menu sets the "menu open" status bit, and Setup's Update Firmware
# flashes an image from the card and reboots.
. "$(dirname "$0")/common.sh"
# Its small test files are no television's modes: a monitor without an EDID
# takes them.
new_root --usb sda1:3 --no-monitor
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
VOL=$ROOT/run/sim/storage/vol/mmcblk0p1/DCIM
CMD=$ROOT/run/sim_display.cmd
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
DISK=$ROOT/run/sim/storage/vol/sda1/DCIM
mkdir -p "$DISK"
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -pix_fmt yuv420p "$DISK/b.mp4"
cp "$DISK/b.mp4" "$DISK/c.mp4"
head -c 3000 /dev/urandom > "$DISK/bad.mp4"
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1280x720 -frames:v 1 -q:v 2 "$DISK/pic.jpg"
# Ten minutes with a key frame a second, for seeks and fast forward.
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=5 -t 600 -g 5 -pix_fmt yuv420p "$DISK/a_long.mp4"
key() { post_form -d KeyPress=$1; }
# osd_text <name>: tesseract's reading of the OSD's shown pages (the menu
# cursor ">" joined to its row).
osd_text() {
  rm -f "$ROOT/tmp/$1.png"
  echo "osd /tmp/$1.png" >>"$CMD"
  for _ in $(seq 1 50); do [ -s "$ROOT/tmp/$1.png" ] && break; sleep 0.1; done
  [ -s "$ROOT/tmp/$1.png" ] || fail "no OSD dump $1"
  convert "$ROOT/tmp/$1.png" -background black -alpha remove -negate -scale 300% "$ROOT/tmp/$1.x3.png"
  OMP_THREAD_LIMIT=1 tesseract "$ROOT/tmp/$1.x3.png" - --psm 6 2>/dev/null | tr '\n' ' ' | sed 's/> */>/g'
}
# shows <text> <name>: the OSD shows the text within a few dumps.
shows() {
  local t
  for i in 1 2 3 4 5 6; do
    t=$(osd_text "$2$i")
    case "$t" in *"$1"*) return 0 ;; esac
    sleep 0.3
  done
  fail "OSD shows '$t', not '$1'"
}

mkdir -p "$ROOT/usr/html/images"
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=640x480 -frames:v 1 -q:v 2 -y "$ROOT/usr/html/images/splash.jpg"
start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$LOGF" "output_filename=/usr/html/images/splash.jpg" 20
# The output shows the picture: its dump against ffmpeg's decode.
splash_on() { grep -qx "streaming 1" "$1" && grep -qx "format NV12" "$1" && grep -qx "width 640" "$1"; }
for _ in $(seq 1 100); do splash_on "$ROOT/run/sim/display.txt" 2>/dev/null && break; sleep 0.1; done
splash_on "$ROOT/run/sim/display.txt" || fail "the splash is not shown: $(cat "$ROOT/run/sim/display.txt")"
echo "dump /tmp/splash.yuv" >>"$CMD"
for _ in $(seq 1 50); do [ -s "$ROOT/tmp/splash.yuv" ] && break; sleep 0.1; done
# A JPEG's samples are full range, and shown as they are.
psnr=$(ffmpeg -nostdin -color_range pc -f rawvideo -pix_fmt nv12 -s 640x480 -i "$ROOT/tmp/splash.yuv" \
  -i "$ROOT/usr/html/images/splash.jpg" -lavfi "[0]format=yuvj420p[a];[a][1]psnr" -fps_mode passthrough -f null - 2>&1 |
  sed -n 's/.*average:\([0-9.]*\).*/\1/p')
awk -v p="$psnr" 'BEGIN { exit !(p > 40) }' || fail "the splash shown differs: PSNR '$psnr'"
grep -q "wifi enable" "$LOGF" && fail "the menu started during the splash"
key 13   # an unused keypad action ends the splash
wait_log "$LOGF" "wifi enable" 30
wait_log "$LOGF" "passthru start" 20
wait_log "$ROOT/run/exec.log" "/dev/mmcblk0p1 /media/mmc" 20
for _ in $(seq 1 50); do
  case "$($C $B/Recording.Storage)" in MMC:*) break ;; esac
  sleep 0.2
done
post_form -d Recording.StorageDevice=4 -d Recording.Format=0

t0=$(date +%s.%N)
key 0
shows "Recording to SD Card storage" rec
wait_log "$LOGF" "free space"
sleep 5
n=$(gui_stops)
key 10
wait_log "$LOGF" "stopped record stream" 20
t1=$(date +%s.%N)
wait_gui_stop "$n"
MP4=$(ls "$VOL"/*.mp4 | head -1)
[ -f "$MP4" ] || fail "no recording"
# As long as the keys were apart, which a loaded machine stretches.
d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$MP4")
awk -v d="$d" -v t0="$t0" -v t1="$t1" 'BEGIN { exit !(d >= 4 && d <= t1 - t0 + 1) }' ||
  fail "$MP4 lasts $d s, the keys were $(awk "BEGIN { print $t1 - $t0 }") s apart"

key 8
wait_param Audio.Mute '^3$'
shows "Mute" mute

key 2
for _ in $(seq 1 100); do ls "$VOL"/*.jpg >/dev/null 2>&1 && break; sleep 0.1; done
[ "$(ls "$VOL"/*.jpg 2>/dev/null | wc -l)" = 1 ] || fail "snapshots: $(ls "$VOL")"
ffprobe -v error "$(ls "$VOL"/*.jpg)" || fail "snapshot is no JPEG"

# play <name>: the control protocol's play_file on the USB disk; 0 when taken.
play() { python3 "$CLIENT" play_file 1 "$1" | head -1; }
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20
[ "$(play b.mp4)" = "status 0 (ok)" ] || fail "play_file b.mp4: $(python3 "$CLIENT" get_status)"
shows "END" end
python3 "$CLIENT" play_stop >/dev/null
wait_log "$LOGF" "play_video_action: stopping" 20
# A file the player cannot open is refused before anything starts.
case "$(play bad.mp4)" in "status 169"*) ;; *) fail "play_file bad.mp4" ;; esac
# stopped <n>: playback has ended n times.
stopped() {
  for _ in $(seq 1 200); do [ "$(grep -c 'play_video_action: stopping' "$LOGF")" -ge "$1" ] && return 0; sleep 0.1; done
  fail "playback did not end"
}
stopped 1

# Playback requests of the control protocol act as their replies say: a
# seek goes by the seconds asked for, play_trick starts fast forward and
# normal mode ends it, and a held playback shows PAUSE on the OSD.
ctl() { python3 "$CLIENT" "$@" | head -1; }
[ "$(play a_long.mp4)" = "status 0 (ok)" ] || fail "play_file a_long.mp4"
wait_log "$LOGF" "playback_mp4: main loop" 20
shows "PLAY" longplay
[ "$(ctl play_seek 20)" = "status 0 (ok)" ] || fail "play_seek 20"
wait_log "$LOGF" "play_video_action: seek 20 s" 20
[ "$(ctl play_seek -15)" = "status 0 (ok)" ] || fail "play_seek -15"
wait_log "$LOGF" "play_video_action: seek -15 s" 20
trick() { python3 "$CLIENT" get_trick | sed -n 2p; }
[ "$(ctl play_trick 1)" = "status 0 (ok)" ] || fail "play_trick 1"
for _ in $(seq 1 100); do [ "$(trick)" = 1 ] && break; sleep 0.1; done
[ "$(trick)" = 1 ] || fail "play_trick 1 left trick mode $(trick)"
[ "$(ctl play_trick 0)" = "status 0 (ok)" ] || fail "play_trick 0"
for _ in $(seq 1 100); do [ "$(trick)" = 0 ] && break; sleep 0.1; done
[ "$(trick)" = 0 ] || fail "play_trick 0 left trick mode $(trick)"
# Only the seek back asked for rewind's key; normal mode ended fast forward with its own.
[ "$(grep -c "play_video_action: key=4096" "$LOGF")" = 1 ] || fail "rewind was asked for"
[ "$(ctl play_pause)" = "status 0 (ok)" ] || fail "play_pause"
shows "PAUSE" held
[ "$(ctl play_resume)" = "status 0 (ok)" ] || fail "play_resume"
shows "PLAY" resumed
python3 "$CLIENT" play_stop >/dev/null
stopped 2

# A picture named by the control protocol fills the screen under the OSD
# (the screen dump against the picture) until snapshot_stop.
word() { python3 "$CLIENT" get_status | sed -n 's/^word \(0x[0-9a-f]*\).*/\1/p'; }
[ "$(python3 "$CLIENT" view_snapshot 1 pic.jpg | head -1)" = "status 0 (ok)" ] || fail "view_snapshot"
wait_log "$LOGF" "view_snapshot_action: /media/int/DCIM/pic.jpg" 20
pic_on() { grep -qx "streaming 1" "$1" && grep -qx "width 1280" "$1" && grep -qx "format NV12" "$1"; }
for _ in $(seq 1 100); do pic_on "$ROOT/run/sim/display.txt" && break; sleep 0.1; done
pic_on "$ROOT/run/sim/display.txt" || fail "the picture is not shown: $(cat "$ROOT/run/sim/display.txt")"
echo "screen /tmp/screen.png" >>"$CMD"
for _ in $(seq 1 50); do [ -s "$ROOT/tmp/screen.png" ] && break; sleep 0.1; done
sleep 0.2
psnr=$(ffmpeg -nostdin -i "$ROOT/tmp/screen.png" -i "$DISK/pic.jpg" \
  -lavfi "[0]crop=1280:720:0:0,format=rgb24[a];[1]format=rgb24[b];[a][b]psnr" -fps_mode passthrough -f null - 2>&1 |
  sed -n 's/.*average:\([0-9.]*\).*/\1/p')
awk -v p="$psnr" 'BEGIN { exit !(p > 22) }' || fail "the screen is not the picture: PSNR '$psnr'"
convert "$ROOT/tmp/screen.png" -crop 160x40+185+192 +repage -colorspace gray -negate -threshold 50% \
  -resize 300% "$ROOT/tmp/label.png"
case "$(tesseract "$ROOT/tmp/label.png" - --psm 7 2>/dev/null)" in
  *pic.*) ;; *) fail "no file name over the picture" ;;
esac
(( $(word) & 0x200 )) || fail "no snapshot view in the word $(word)"
python3 "$CLIENT" snapshot_stop >/dev/null
wait_log "$LOGF" "view snapshot ret=" 20
(( $(word) & 0x202 )) && fail "the word $(word) after snapshot_stop"

key 9
shows "KB" list   # the sizes beside the names
key 4
wait_log "$LOGF" "play_video_action: filename=/media/int/DCIM/c.mp4" 20
shows "END" end2
key 1   # ends the playback, back to the list
stopped 3
shows "KB" list2   # the list is back before the next key
key 1   # leaves the list

# The main menu holds the "menu open" status bit; Setup lists a firmware
# image made by mkimage on the card, and choosing it shows the update's
# status texts, writes the kernel region and reboots.
menu_bit() { [ $(($(python3 "$CLIENT" get_status | sed -n 's/^word \(0x[0-9a-f]*\).*/\1/p') & 0x100)) = "$1" ] || fail "menu bit not $1"; }
menu_bit 0
head -c 200000 /dev/urandom > "$ROOT/tmp/kernel.bin"
mkimage -A arm -O linux -T kernel -C none -a 0x80008000 -e 0x80008000 -n "menu kernel" \
  -d "$ROOT/tmp/kernel.bin" "$VOL/../m7391.fw" >/dev/null || fail "mkimage"
key 4   # Menu/Ok
shows "File management" menu
menu_bit 256
# The mailbox holds one key: each move is seen on the OSD (">" marks the
# cursor's row) before the next.
key 6   # up from the first row to the last: Setup
shows ">Setup" setup
key 4
shows "Update Firmware" setup
: > "$ROOT/run/exec.log"
key 6
shows ">Serial Setup" serial
key 6
shows ">Update Firmware" update
key 4
seen=""
for i in $(seq 1 20); do
  kill -0 "$BOX_PID" 2>/dev/null || break
  t=$(osd_text "fw$i" 2>/dev/null) || break
  case "$t" in *Reading*|*Verifying*|*Writing*|*Restarting*) seen="$seen [$t]" ;; esac
  case "$t" in *Restarting*) break ;; esac
done
[ -n "$seen" ] || fail "no update status on the OSD"
echo "ok: update status$seen"
wait_exit "$BOX_PID" 60
SIZE=$(stat -c %s "$VOL/../m7391.fw")
dd if="$ROOT/dev/mtd0" iflag=skip_bytes,count_bytes skip=$((0x860000)) count=$SIZE status=none |
  cmp - "$VOL/../m7391.fw" || fail "kernel region differs from the image"
[ "$(tail -3 "$ROOT/run/exec.log" | tr '\n' ' ')" = "sync touch /rebooting reboot " ] ||
  fail "exit actions: $(cat "$ROOT/run/exec.log")"
echo PASS
