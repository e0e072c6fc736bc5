#!/bin/bash
# An overlay image uploaded through the web shows in the frames of stream A:
# ImageMagick draws a white "LOGO 7391" on an opaque black box, curl posts it
# behind the 10-byte overlay header, ffmpeg takes a frame of streamA.ts and
# tesseract reads the logo back from where it should be: at opacity 8 (grey
# levels blended from the runs) and 12 (colours through the DMA buffer);
# hidden it is gone, moved it shows at its new place. A Stream View user is
# refused; an upload cut by its client leaves nothing behind. The logo as a
# palette PNG (as most logos are) shows too; an image that cannot be
# decoded and an empty upload are answered 400 with the reason, which the
# upload page shows (headless Chromium, when installed). With stream A
# scaled, a square put in while nobody watches shows to each viewer after;
# one placed outside the frame, one for the HD on-screen display and noise
# committed over the control protocol are refused.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
W=$ROOT/run/overlay
mkdir -p "$W"
LOG=$ROOT/run/a.log
command -v tesseract >/dev/null || fail "tesseract is not installed"

convert -size 360x100 xc:black -fill white -font DejaVu-Sans-Bold -pointsize 56 -gravity center \
  -annotate +0+0 'LOGO 7391' PNG32:"$W/logo.png" || fail "ImageMagick"
convert "$W/logo.png" -colors 16 PNG8:"$W/logo8.png" || fail "ImageMagick palette"
[ "$(od -An -tu1 -j25 -N1 "$W/logo8.png" | tr -d ' ')" = 3 ] || fail "logo8.png is no palette PNG"

# body <out> <length> <target> <opacity> <x> <y> [file]: header, then the file.
body() {
  python3 - "$@" <<'EOF'
import struct, sys
out, length, target, opacity, x, y = sys.argv[1], *map(int, sys.argv[2:7])
data = open(sys.argv[7], 'rb').read() if len(sys.argv) > 7 else b''
open(out, 'wb').write(struct.pack('<IBBhh', length, target, opacity, x, y) + data)
EOF
}
# post <user:pass> <body file>: the HTTP status of the upload.
post() { $C -o /dev/null -w '%{http_code}' --basic -u "$1" --data-binary @"$2" "$B/overlay"; }
# frame <name>: one frame of stream A as PNG.
frame() {
  timeout 60 ffmpeg -nostdin -v error -rw_timeout 10000000 -analyzeduration 1000000 -probesize 400000 \
    -i "$B/streamA.ts" -frames:v 1 -y "$W/$1.png" ||
    fail "no frame from streamA.ts"
}
# reads <name> <x> <y>: tesseract's reading of the logo's box in a frame.
reads() {
  convert "$W/$1.png" -crop 360x100+$2+$3 +repage -resize 200% "$W/$1.crop.png"
  # One thread: OpenMP threads thrash on a loaded machine.
  OMP_THREAD_LIMIT=1 tesseract "$W/$1.crop.png" - --psm 7 2>/dev/null | tr -d '\n\f'
}
# shows <name> <x> <y>: the frame carries the logo there (a few frames, as
# the command reaches the frames a little after its reply).
shows() {
  for _ in 1 2 3 4 5; do
    frame "$1"
    case "$(reads "$1" "$2" "$3")" in *"LOGO 7391"*) return 0 ;; esac
  done
  return 1
}

start_box "$LOG"
wait_log "$LOG" "httpd: started"
# An administrator (the guest is Admin until there is one), an operator
# with Stream Config and a viewer; the guest views only.
user() {
  local st
  st=$($C -o /dev/null -w '%{http_code}' "${@:4}" -d create_user_name=$1 -d create_user_pass=$2 \
    -d create_user_perm=$3 -d redirect=/index.htm $B/controls)
  [ "$st" = 303 ] || fail "creating user $1: $st"
}
user admin secret 5 -d GuestPermission=1
user op pw 4 --basic -u admin:secret
user viewer pw 1 --basic -u admin:secret
$C --basic -u op:pw $B/setup_overlay.htm > "$W/page.htm"
grep -q 'id="overlay-form"' "$W/page.htm" || fail "setup_overlay.htm"

frame plain
case "$(reads plain 200 160)" in *LOGO*) fail "logo before any upload" ;; esac

