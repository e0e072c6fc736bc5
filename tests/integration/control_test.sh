#!/bin/bash
# The control protocol of the real binary, driven by tests/control/ctl_client.py
# through the local control service on UDP 127.0.0.1:12200: every opcode
# answers as its row says, broken frames get no reply, the status word's
# bits follow recording and playback requests and reach a subscriber, the
# recording and the snapshot they make on a USB disk read by ffprobe, files
# on a USB disk are listed, read, written and renamed (ls, stat, cmp), and
# the settings requests change what curl reads. Overlay line 3's text and an
# image sent in pieces show in a frame of stream A (ffmpeg, tesseract), and a
# subscriber hears the shutdown.
. "$(dirname "$0")/common.sh"
new_root --usb sda1:3
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
W=$ROOT/run/ctl
mkdir -p "$W"
LOG=$ROOT/run/a.log
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
command -v tesseract >/dev/null || fail "tesseract is not installed"

# The disk's recording directory, seen from outside: three recordings and a
# file that is none.
DISK=$ROOT/run/sim/storage/vol/sda1
mkdir -p "$DISK/DCIM"
# b.mp4 plays for a minute: it is still playing when the pause and resume
# requests come, however long a loaded host takes between them.
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=10 -t 60 -pix_fmt yuv420p "$DISK/DCIM/b.mp4" ||
  fail "ffmpeg"
head -c 3000 /dev/urandom > "$DISK/DCIM/a.ts"
head -c 700 /dev/urandom > "$DISK/DCIM/C.JPG"
echo notes > "$DISK/DCIM/notes.txt"
head -c 5000 /dev/urandom > "$W/up.bin"
convert -size 360x100 xc:black -fill white -font DejaVu-Sans-Bold -pointsize 56 -gravity center \
  -annotate +0+0 'LOGO 7391' PNG32:"$W/logo.png" || fail "ImageMagick"

start_box "$LOG"
wait_log "$LOG" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20

# frame <name>: one frame of stream A as PNG.
frame() {
  timeout 60 ffmpeg -nostdin -v error -rw_timeout 10000000 -i "$B/streamA.ts" -frames:v 1 -y "$W/$1.png" ||
    fail "no frame from streamA.ts"
}
# shows <text> <w> <h> <x> <y>: tesseract reads the text in that box of a
# frame (a few frames, as a change reaches the frames after its reply).
shows() {
  for _ in 1 2 3 4 5; do
    frame shot
    convert "$W/shot.png" -crop "$2x$3+$4+$5" +repage -resize 200% "$W/crop.png"
    case "$(tesseract "$W/crop.png" - --psm 7 2>/dev/null | tr -d '\n\f')" in *"$1"*) return 0 ;; esac
  done
  return 1
}

python3 - "$CLIENT" "$ROOT" "$W" <<'EOF' || fail "control requests"
import importlib.util, os, struct, subprocess, sys, time
spec = importlib.util.spec_from_file_location("ctl_client", sys.argv[1])
ctl = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ctl)
root, work = sys.argv[2], sys.argv[3]
disk = root + "/run/sim/storage/vol/sda1"

def check(cond, what):
    if not cond:
        print("FAIL:", what, file=sys.stderr)
        sys.exit(1)

c = ctl.Client()
by_code = {op[0]: (name, op[1]) for name, op in ctl.OPS.items()}

# Every opcode without its fields: no row 1, a row with fields 3, else the
# row runs and a success ends in the word.
for code in range(256):
    got = c.transact_raw(ctl.request_frame(code))
    check(got is not None and got[0] == 0x40, "opcode %d answered" % code)
    _, status, body = got
    name, layout = by_code.get(code, (None, None))
    if name is None:
        check(status == 1 and body == b"", "opcode %d: %d %r" % (code, status, body))
    elif layout.strip("r"):
        check(status == 3 and body == b"", "%s without fields: %d" % (name, status))
    elif status == 0:
        check(len(body) >= 4, "%s ends in the word" % name)
