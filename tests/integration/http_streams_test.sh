#!/bin/bash
# Every media row of the web server, read from the real binary by players
# nobody here wrote: ffmpeg and ffprobe on each progressive stream, HLS in
# ffmpeg and GStreamer, curl for content types, multipart part headers,
# a disconnecting client and refusals, djpeg on a single picture, and
# headless Chromium on the live-view page where it is installed.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
W=$ROOT/run/http
mkdir -p "$W"
LOG=$ROOT/run/a.log

# read_row <name> <seconds> <input args...> -- <output args...>: ffmpeg reads
# the row for that long and copies it into $W/<name>; its complaints go to
# $W/<name>.err.
read_row() {
  local name=$1 secs=$2
  shift 2
  local in=() out=()
  while [ "$1" != -- ]; do in+=("$1"); shift; done
  shift
  out=("$@")
  timeout 60 ffmpeg -nostdin -v error -rw_timeout 10000000 "${in[@]}" -t "$secs" -c copy "${out[@]}" \
    -y "$W/$name" 2> "$W/$name.err" || echo "exit $?" >> "$W/$name.err"
}

# check_file <name> <codecs> [decoder input args]: what ffmpeg read holds
# exactly those streams ("h264,aac") and decodes without an error.
check_file() {
  local name=$1 want=$2
  shift 2
  [ -s "$W/$name.err" ] && fail "$name: $(head -5 "$W/$name.err")"
  [ -s "$W/$name" ] || fail "$name: nothing read"
  local got
  got=$(ffprobe -v error "$@" -show_entries stream=codec_name -of csv=p=0 "$W/$name" | grep . | sort -u | paste -sd, -)
  [ "$got" = "$want" ] || fail "$name: streams '$got', wanted '$want'"
  local errs
  errs=$(ffmpeg -nostdin -v error "$@" -i "$W/$name" -fps_mode passthrough -f null - 2>&1 | head -5)
  [ -z "$errs" ] || fail "$name does not decode cleanly: $errs"
}

# playlist_ok <file>: a live playlist as players follow it: the tags, every
# EXTINF within TARGETDURATION, names stream<L><n mod 5>.ts from the media
# sequence on.
playlist_ok() {
  python3 - "$1" "$2" <<'EOF'
import math, re, sys
text = open(sys.argv[1]).read()
letter = sys.argv[2]
lines = text.splitlines()
assert lines[0] == "#EXTM3U", "no #EXTM3U"
target = int(re.search(r"^#EXT-X-TARGETDURATION:(\d+)$", text, re.M).group(1))
seq = int(re.search(r"^#EXT-X-MEDIA-SEQUENCE:(\d+)$", text, re.M).group(1))
durs = [float(d) for d in re.findall(r"^#EXTINF:([0-9.]+),$", text, re.M)]
names = [l for l in lines if l and not l.startswith("#")]
assert durs and len(durs) == len(names), "entries"
assert all(0 < d and round(d) <= target for d in durs), "EXTINF above TARGETDURATION"
for i, n in enumerate(names):
    assert n == "stream%s%d.ts" % (letter, (seq + i) % 5), "name %s at %d" % (n, seq + i)
print(seq)
EOF
}

start_box "$LOG"
wait_log "$LOG" "httpd: started"
# Stream A codes H.264, stream B JPEG pictures (the defaults).
[ "$($C $B/Video[0].StreamMode)" = 0 ] || fail "stream A is not H.264"
[ "$($C $B/Video[1].StreamMode)" = 3 ] || fail "stream B is not JPEG"

