#!/bin/bash
# A refused upload changes nothing: a recording runs on through firmware
# uploads of noise, of a whole kernel image (made by mkimage) for another
# processor and of nothing at all, each answered 400 with its reason; an
# empty web bundle upload is answered 400 as well. The recording then stops
# when asked and ffprobe finds it as long as the box counted it.
. "$(dirname "$0")/common.sh"
command -v mkimage >/dev/null || fail "mkimage (u-boot-tools) is not installed"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 30"
W=$ROOT/run/up
VOL=$ROOT/run/sim/storage/vol/mmcblk0p1/DCIM
mkdir -p "$W"
form() { $C -o /dev/null -w "%{http_code}" -d redirect=/control_recording.htm "$@" $B/controls; }
# refused <url> <file> <reason>: answered 400 with the reason.
refused() {
  local code
  code=$($C -o "$W/reply.htm" -w '%{http_code}' --data-binary @"$2" "$B$1")
  [ "$code" = 400 ] || fail "$2 to $1 answered $code"
  grep -qF "$3" "$W/reply.htm" || fail "$2 to $1: the answer does not say '$3': $(cat "$W/reply.htm")"
}
# seconds: how long the box says the recording has run.
seconds() {
  $C "$B/Recording.Status" | sed -n 's/^Recording \([0-9]*\):\([0-9]*\):\([0-9]*\).*/\1 \2 \3/p' |
    awk '{ print $1 * 3600 + $2 * 60 + $3 }'
}

head -c 5000 /dev/urandom > "$W/noise.bin"
head -c 300000 /dev/urandom > "$W/kernel.bin"
mkimage -A x86 -O linux -T kernel -C none -a 0x8000 -e 0x8000 -n "x86 kernel" -d "$W/kernel.bin" \
  "$W/x86.img" >/dev/null || fail "mkimage"
: > "$W/empty.bin"

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/mmcblk0p1 /media/mmc" 20
[ "$(form -d Recording.StorageDevice=4 -d Recording.Format=0)" = 303 ] || fail "storage form"
[ "$(form -d Recording.State=start)" = 303 ] || fail "start form"
wait_param Recording.Status "^Recording 0:00:0[2-9]" 60

# runs_on <what>: the recording goes on, the box counting two seconds more.
runs_on() {
  ran=$(seconds)
  [ -n "$ran" ] || fail "the recording ended after $1: $($C "$B/Recording.Status")"
  for _ in $(seq 1 600); do
    now=$(seconds)
    [ -n "$now" ] || fail "the recording ended after $1: $($C "$B/Recording.Status")"
    [ "$now" -ge $((ran + 2)) ] && break
    sleep 0.1
  done
  [ "$now" -ge $((ran + 2)) ] || fail "the recording stands at $now s after $1"
}
refused /firmware "$W/noise.bin" "firmware: not a valid firmware file"
runs_on "noise"
refused /firmware "$W/x86.img" "firmware: not a valid firmware file"
refused /firmware "$W/empty.bin" "firmware: nothing was sent"
refused /customzip "$W/empty.bin" "customzip: nothing was sent"
echo "ok: refused with their reasons"
runs_on "the other refusals"
! grep -q "stopping all streams" "$LOGF" || fail "a refused upload stopped the streams"
[ "$(form -d Recording.State=stop)" = 303 ] || fail "stop form"
wait_param Recording.Status "^Stopped$" 60
wait_log "$LOGF" "safe to remove" 60
[ "$(ls "$VOL"/*.mp4 | wc -l)" = 1 ] || fail "recordings: $(ls "$VOL")"
d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$VOL"/*.mp4)
awk -v d="$d" -v m="$ran" 'BEGIN { exit !(d >= m) }' || fail "the recording lasts $d s, the box counted $ran s before the last refusal"
echo "ok: the recording ran on ($d s)"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
echo PASS