log = open(root + "/run/a.log").read()
check("cmd_exec: invalid opcode 8 (8)" in log and "cmd_exec: invalid opcode 255 (ff)" in log, "log line")
print("ok: every opcode answers by its row")

r = c.call("set_display_mode", 5)
check(r.status == 2 and r.word is None, "out of range: %r" % r)
# A broken checksum and a 0 inside a frame get no reply; the next request does.
frame = bytearray(ctl.request_frame(3))
frame[1] ^= 1
check(c.transact_raw(bytes(frame), timeout=1) is None, "bad checksum answered")
check(c.transact_raw(b"\x03\x00\x00\x03\xfd\x00", timeout=1) is None, "inner 0 answered")
r = c.call("get_version")
check(r.status == 0 and r.fields == [0x01050000 + 1647], "version %r" % r)
r = c.call("get_identity")
check(r.fields == [0x01000000, "S7391"], "identity %r" % r)
print("ok: broken frames unanswered, version and identity")

# Recording and playback bits, heard by a subscriber of recording only.
check(c.subscribe(1, 0x1).status == 0, "subscribe")
before = set(os.listdir(disk + "/DCIM"))
def made(name, ext):
    # The file a reply names; "unknown" when the recorder named it too late.
    for _ in range(100):
        new = [n for n in os.listdir(disk + "/DCIM") if n not in before and n.endswith(ext)]
        if name != "unknown" or new:
            return disk + "/DCIM/" + (name if name != "unknown" else new[0])
        time.sleep(0.1)
    check(False, "no new %s file" % ext)
r = c.call("record_start", 1, 0, 2000)
check(r.status == 0 and r.word is not None and r.word & 0x1, "record_start %r" % r)
rec = made(r.fields[0], ".mp4")
# The menu's recording start sets the bit, unless the reply came first.
ev = c.wait_event()
check(ev and ev[1] == 0x1 and ev[2] in ("dvr_set_recording_state", r.fields[0]),
      "notification %r" % (ev,))
check(c.call("record_start", 1, 0, 0).status == 4, "second start")
check(c.call("record_pause").word & 0x40, "pause")
check(c.call("record_resume").word & 0x40 == 0, "resume")
# Some seconds of pictures before the stop.
for _ in range(300):
    if os.path.exists(rec) and os.path.getsize(rec) > 300000:
        break
    time.sleep(0.1)
def gui_stops():
    return open(root + "/run/a.log", errors="replace").read().count("updateRecordingStatus: record=0")
stops = gui_stops()
r = c.call("record_stop")
check(r.status == 0 and r.word & 0x41 == 0, "stop %r" % r)
check(c.wait_event()[1] == 0x1, "stop heard")
# The bit drops as the stop begins; the file is whole once the menu has
# seen the volumes safe again.
for _ in range(300):
    if gui_stops() > stops:
        break
    time.sleep(0.1)
check(gui_stops() > stops, "the recorder did not finish its file")
# The recording and a snapshot on the disk, read by ffprobe.
def probe(path, what):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                          "stream=codec_name,nb_read_frames", "-of", "csv=p=0", path],
                         capture_output=True, text=True)
    check(out.returncode == 0 and out.stdout.strip(), "%s: ffprobe %r" % (what, out.stderr))
    return out.stdout.split()[0].split(",")
codec, frames = probe(rec, "recording")
check(codec == "h264" and int(frames) >= 25, "recording: %s, %s frames" % (codec, frames))
r = c.call("snapshot_take", 1, 50)
check(r.status == 0, "snapshot_take %r" % r)
shot = made(r.fields[0], ".jpg")
for _ in range(100):
    if os.path.exists(shot) and open(shot, "rb").read()[-2:] == b"\xff\xd9":
        break
    time.sleep(0.1)
