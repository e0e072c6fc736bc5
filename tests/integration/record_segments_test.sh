#!/bin/bash
# Segmented recordings in the real binary: three 3 s TS files and three 3 s
# MP4 files follow one another without a lost or repeated frame (ffprobe's
# packets), each begins with a key frame and lasts as long as its frames
# span by their own clock, the encoder runs on through every split, and the status
# reads as recording until the last file ends. A 25 frames/s capture gives
# MP4 frames of 40 ms.
. "$(dirname "$0")/common.sh"
# No monitor: its pass-through would keep the capture running, and the 25
# frames/s input mode is taken when the recording starts an idle capture.
new_root --no-monitor
STATUS="curl -s -g --max-time 20 http://127.0.0.1:${M7391_HTTP_PORT:-80}/Recording.Status"
VOL=$ROOT/run/sim/storage/vol/mmcblk0p1/DCIM

start_box "$ROOT/run/a.log"
wait_log "$ROOT/run/a.log" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/mmcblk0p1 /media/mmc" 20
post_form -d Recording.StorageDevice=4 -d Recording.DurationMode=1 -d Recording.Duration=3 \
  -d Recording.Segments=3

# Video packets of a file as "pts duration flags" lines.
packets() {
  ffprobe -v error -select_streams v:0 -show_entries packet=pts,flags,duration -of csv=p=0 "$1" |
    awk -F, 'NF >= 3 { print $1, $2, $3 }'
}