# Stream B's pictures, and the audio rows, while stream A is idle.
JOBS=()
read_row b_multi.mjpeg 3 -f mpjpeg -i "$B/streamB.mjpg?multipart=true" -- -f mjpeg & JOBS+=($!)
read_row b.mjpeg 3 -f mjpeg -i "$B/streamB.mjpg" -- -f mjpeg & JOBS+=($!)
read_row a.aac 3 -f aac -i "$B/streamA.aac" -- -f adts & JOBS+=($!)
read_row c.pcm 3 -f s16le -ar 48000 -ac 2 -i "$B/streamC.pcm" -- -f s16le & JOBS+=($!)
# head_<row>: the reply's head, head_<row>.body what came in 2 s.
heads() {
  for row in "$@"; do
    f=$W/head_$(echo "$row" | tr -c 'A-Za-z0-9._\n' _)
    (curl -s -g --max-time 2 -D "$f" -o "$f.body" "$B/$row" || true) & JOBS+=($!)
  done
}
heads streamB.mjpg "streamB.mjpg?multipart=true" streamB.jpg streamA.aac streamC.pcm
wait "${JOBS[@]}"
check_file b_multi.mjpeg mjpeg -f mjpeg
check_file b.mjpeg mjpeg -f mjpeg
check_file a.aac aac -f aac
check_file c.pcm pcm_s16le -f s16le -ar 48000 -ac 2
# Three seconds of 48 kHz stereo: about 576000 bytes.
PCM=$(stat -c %s "$W/c.pcm")
[ "$PCM" -gt 400000 ] || fail "streamC.pcm gave only $PCM bytes in 3 s"
[ "$((PCM % 4))" = 0 ] || fail "streamC.pcm split a sample frame"
FRAMES=$(ffprobe -v error -f mjpeg -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$W/b.mjpeg")
[ "$FRAMES" -ge 30 ] || fail "streamB.mjpg gave only $FRAMES pictures in 3 s"
echo "ok: pictures and audio in ffmpeg ($FRAMES pictures in 3 s)"

# A client that goes mid-stream: its consumer is detached, and as the last
# one of stream A it stops the encoder.
STOPS=$(grep -c "videoA: stopped" "$LOG" || true)
curl -s --max-time 2 -o /dev/null "$B/streamA.h264" || true
for _ in $(seq 1 50); do
  [ "$(grep -c "videoA: stopped" "$LOG")" -gt "$STOPS" ] && break
  sleep 0.1
done
[ "$(grep -c "videoA: stopped" "$LOG")" -gt "$STOPS" ] || fail "stream A kept running after its client left"
tail -50 "$LOG" | grep "chunked_free_callback: content_type=video/mpeg" >/dev/null || fail "no free callback"
echo "ok: a client that leaves detaches"

# The live-view page in headless Chromium shows the moving picture (while
# stream A is idle, stream B codes its own pictures).
PW_DIR=${M7391_PLAYWRIGHT_DIR:-$HOME/.cache/m7391-playwright}
if [ "$FRAMES" -lt 2 ]; then
  echo "skip: live view (stream B gives one picture per start, no live stream to show)"
elif [ -x /usr/bin/chromium ] && [ -d "$PW_DIR/node_modules/playwright-core" ] && command -v node >/dev/null; then
  ARTIFACTS=$(dirname "$M7391_BIN")/../test-artifacts
  mkdir -p "$ARTIFACTS"
  # Chromium beside a busy job can take tens of seconds to start and ask for
  # the picture: the bounds are generous, and the steps' times are printed.
  NODE_PATH="$PW_DIR/node_modules" timeout 150 node - "$B" "$ARTIFACTS/jpeg_streamb.png" <<'EOF' || fail "browser live view"
const { chromium } = require('playwright-core');
(async () => {
  const [base, shot] = process.argv.slice(2);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
  });
  const t0 = Date.now();
  const at = (what) => console.log(`browser: ${what} after ${((Date.now() - t0) / 1000).toFixed(1)} s`);
  const page = await browser.newPage();
  page.setDefaultTimeout(45000);
  await page.goto(base + '/jpeg_streamb.htm', { waitUntil: 'domcontentloaded' });
  at('page loaded');
  const img = page.locator('.viewer img');
  await page.waitForFunction(() => document.querySelector('.viewer img').naturalWidth > 0,
                             null, { timeout: 60000 });
  at('first picture');
  // The picture as drawn: not one flat colour.
  const spread = await img.evaluate((el) => {
    const c = document.createElement('canvas');
    c.width = el.naturalWidth;
    c.height = el.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(el, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data;
    let lo = 255, hi = 0;
    for (let i = 0; i < d.length; i += 4 * 97) {
      const y = (d[i] + d[i + 1] + d[i + 2]) / 3;
      lo = Math.min(lo, y);
      hi = Math.max(hi, y);
    }
    return hi - lo;
  });
  await page.screenshot({ path: shot });
  await browser.close();
  if (spread < 32) throw new Error('blank picture (spread ' + spread + ')');
  console.log('browser: live picture, spread ' + spread);
})().catch((e) => { console.error('browser: ' + e.message); process.exit(1); });
EOF
  echo "ok: live view in Chromium"