SIZE=$(stat -c %s "$W/logo.png")
body "$W/viewer.bin" "$SIZE" 0 8 200 160 "$W/logo.png"
st=$(post viewer:pw "$W/viewer.bin")
[ "$st" = 401 ] || [ "$st" = 403 ] || fail "a Stream View user's upload answered $st"
frame viewer
case "$(reads viewer 200 160)" in *LOGO*) fail "a Stream View user's logo shows" ;; esac
echo "ok: Stream View refused"

for opacity in 8 12; do
  body "$W/up$opacity.bin" "$SIZE" 0 "$opacity" 200 160 "$W/logo.png"
  st=$(post op:pw "$W/up$opacity.bin")
  [ "$st" = 200 ] || fail "upload at opacity $opacity answered $st"
  shows "o$opacity" 200 160 || fail "logo at opacity $opacity not read: '$(reads "o$opacity" 200 160)'"
  echo "ok: logo read at opacity $opacity"
done

# Move it (a command of 3 bytes), then hide it (0).
body "$W/move.bin" 3 0 12 600 400
[ "$(post op:pw "$W/move.bin")" = 200 ] || fail "move refused"
shows moved 600 400 || fail "moved logo not read: '$(reads moved 600 400)'"
case "$(reads moved 200 160)" in *LOGO*) fail "logo still at its old place" ;; esac
echo "ok: moved"
body "$W/hide.bin" 0 0 0 0 0
[ "$(post op:pw "$W/hide.bin")" = 200 ] || fail "hide refused"
for _ in 1 2 3 4 5; do
  frame hidden
  case "$(reads hidden 600 400)" in *LOGO*) ;; *) break ;; esac
done
case "$(reads hidden 600 400)" in *LOGO*) fail "hidden logo still shows" ;; esac
echo "ok: hidden"

# A client that leaves halfway: nothing is held, nothing shows, and the
# next upload works.
body "$W/cut.bin" "$SIZE" 1 12 200 160 "$W/logo.png"
python3 - "$M7391_HTTP_PORT" "$W/cut.bin" <<'EOF'
import socket, sys
port, path = int(sys.argv[1]), sys.argv[2]
data = open(path, 'rb').read()
s = socket.create_connection(('127.0.0.1', port))
s.sendall(b'POST /overlay HTTP/1.1\r\nHost: x\r\nAuthorization: Basic b3A6cHc=\r\n'
          b'Content-Length: %d\r\n\r\n' % len(data))
s.sendall(data[:len(data) // 2])
s.close()
EOF
wait_log "$LOG" "overlay_upload_done: upload cut"
frame cut
case "$(reads cut 200 160)" in *LOGO*) fail "a cut upload shows" ;; esac
body "$W/again.bin" "$SIZE" 1 8 200 160 "$W/logo.png"
[ "$(post op:pw "$W/again.bin")" = 200 ] || fail "upload after a cut one refused"
shows again 200 160 || fail "logo after a cut upload not read"
echo "ok: cut upload"

# The palette logo in a slot of its own, where nothing showed before.
frame nopal
case "$(reads nopal 200 400)" in *LOGO*) fail "logo at 200,400 before the palette upload" ;; esac
body "$W/pal.bin" "$(stat -c %s "$W/logo8.png")" 2 8 200 400 "$W/logo8.png"
[ "$(post op:pw "$W/pal.bin")" = 200 ] || fail "palette logo refused"
shows pal 200 400 || fail "palette logo not read: '$(reads pal 200 400)'"
echo "ok: palette logo"
# refused <body file> <reason>: answered 400 with the reason.
refused() {
  local st
  st=$($C -o "$W/reply.htm" -w '%{http_code}' --basic -u op:pw --data-binary @"$1" "$B/overlay")
  [ "$st" = 400 ] || fail "$1 answered $st"
  grep -qF "$2" "$W/reply.htm" || fail "$1: the answer does not say '$2': $(cat "$W/reply.htm")"
}
head -c $((SIZE / 2)) "$W/logo.png" > "$W/half.png"
body "$W/half.bin" $((SIZE / 2)) 3 8 200 400 "$W/half.png"
refused "$W/half.bin" "overlay: the PNG image cannot be read"
: > "$W/empty.bin"
refused "$W/empty.bin" "overlay: nothing was sent"
shows pal2 200 400 || fail "a refused image changed the palette logo"
echo "ok: refused with their reasons"