# segments <format> <ext>: one run of three files, checked.
segments() {
  local fmt=$1 ext=$2
  post_form -d Recording.Format=$fmt
  local mark
  mark=$(wc -l <"$LOGF")
  post_form -d Recording.State=start
  local seen=0 st
  for _ in $(seq 1 300); do
    st=$($STATUS)
    case "$st" in
      Recording*) seen=1 ;;
      Stopped)
        # Stopped before the run has let its volume go: a gap between files.
        if tail -n +"$mark" "$LOGF" | grep "safe to remove" >/dev/null; then break; fi
        [ $seen = 0 ] || fail "status read '$st' between the files of one recording"
        ;;
      *) fail "status: $st" ;;
    esac
    sleep 0.1
  done
  [ $seen = 1 ] || fail "status never read Recording"
  tail -n +"$mark" "$LOGF" | grep "safe to remove" >/dev/null || fail "recording did not end by itself"
  local run
  run=$(tail -n +"$mark" "$LOGF")
  # One encoder start for the whole run, and no stop before its end.
  local starts
  starts=$(grep -c "^.*videoA [0-9]*x[0-9]* .*TBR=" <<<"$run" || true)
  [ "$starts" -le 1 ] || fail "encoder restarted within a run ($starts starts)"
  if sed '/detaching state/q' <<<"$run" | grep "videoA: stopped" >/dev/null; then
    fail "encoder stopped between files"
  fi
  mapfile -t FILES < <(ls "$VOL"/*."$ext")
  [ "${#FILES[@]}" = 3 ] || fail "${#FILES[@]} $ext files: ${FILES[*]}"
  # Each file spans from its first frame to the first of the next, by the
  # frames' own clock, as the recorder logged it when it split.
  mapfile -t SPANS < <(grep -o "segment done duration=[0-9]*" <<<"$run" | cut -d= -f2)
  [ "${#SPANS[@]}" = 3 ] || fail "${#SPANS[@]} splits logged"
  local total=0 prev_last="" max_step=0 max_ms=34 f i=0 DURS=()
  for f in "${FILES[@]}"; do
    local err
    err=$(ffmpeg -nostdin -v error -i "$f" -fps_mode passthrough -f null - 2>&1) || true
    [ -z "$err" ] || fail "decode errors in $f: $err"
    packets "$f" >"$ROOT/run/p.txt"
    read -r first_pts _ first_flags <"$ROOT/run/p.txt"
    case "$first_flags" in K*) ;; *) fail "$f begins with a frame that is not a key frame" ;; esac
    # The largest step between frames inside the file.
    local step
    step=$(awk 'NR > 1 { d = $1 - p; if (d > m) m = d } { p = $1 } END { print m + 0 }' "$ROOT/run/p.txt")
    [ "$step" -gt "$max_step" ] && max_step=$step
    if [ "$ext" = ts ] && [ -n "$prev_last" ]; then
      local gap=$((first_pts - prev_last))
      [ "$gap" -gt 0 ] || fail "$f repeats frames of the file before (gap $gap)"
      JOINS+=("$gap")
    fi
    prev_last=$(tail -1 "$ROOT/run/p.txt" | cut -d' ' -f1)
    local d ms
    d=$(ffprobe -v error -select_streams v:0 -show_entries stream=duration -of csv=p=0 "$f" | grep . | head -1)
    DURS+=("$d")
    ms=$(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$f" |
      awk 'NR > 1 { d = ($1 - p) * 1000; if (d > m) m = d } { p = $1 } END { printf "%d", m + 1 }')
    [ "$ms" -gt "$max_ms" ] && max_ms=$ms
    total=$(awk -v t="$total" -v d="$d" 'BEGIN { print t + d }')
  done
  # A file's last frame lasts as long as the step before its first one (an
  # MP4 knows no later frame), so its length differs from the span by the
  # difference of the steps at its two ends: a frame's time on an idle
  # machine, up to the longest step a loaded one took, and the part of a
  # millisecond the log drops.
  for i in 0 1 2; do
    awk -v d="${DURS[$i]}" -v s="${SPANS[$i]}" -v m="$max_ms" \
      'BEGIN { x = d * 1000 - s; exit !(x > -(m + 1) && x < m + 1) }' ||
      fail "${FILES[$i]} lasts ${DURS[$i]} s where its frames span ${SPANS[$i]} ms (steps up to $max_ms ms)"
  done
  # A longer step at a join is the recorder's own loss unless the box logged
  # capture frames lost on the way (a loaded host held the encoder off the
  # CPU), which may fall at a join as anywhere.
  for g in "${JOINS[@]:-}"; do
    [ -z "$g" ] || [ "$g" -le $((max_step + 300)) ] || grep -q "CAPTURE_STREAM1: seq [0-9]* was lost" <<<"$run" ||
      fail "frames lost between $ext files: a step of $g ticks where frames are $max_step apart"
  done
  JOINS=()
  # Files end at key frames, the first one after 3 s.
  awk -v t="$total" 'BEGIN { exit !(t > 8.96) }' || fail "$ext durations add up to $total s"
  echo "ok: three $ext files join up (${total} s)"
  rm -f "$VOL"/*."$ext"
}

JOINS=()
segments 1 ts
segments 0 mp4

# A 25 frames/s input: every MP4 frame lasts 40 ms, the last one included
# (it carries the duration the recorder sets for the first).
# The idle capture takes the new input mode when the recording starts it.
echo "ahd 0 4 ahd" >>"$ROOT/run/sim_capture.cmd"
sleep 0.5
post_form -d Recording.DurationMode=0 -d Recording.Format=0
mark=$(wc -l <"$LOGF")
post_form -d Recording.State=start
wait_log "$LOGF" "fps 25000" 20
sleep 3
post_form -d Recording.State=stop
for _ in $(seq 1 100); do
  tail -n +"$mark" "$LOGF" | grep "safe to remove" >/dev/null && break
  sleep 0.1
done
MP4=$(ls "$VOL"/*.mp4)
packets "$MP4" >"$ROOT/run/p.txt"
last=$(tail -1 "$ROOT/run/p.txt" | cut -d' ' -f2)
[ "$last" = 3600 ] || fail "last frame of $MP4 lasts $last ticks"
# A frame the loaded host dropped at capture, or delivered late, leaves
# the one before it lasting longer; frames are never added. So many frames
# last the frame time, a quarter of them at the least, even on a host that
# drops every other one.
n=$(wc -l <"$ROOT/run/p.txt")
ok=$(awk '$2 >= 3300 && $2 <= 3900' "$ROOT/run/p.txt" | wc -l)
[ "$n" -ge 25 ] || fail "$n frames in $MP4"
[ $((ok * 4)) -ge "$n" ] || fail "$ok of $n frames in $MP4 last 40 ms"
echo "ok: 25 frames/s MP4 ($ok of $n frames of 40 ms)"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