else
  echo "skip: live view (needs /usr/bin/chromium and playwright-core in $PW_DIR)"
fi

# Stream A in every form, with HLS played for 20 s in ffmpeg and for a while
# in GStreamer at the same time.
read_row hls.ts 20 -i "$B/streamA.m3u8" -- -f mpegts &
HLS=$!
wait_log "$LOG" "starting hls thread"
# The first playlist waits for the first segment, and with it the server.
$C -o /dev/null "$B/streamA.m3u8"
# gst_play <seconds> <name> <source elements...>: GStreamer decodes stream A's
# video for that long; $W/<name> lists every picture decoded.
# gst_play <seconds> <out> <source...>: decodes 90 pictures (three seconds),
# given the seconds a loaded machine may need to start and get there.
gst_play() {
  local secs=$1 name=$2
  shift 2
  timeout "$secs" gst-launch-1.0 -v "$@" ! tsdemux ! h264parse ! avdec_h264 ! identity silent=false ! \
    fakesink sync=false num-buffers=90 > "$W/$name" 2>&1 || true
}
gst_play 90 gst_hls.out souphttpsrc location="$B/streamA.m3u8" ! hlsdemux &
GST_HLS=$!
gst_play 60 gst_ts.out souphttpsrc location="$B/streamA.ts" is-live=true &
GST_TS=$!
JOBS=()
read_row a.h264 3 -f h264 -i "$B/streamA.h264" -- -f h264 & JOBS+=($!)
read_row a.ts 3 -i "$B/streamA.ts" -- -f mpegts & JOBS+=($!)
read_row a_vid.ts 3 -i "$B/streamA_vid.ts" -- -f mpegts & JOBS+=($!)
read_row a.flv 3 -f flv -i "$B/streamA.flv" -- -f flv & JOBS+=($!)
heads streamA.h264 streamA_vid.ts streamA.ts streamA.flv
wait "${JOBS[@]}"
check_file a.h264 h264 -f h264
check_file a.ts aac,h264
check_file a_vid.ts h264
check_file a.flv h264 -f flv
echo "ok: stream A rows in ffmpeg"

ctype() { tr -d '\r' < "$W/head_$1" | sed -n 's/^Content-Type: //Ip' | tail -1; }
[ "$(ctype streamA.h264)" = video/mpeg ] || fail "streamA.h264 type $(ctype streamA.h264)"
[ "$(ctype streamA_vid.ts)" = video/MP2T ] || fail "streamA_vid.ts type"
[ "$(ctype streamA.ts)" = video/MP2T ] || fail "streamA.ts type"
[ "$(ctype streamA.aac)" = audio/mpeg ] || fail "streamA.aac type"
[ "$(ctype streamC.pcm)" = video/mpeg ] || fail "streamC.pcm type"
[ "$(ctype streamA.flv)" = video/x-flv ] || fail "streamA.flv type"
[ "$(ctype streamB.mjpg)" = image/jpeg ] || fail "streamB.mjpg type"
[ "$(ctype streamB.jpg)" = image/jpeg ] || fail "streamB.jpg type"
MP=streamB.mjpg_multipart_true
[ "$(ctype $MP)" = "multipart/x-mixed-replace; boundary=--multipart_boundary" ] ||
  fail "multipart type $(ctype $MP)"
grep -qi "^Connection: close" "$W/head_$MP" || fail "multipart reply not 'Connection: close'"
grep -qi "^Cache-Control: no-cache" "$W/head_streamA.ts" || fail "stream without no-cache"
# Part headers: the first at the very start, each later one after CR LF CR LF,
# each Content-Length the size of the picture that follows.
python3 - "$W/head_$MP.body" <<'EOF' || fail "multipart part headers"
import re, sys
data = open(sys.argv[1], "rb").read()
pos, parts = 0, 0
head = re.compile(rb"--multipart_boundary\r\nContent-Type: image/jpeg\r\nContent-Length: (\d+)\r\n\r\n")
while True:
    m = head.match(data, pos)
    assert m, "no part header at %d" % pos
    n = int(m.group(1))
    pic = data[m.end():m.end() + n]
    if len(pic) < n:
        break
    assert pic[:2] == b"\xff\xd8" and pic[-2:] == b"\xff\xd9", "part %d is not a JPEG" % parts
    parts += 1
    pos = m.end() + n
    if len(data) < pos + 4:
        break
    assert data[pos:pos + 4] == b"\r\n\r\n", "part %d not followed by CR LF CR LF" % parts
    pos += 4