check(probe(shot, "snapshot") == ["mjpeg", "1"], "snapshot %s" % shot)
check(c.call("file_delete", 1, os.path.basename(shot)).status == 0, "delete the snapshot")
check(c.call("file_delete", 1, os.path.basename(rec)).status == 0, "delete the recording")
check(c.call("play_file", 1, "../x").status == 2, "../x")
check(c.call("play_file", 1, "none.mp4").status == 5, "missing file")
check(c.call("play_file", 1, "b.mp4").word & 0x82 == 0x2, "play_file")
check(c.call("play_pause").word & 0x80, "play_pause")
check(c.call("play_resume").word & 0x80 == 0, "play_resume")
check(c.call("play_stop").word & 0x82 == 0, "play_stop")
check(c.wait_event(timeout=0.5) is None, "playback heard by a recording subscriber")
print("ok: status bits and the subscriber")

# Files: the list is the recordings, sorted; sizes as stat gives them.
r = c.call("file_count", 1)
check(r.fields == [3], "file_count %r" % r)
names = [c.call("file_name", 1, i).fields[0] for i in range(3)]
check(names == ["C.JPG", "a.ts", "b.mp4"], "names %r" % names)
for i, n in enumerate(names):
    r = c.call("file_info", 1, i)
    check(r.fields == [n, os.stat(disk + "/DCIM/" + n).st_size], "file_info %r" % r)
check(c.call("file_name", 1, 3).status == 2, "index past the list")
data = open(work + "/up.bin", "rb").read()
check(c.call("file_open", 1, 1, "up.bin").status == 0, "open for writing")
for off in range(0, len(data), 240):
    check(c.call("file_write", data[off:off + 240]).status == 0, "write")
check(c.call("file_close").status == 0, "close")
check(open(disk + "/up.bin", "rb").read() == data, "written file differs")
check(c.call("file_open", 1, 0, "up.bin").status == 0, "open for reading")
back = b""
while True:
    r = c.call("file_read")
    check(r.status == 0, "read %r" % r)
    if not r.fields[0]:
        break
    back += r.fields[0]
