#!/bin/bash
# The whole chain in the real binary: capture with its overlay, both
# encoders, sound and AAC, the muxers and the recorder write dated files to
# the simulated SD card, started and stopped by a web form (one that sets
# the format and starts makes one file in that format); ffprobe and
# ffmpeg check the files. A recording cut by kill -9 still plays to the cut.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
VOL=$ROOT/run/sim/storage/vol/mmcblk0p1/DCIM

form() { $C -o /dev/null -w "%{http_code}" -d redirect=/control_recording.htm "$@" $B/controls; }

start_box "$ROOT/run/a.log"
wait_log "$ROOT/run/a.log" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/mmcblk0p1 /media/mmc" 20
for _ in $(seq 1 50); do
  case "$($C $B/Recording.Storage)" in MMC:*) break ;; esac
  sleep 0.2
done
$C $B/Recording.Storage | grep "^MMC: " >/dev/null || fail "SD card not reported: $($C $B/Recording.Storage)"
# Record to the SD card (the default, "both", means the USB disks).
code=$(form -d Recording.StorageDevice=4)
[ "$code" = 303 ] || fail "storage form: $code"

# record <format> <seconds>: one recording run through the form.
record() {
  # A new format restarts a running recording: set it on its own first.
  code=$(form -d Recording.Format=$1)
  [ "$code" = 303 ] || fail "format form: $code"
  code=$(form -d Recording.State=start)
  [ "$code" = 303 ] || fail "start form: $code"
  sleep "$2"
  $C $B/Recording.Status | grep "^Recording 0:00:0" >/dev/null || fail "status: $($C $B/Recording.Status)"
  [ "$(form -d Recording.State=stop)" = 303 ] || fail "stop form"
  for _ in $(seq 1 100); do
    [ "$($C $B/Recording.Status)" = Stopped ] && grep -q "safe to remove" "$LOGF" && return 0
    sleep 0.1
  done
  fail "recording did not stop"
}

check_file() {
  local f=$1 min=$2
  [ -f "$f" ] || fail "no file $f"
  local err
  err=$(ffmpeg -nostdin -v error -i "$f" -fps_mode passthrough -f null - 2>&1) || true
  [ -z "$err" ] || fail "decode errors in $f: $err"
  local codecs
  codecs=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$f" | grep . | sort -u | tr "\n" " ")
  [ "$codecs" = "aac h264 " ] || fail "streams of $f: $codecs"
  local d
  d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f")
  awk -v d="$d" -v m="$min" 'BEGIN { exit !(d >= m) }' || fail "$f lasts $d s"
}

record 1 4
TS=$(ls "$VOL"/*.ts)
check_file "$TS" 2
echo "ok: TS recording $(basename "$TS")"

record 0 4
MP4=$(ls "$VOL"/*.mp4)
check_file "$MP4" 2
echo "ok: MP4 recording $(basename "$MP4")"

# A form that sets the format and starts the recording starts it once, in
# that format, whichever of the two it lists first: the form's apply never
# restarts the run its start begins. Rows between the two keep the form
# going while the recording would be starting.
runs() { grep -c "record starting main loop" "$LOGF" || true; }
PAD=()
for _ in $(seq 1 300); do PAD+=(-d Recording.SeekAmount=5); done
# together <extension> <what> <form fields...>
together() {
  local want=$1 what=$2 before files safe
  shift 2
  before=$(runs)
  files=$(ls "$VOL" | wc -l)
  safe=$(grep -c "safe to remove" "$LOGF" || true)
  [ "$(form "$@")" = 303 ] || fail "form $what"
  wait_param Recording.Status "^Recording 0:00:0[2-9]"
  [ "$(form -d Recording.State=stop)" = 303 ] || fail "stop form"
  wait_param Recording.Status "^Stopped$"
  for _ in $(seq 1 100); do
    [ "$(grep -c "safe to remove" "$LOGF")" -gt "$safe" ] && break
    sleep 0.1
  done
  [ $(($(runs) - before)) = 1 ] || fail "$what: $(($(runs) - before)) recordings began"
  [ "$(ls "$VOL" | wc -l)" = $((files + 1)) ] || fail "$what: files $(ls "$VOL" | tr '\n' ' ')"
  case "$(ls -t "$VOL" | head -1)" in *.$want) ;; *) fail "$what: newest file $(ls -t "$VOL" | head -1)" ;; esac
}
together ts "format, then start" -d Recording.Format=1 "${PAD[@]}" -d Recording.State=start "${PAD[@]}"
together mp4 "start, then format" -d Recording.State=start "${PAD[@]}" -d Recording.Format=0
echo "ok: a form's settings and start make one recording with those settings"

# kill -9 in the middle of a TS recording: what reached the card plays.
[ "$(form -d Recording.Format=1)" = 303 ] || fail "format form"
[ "$(form -d Recording.State=start)" = 303 ] || fail "start form"
sleep 4
kill -9 "$BOX_PID"
wait_exit "$BOX_PID"
CUT=$(ls -t "$VOL"/*.ts | head -1)
[ "$CUT" != "$TS" ] || fail "no second TS file"
# The last packet may be cut short: what came before it must decode.
frames=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames \
  -of csv=p=0 "$CUT" | grep . | head -1)
[ "${frames:-0}" -ge 25 ] || fail "cut file: only ${frames:-0} video frames decode"
# Whatever the decoder says of the cut picture (which depends on where the
# cut fell), every picture before it decodes without a word.
packets=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
  -of csv=p=0 "$CUT" | grep . | head -1)
ffmpeg -nostdin -v error -i "$CUT" -map 0:v -c copy -frames:v $((packets - 1)) -y "$ROOT/run/cut.h264" ||
  fail "cut file: the video cannot be copied"
verr=$(ffmpeg -nostdin -v error -threads 1 -i "$ROOT/run/cut.h264" -fps_mode passthrough -f null - 2>&1)
[ -z "$verr" ] || fail "cut file video: $verr"
d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$CUT")
echo "ok: cut TS recording plays $frames frames ($d s)"

# Ended as a person would, after a restart.
start_box "$ROOT/run/b.log"
wait_log "$ROOT/run/b.log" "httpd: started"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
grep -q "main cleanup rendezvous met" "$ROOT/run/b.log" || fail "no clean end"
echo PASS