# Stream A scaled to 1280x720 of the 1080p input: while nobody watches A the
# capture makes it at the monitor's 1920x1080, and at 1280x720 for A's
# viewers. A red square decoded into the overlay buffer (opacity 12) with
# nobody watching shows to each viewer after, one after the other.
a_size() { grep -o ' A:[0-9]*x[0-9]*' "$LOG" | tail -1 | cut -c4-; }
wait_unwatched() {
  for _ in $(seq 1 300); do [ "$(a_size)" = 1920x1080 ] && return 0; sleep 0.1; done
  fail "stream A still made at $(a_size) for a viewer"
}
# red <name>: the mean colour of the square's middle, as "R G B".
red() {
  convert "$W/$1.png" -crop 32x32+1016+116 +repage -resize '1x1!' \
    -format '%[fx:int(255*r)] %[fx:int(255*g)] %[fx:int(255*b)]' info:
}
is_red() { local c; read -ra c <<<"$(red "$1")"; [ "${c[0]}" -gt 180 ] && [ "${c[1]}" -lt 80 ] && [ "${c[2]}" -lt 80 ]; }
st=$($C -o /dev/null -w '%{http_code}' --basic -u admin:secret -d Video[0].Width=1280 -d Video[0].Height=720 \
  -d redirect=/index.htm "$B/controls")
[ "$st" = 303 ] || fail "stream A at 1280x720: $st"
convert -size 64x64 xc:'#ff0000' PNG24:"$W/red.png" || fail "ImageMagick red"
RED=$(stat -c %s "$W/red.png")
wait_unwatched
body "$W/red.bin" "$RED" 5 12 1000 100 "$W/red.png"
[ "$(post op:pw "$W/red.bin")" = 200 ] || fail "red square refused"
for v in 1 2; do
  frame "viewer$v"
  [ "$(identify -format %wx%h "$W/viewer$v.png")" = 1280x720 ] || fail "viewer $v: A not at 1280x720"
  is_red "viewer$v" || fail "viewer $v does not see the red square: $(red "viewer$v")"
  wait_unwatched
done
echo "ok: a square put in with nobody watching shows to each viewer after"

# Answered as failures, with their reason and one log line: an image placed
# wholly outside every frame of A, one for the HD on-screen display (which
# shows none), and noise committed over the control protocol.
body "$W/out.bin" "$RED" 5 12 2000 100 "$W/red.png"
refused "$W/out.bin" "the 64x64 image at 2000,100 lies wholly outside the 1920x1080 and 1280x720 frames"
body "$W/hd.bin" "$RED" 32 12 0 0 "$W/red.png"
refused "$W/hd.bin" "The on-screen display does not show uploaded images"
[ "$(grep -c 'osd_post_image: the on-screen display shows no posted images' "$LOG")" = 1 ] ||
  fail "the HD on-screen display's refusal is not logged once"
CTL="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
"$CTL" image_alloc 6 16 | grep -q 'status 0' || fail "image_alloc"
"$CTL" image_chunk 6 0 hex:3c9107e255a01bc86f02d9448e1370bb | grep -q 'status 0' || fail "image_chunk"
"$CTL" image_commit 6 0 | grep -q 'status 2 (out of range)' || fail "noise committed is not refused"
[ "$(grep -c 'cmd_image_commit: slot 6 refused: not a PNG or BMP image' "$LOG")" = 1 ] ||
  fail "the refused commit is not logged once"
frame after
is_red after || fail "a refusal changed the red square"
echo "ok: placed outside, for the HD on-screen display and noise committed: refused"
PW_DIR=${M7391_PLAYWRIGHT_DIR:-$HOME/.cache/m7391-playwright}
if [ -x /usr/bin/chromium ] && [ -d "$PW_DIR/node_modules/playwright-core" ] && command -v node >/dev/null; then
  NODE_PATH="$PW_DIR/node_modules" timeout 240 node "$(dirname "$0")/overlay_page_check.js" "$B" "$W/half.png" \
    "the PNG image cannot be read" || fail "the upload page does not show the reason"
  echo "ok: the upload page shows the reason"
else
  echo "skip: the upload page (needs /usr/bin/chromium and playwright-core)"
fi

kill -0 "$BOX_PID" || fail "the program died"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
grep -q "myRendezvousCleanup: httpd" "$LOG" || fail "httpd did not end cleanly"
echo PASS