check(back == data and c.call("file_close").status == 0, "read back")
check(c.call("file_open", 1, 0, "../x").status == 2, "open ../x")
check(c.call("file_close").status == 4, "close without a file")
check(c.call("file_rename", 1, "a.ts", "d.ts").status == 0, "rename")
check(c.call("file_rename", 1, "b.mp4", "d.ts").status == 2, "rename onto a file")
check(c.call("file_delete", 1, "C.JPG").status == 0, "delete")
names = [c.call("file_name", 1, i).fields[0] for i in range(c.call("file_count", 1).fields[0])]
check(names == sorted(os.listdir(disk + "/DCIM"))[:2] == ["b.mp4", "d.ts"], "after: %r" % names)
r = c.call("storage_space", 1)
check(r.status == 0 and r.fields[1] == (1 << 30) // 1000 and 0 < r.fields[0] <= r.fields[1], "space %r" % r)
r = c.call("storage_space", 2)
check(r.status == 169 and r.fields == [0, 0] and r.word is not None, "no disk: %r" % r)
check(c.call("save_log", 1, 0).status == 0, "save_log")
check("cmd_close_file" in open(disk + "/log.txt").read(), "log.txt")
print("ok: file list, transfer, rename, delete, space and log")

# Settings that the web server reads back.
check(c.call("set_capture_adjust", 0, 77).status == 0, "brightness")
check(c.call("get_capture_adjust", 0).fields == [77], "brightness back")
check(c.call("get_capture_adjust", 1).status == 2, "item 1")
check(c.call("set_volume", 3, 99).status == 0 and c.call("set_mute", 2, 1).status == 0, "volume")
check(c.call("get_audio").fields[1:5] == [99, 99, 0, 1], "get_audio")
check(c.call("set_time", 1700000000).status == 0, "set_time")
t = c.call("get_time").fields[0]
check(1700000000 <= t < 1700000100, "get_time %d" % t)
check(c.call("set_osd_text", 16, "FROM CONTROL").status == 0, "line 16")
check(c.call("set_encoder_count", 1, 4242).status == 0, "count")
# Counter 1 lives in the board's counter controller: the gpio thread sends
# the count and reads it back on its next pass.
for _ in range(100):
    if c.call("get_encoder_count", 1).fields == [4242]:
        break
    time.sleep(0.1)
check(c.call("get_encoder_count", 1).fields == [4242], "count back")

# Overlay line 3 and an image in slot 5, for the frames below.
check(c.call("set_osd_position", 3, 120, 400).status == 0, "line 3 position")
check(c.call("set_osd_text", 3, "CTL 42").status == 0, "line 3 text")
check(c.call("set_osd_background", 3, 1).status == 0, "line 3 background")
check(c.call("set_osd_enable", 3, 3).status == 0, "line 3 font")
check(c.call("get_osd", 3).fields == [3, 1, 120, 400], "get_osd")
check(c.call("set_osd_position", 5, 300, 200).status == 0, "slot 5 position")
r = c.send_image(5, 0, open(work + "/logo.png", "rb").read())
check(r.status == 0, "image %r" % r)
print("ok: settings and overlay requests")
EOF
echo "ok: control requests"

[ "$($C "$B/Capture.Brightness")" = 77 ] || fail "Capture.Brightness $($C "$B/Capture.Brightness")"
[ "$($C "$B/Audio.VolumeRight")" = 99 ] || fail "Audio.VolumeRight $($C "$B/Audio.VolumeRight")"
[ "$($C "$B/Video[0].OSD.Message")" = "FROM CONTROL" ] || fail "Message $($C "$B/Video[0].OSD.Message")"
echo "ok: curl reads the settings"

shows "CTL 42" 360 80 380 100 || fail "line 3 not read in the frame"
shows "LOGO 7391" 360 100 200 300 || fail "the image not read in the frame"
echo "ok: overlay text and image in stream A"

# Without a video signal a snapshot is refused.
echo "signal 0 0" >> "$ROOT/run/sim_capture.cmd"
for _ in $(seq 1 100); do
  st=$(python3 "$CLIENT" snapshot_take 1 50 | sed -n 1p)
  [ "$st" = "status 170 (no video)" ] && break
  sleep 0.1
done
[ "$st" = "status 170 (no video)" ] || fail "snapshot without video: $st"
echo "ok: no snapshot without video"

# The client over a serial line: socat carries the pseudo-terminal's bytes to
# the service and the replies back.
socat PTY,link="$W/tty",rawer UDP:127.0.0.1:12200 &
PIDS+=($!)
for _ in $(seq 1 50); do [ -e "$W/tty" ] && break; sleep 0.1; done
out=$("$CLIENT" --serial "$W/tty" get_identity | tr '\n' ' ')
case "$out" in "status 0 (ok) 16777216 S7391 word 0x"*) ;; *) fail "over a serial line: $out" ;; esac
echo "ok: a serial line"

# A subscriber hears the shutdown that SIGINT brings.
python3 - "$CLIENT" >"$W/shutdown.txt" <<'EOF' &
import importlib.util, sys
spec = importlib.util.spec_from_file_location("ctl_client", sys.argv[1])
ctl = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ctl)
c = ctl.Client()
print("subscribed", c.subscribe(3, 0x2000000).status, flush=True)
ev = c.wait_event(timeout=60)
print("event 0x%08x 0x%08x" % ev[:2] if ev else "none", flush=True)
EOF
LISTENER=$!
wait_log "$W/shutdown.txt" "subscribed 0"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
wait "$LISTENER" || fail "shutdown listener"
grep -qE "^event 0x02[0-9a-f]{6} 0x02000000$" "$W/shutdown.txt" || fail "shutdown: $(cat "$W/shutdown.txt")"
grep -q "main cleanup rendezvous met" "$LOG" || fail "no clean end"
echo "ok: shutdown notified"
echo PASS
