#!/bin/bash
# Each channel carries its own picture at the size its parameters report:
# ffprobe on every protocol of both channels (RTSP, HTTP .h264/.ts/.flv,
# HLS) against Video[n].Width/Height; channel B's JPEG rows give B's own
# pictures from the first request, and motion JPEG flows on B while A codes
# H.264, and on both channels while both are in JPEG mode.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
W=$ROOT/run/sizes
mkdir -p "$W"
LOG=$ROOT/run/a.log
form() { $C -o /dev/null -w "%{http_code}" -d redirect=/index.htm "$@" $B/controls; }
size_of() { echo "$($C "$B/Video[$1].Width")x$($C "$B/Video[$1].Height")"; }
# pictures <file>: the JPEG pictures in a motion-JPEG capture.
pictures() {
  ffprobe -v error -f mjpeg -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1"
}
# jpeg_size <file>: WxH of the first picture of a JPEG or motion-JPEG file.
jpeg_size() {
  ffprobe -v error -f mjpeg -show_entries stream=width,height -of csv=s=x:p=0 "$1" | head -1
}
# pictures_of <n> <row> <file>: n whole pictures the row sends on one
# connection, or as many as came on the last one when a minute has passed.
# A loaded host codes them more slowly, never fewer; a connection that ends
# early (a setting just applied restarts the stream) is made again.
pictures_of() {
  python3 - "$1" "$B/$2" "$3" <<'EOF2' || true
import http.client, sys, time, urllib.request
want, url, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
deadline = time.monotonic() + 60
STUFFED_OR_RESTART = (0, *range(0xD0, 0xD8))

def picture_end(d, i):
    # The end of the JPEG picture starting at d[i], or -1 while it is not all in.
    if d[i:i + 2] != b"\xff\xd8":
        raise SystemExit("not a JPEG picture at byte %d" % i)
    i += 2
    while i + 2 <= len(d):
        m = d[i + 1]
        if m == 0xD9:
            return i + 2
        if i + 4 > len(d):
            return -1
        n = i + 2 + (d[i + 2] << 8 | d[i + 3])
        if m != 0xDA:
            i = n
            continue
        # Entropy-coded data runs to the next marker that is neither a
        # stuffed 0xFF nor a restart.
        i = d.find(b"\xff", n)
        while i >= 0 and i + 1 < len(d) and d[i + 1] in STUFFED_OR_RESTART:
            i = d.find(b"\xff", i + 2)
        if i < 0 or i + 1 >= len(d):
            return -1
    return -1

whole, failed = 0, None
with open(path, "wb") as out:
    while whole < want and time.monotonic() < deadline:
        out.seek(0)
        out.truncate()
        whole, data = 0, b""
        try:
            with urllib.request.urlopen(url, timeout=20) as r:
                while whole < want and time.monotonic() < deadline:
                    chunk = r.read1(1 << 20)
                    if not chunk:
                        break
                    data += chunk
                    at = 0
                    while at < len(data):
                        end = picture_end(data, at)
                        if end < 0:
                            break
                        out.write(data[at:end])
                        whole, at = whole + 1, end
                    data = data[at:]
        except (OSError, http.client.HTTPException) as e:
            failed = e
        if whole < want:
            time.sleep(0.5)
if whole < want and failed:
    print("%s: %s" % (url, failed), file=sys.stderr)
EOF2
}

start_box "$LOG"
wait_log "$LOG" "httpd: started"
[ "$($C $B/Video[1].StreamMode)" = 3 ] || fail "stream B is not in JPEG mode"
SB=$(size_of 1)
[ "$SB" = 640x480 ] || fail "channel B reports $SB by default"

# The very first picture of B: B's own, at B's size.
code=$($C -o "$W/first.jpg" -w '%{http_code}' "$B/streamB.jpg")
[ "$code" = 200 ] || fail "the first streamB.jpg answered $code"
[ "$(jpeg_size "$W/first.jpg")" = "$SB" ] || fail "streamB.jpg is $(jpeg_size "$W/first.jpg"), not $SB"
echo "ok: first streamB.jpg at $SB"