assert parts >= 10, "only %d whole parts" % parts
EOF
if command -v djpeg > /dev/null; then
  djpeg "$W/head_streamB.jpg.body" > "$W/one.ppm" || fail "streamB.jpg does not decode"
else
  ffmpeg -nostdin -v error -xerror -f jpeg_pipe -i "$W/head_streamB.jpg.body" -f image2 -c:v ppm \
    -y "$W/one.ppm" || fail "streamB.jpg does not decode"
fi
[ "$(head -c 2 "$W/one.ppm")" = P6 ] || fail "streamB.jpg: no picture"
[ "$($C -o /dev/null -w '%{http_code}' $B/streamA.jpg)" = 404 ] || fail "streamA.jpg while A codes H.264"
echo "ok: content types, multipart parts, one picture"

# HLS: the playlist advances and stays followable while ffmpeg plays it.
FIRST=
LAST=-1
for i in $(seq 1 8); do
  $C -o "$W/list.m3u8" -D "$W/list.head" "$B/streamA.m3u8"
  SEQ=$(playlist_ok "$W/list.m3u8" A) || fail "playlist: $(cat "$W/list.m3u8")"
  [ "$SEQ" -ge "$LAST" ] || fail "media sequence went back from $LAST to $SEQ"
  LAST=$SEQ
  FIRST=${FIRST:-$SEQ}
  sleep 1.5
done
grep -qi "^Content-Type: application/x-mpegURL" "$W/list.head" || fail "playlist type"
N=$(sed -n '$p' "$W/list.m3u8")
$C -D "$W/seg.head" -o "$W/seg.ts" "$B/$N"
grep -qi "^Content-Type: video/MP2T" "$W/seg.head" || fail "segment type"
[ "$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$W/seg.ts" | grep . | sort -u | paste -sd, -)" = aac,h264 ] ||
  fail "segment $N alone is not H.264 with AAC"
wait $HLS
check_file hls.ts aac,h264
D=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$W/hls.ts")
python3 -c "import sys; d=float(sys.argv[1]); sys.exit(0 if 19 <= d <= 21 else 1)" "$D" ||
  fail "HLS capture lasted $D s, not 20"
[ "$LAST" -gt "$FIRST" ] || fail "the playlist did not advance (media sequence $FIRST)"
wait $GST_HLS $GST_TS
for g in gst_hls.out gst_ts.out; do
  grep -q "ERROR" "$W/$g" && fail "GStreamer: $(grep -m3 ERROR "$W/$g")"
  n=$(grep -c "identity0: last-message = chain" "$W/$g" || true)
  [ "$n" -ge 90 ] || fail "GStreamer decoded only $n pictures ($g)"
done
echo "ok: HLS in ffmpeg (media sequence $LAST) and GStreamer"

# Permission None (users have 1 and up: it is the guest's) is refused every
# media row.
status() { $C -o /dev/null -w '%{http_code}' "$@"; }
[ "$(status -d create_user_name=admin -d create_user_pass=secret -d create_user_perm=5 \
      -d GuestPermission=0 -d redirect=/index.htm $B/controls)" = 303 ] || fail "user form"
ROWS="streamA.jpg streamA.mjpg streamB.jpg streamB.mjpg streamA.h264 streamA_vid.ts streamA.ts
  streamA.aac streamB.h264 streamB_vid.ts streamB.ts streamB.aac streamC.pcm streamA.flv streamB.flv
  streamA.m3u8 streamB.m3u8 streamA0.ts streamA4.ts streamB2.ts streamB9.ts"
for r in $ROWS; do
  [ "$(status --max-time 5 "$B/$r")" = 401 ] || fail "guest with None got $r"
done
[ "$(status --max-time 5 --basic -u admin:secret "$B/streamB.jpg")" = 200 ] || fail "admin refused a picture"
echo "ok: permission None refused"

kill -0 "$BOX_PID" || fail "the program died"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
grep -q "myRendezvousCleanup: httpd" "$LOG" || fail "httpd did not end cleanly"
echo PASS