# Motion JPEG of B while A codes H.264 for another client, who stays until
# B's pictures are in.
curl -s -g --max-time 90 -o "$W/a_while.h264" "$B/streamA.h264" &
A_JOB=$!
PIDS+=("$A_JOB")
wait_log "$LOG" "videoA 1920x1080" 10
pictures_of 10 streamB.mjpg "$W/b_with_a.mjpeg"
kill "$A_JOB" 2>/dev/null || true
wait $A_JOB || true
N=$(pictures "$W/b_with_a.mjpeg")
[ "$N" -ge 10 ] || fail "streamB.mjpg gave $N pictures in a minute while A coded H.264"
[ "$(jpeg_size "$W/b_with_a.mjpeg")" = "$SB" ] || fail "B's motion JPEG is not $SB"
[ "$(ffprobe -v error -f h264 -show_entries stream=width -of csv=p=0 "$W/a_while.h264")" = 1920 ] ||
  fail "stream A suffered from B's pictures"
echo "ok: B's motion JPEG ($N pictures) while A codes H.264"

# Both channels in JPEG mode, both consumed at once.
[ "$(form -d Video[0].StreamMode=3)" = 303 ] || fail "mode form"
SA=$(size_of 0)
pictures_of 15 streamA.mjpg "$W/a.mjpeg" &
A_JOB=$!
pictures_of 15 streamB.mjpg "$W/b.mjpeg"
wait $A_JOB
NA=$(pictures "$W/a.mjpeg")
NB=$(pictures "$W/b.mjpeg")
[ "$NA" -ge 15 ] || fail "streamA.mjpg gave $NA pictures in a minute with B in JPEG mode too"
[ "$NB" -ge 15 ] || fail "streamB.mjpg gave $NB pictures in a minute with A in JPEG mode too"
[ "$(jpeg_size "$W/a.mjpeg")" = "$SA" ] || fail "A's pictures are not $SA"
[ "$(jpeg_size "$W/b.mjpeg")" = "$SB" ] || fail "B's pictures are not $SB"
pictures_of 10 streamB.mjpg "$W/b_alone.mjpeg" &
B_JOB=$!
$C -o "$W/a.jpg" "$B/streamA.jpg" || fail "no streamA.jpg with B streaming"
wait $B_JOB
[ "$(jpeg_size "$W/a.jpg")" = "$SA" ] || fail "streamA.jpg is not $SA"
N=$(pictures "$W/b_alone.mjpeg")
[ "$N" -ge 10 ] || fail "streamB.mjpg gave $N pictures in a minute while A was in JPEG mode"
echo "ok: both channels in JPEG mode (A $NA, B $NB pictures)"

# Both channels in H.264, B at a size of its own: every protocol.
[ "$(form -d Video[0].StreamMode=0 -d Video[1].StreamMode=2 -d Video[1].Width=352 \
      -d Video[1].Height=288)" = 303 ] || fail "H.264 form"
# probe <args...>: "WxH" of the video stream ffprobe finds. A stream joined
# between key frames shows its size only at the next one: up to 5 s of it.
probe() {
  timeout 60 ffprobe -v error -probesize 2000000 -analyzeduration 5000000 "$@" \
    -select_streams v:0 -show_entries stream=width,height -of csv=s=x:p=0 2>&1 | head -1 || true
}
for ch in 0 1; do
  L=$([ $ch = 0 ] && echo A || echo B)
  S=$(size_of $ch)
  [ $ch = 1 ] && { [ "$S" = 352x288 ] || fail "channel B reports $S, not the 352x288 set"; }
  for src in "-rtsp_transport tcp rtsp://127.0.0.1:554/stream$L.h264" \
             "-rtsp_transport udp rtsp://127.0.0.1:554/stream$L.ts" \
             "-rtsp_transport tcp rtsp://127.0.0.1:554/stream$L.h264_aac" \
             "-rtsp_transport tcp rtsp://127.0.0.1:554/vstream$L.ts" \
             "-f h264 $B/stream$L.h264" "$B/stream$L.ts" "$B/stream${L}_vid.ts" \
             "-f flv $B/stream$L.flv" "$B/stream$L.m3u8"; do
    # shellcheck disable=SC2086
    got=$(probe $src)
    [ "$got" = "$S" ] || fail "channel $L: $src is '$got', parameters say $S"
  done
  echo "ok: channel $L at $S on every protocol"
done

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
grep -q "main cleanup rendezvous met" "$LOG" || fail "no clean quit"
echo PASS
