#!/bin/bash
# The serial port's two command services on the real binary, driven from
# <root>/dev/ttyS0.peer: a recorder controller's frames (python3-serial)
# start, pause and stop recordings on a USB disk (read by ffprobe), take a
# snapshot, play, pause and walk the recorded files, set the
# clock and the distance counter, every reply compared byte for byte, with
# tesseract reading the distance unit in a frame; then the control-protocol bridge answers ctl_client.py over the
# line, ignoring short frames, other kinds and an overlong run.
. "$(dirname "$0")/common.sh"
new_root --usb sda1:2
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
W=$ROOT/run/serial
mkdir -p "$W"
PEER=$ROOT/dev/ttyS0.peer
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
PY=/usr/bin/python3
$PY -c "import serial" 2>/dev/null || fail "python3-serial is not installed"
command -v tesseract >/dev/null || fail "tesseract is not installed"

service() { post_form -d "Serial.State=stop"; post_form "$@"; post_form -d "Serial.State=start"; }

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/ext" 20
post_form -d "Video[0].OSD.Message=^e" -d "Video[0].OSD.Enabled=3" -d "Video[0].OSD.X=32" \
  -d "Video[0].OSD.Y=32"
service -d "Serial.StreamID=6"
wait_param Serial.Status "^Serial Command Processor"
wait_log "$LOGF" "open_tavik: exit"

# unit <name>: tesseract's reading of the distance in a frame of stream A.
unit() {
  timeout 60 ffmpeg -nostdin -v error -rtsp_transport tcp -i "rtsp://127.0.0.1:554/streamA.h264" \
    -frames:v 1 -y "$W/$1.png" || fail "no frame over RTSP"
  convert "$W/$1.png" -crop 300x34+30+31 +repage -colorspace gray -negate -threshold 60% \
    -resize 200% "$W/$1.crop.png"
  tesseract "$W/$1.crop.png" - --psm 7 -c "tessedit_char_whitelist=0123456789.- ftm" 2>/dev/null |
    tr -d '\n\f'
}

$PY - "$PEER" "$CLIENT" "$ROOT" "$W" <<'EOF' || fail "recorder controller"
import importlib.util, os, serial, subprocess, sys, time
peer, client, root, work = sys.argv[1:5]
spec = importlib.util.spec_from_file_location("ctl_client", client)
ctl = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ctl)
svc = ctl.Client()
line = serial.Serial(peer, 115200, timeout=3)

def check(cond, what):
    if not cond:
        print("FAIL:", what, file=sys.stderr)
        sys.exit(1)

def frame(*body):
    f = bytes([0xAB, len(body) + 4]) + bytes(body)
    return f + bytes([sum(f) & 0xFF, ord(">")])

def replies(data, count, wait=3):
    line.reset_input_buffer()
    line.write(data)
    got = b""
    deadline = time.time() + wait
    out = []
    while len(out) < count and time.time() < deadline:
        got += line.read(1)
        while len(got) >= 2 and len(got) >= got[1]:
            out.append(got[:got[1]])
            got = got[got[1]:]
    return out

def reply(data):
    r = replies(data, 1)
    check(len(r) == 1, "no reply to %s" % data.hex())
    return r[0]

def nothing(data):
    r = replies(data, 1, wait=1)
    check(r == [], "a reply to %s: %r" % (data.hex(), r))

def word():
    return svc.call("get_status").word

def key(k):
    return reply(frame(8, 8, 1, k))

def free_pct():
    free, total = svc.call("storage_space", 2).fields
    return free * 100 // total if total else 0

def key_state(k, state, flags, what, also=()):
    # Byte for byte, but the free space, which a recording changes meanwhile.
    before = free_pct()
    got = key(k)
    after = free_pct()
    want = [frame(8, ord("l"), 1, st, 0, 0, flags, 0, pct)
            for st in (state,) + also for pct in range(after, before + 1)]
    check(got in want, "%s: %s, not %s" % (what, got.hex(), want[0].hex()))

def played(name, times=1):
    # The menu's playback took the file the controller chose.
    seen = "play_video_action: filename=/media/ext/DCIM/" + name
    for _ in range(100):
        if open(root + "/run/a.log").read().count(seen) >= times:
            return True
        time.sleep(0.1)
    return False

def recording(dcim, old):
    # The new recording's name once it holds a second or so of pictures.
    for _ in range(300):
        new = [n for n in os.listdir(dcim) if n.endswith(".mp4") and n not in old]
        if new and os.path.getsize(dcim + new[0]) > 800000:
            return new[0]
        time.sleep(0.1)
    check(False, "no recording grows beside %r" % old)

# Class 1, with garbage before the first frame and two frames in one write.
r = replies(b"\x00\x55>" + frame(0x21, 1, 0) + frame(0x21, 1, 1), 2)
check(r == [frame(0x21, ord("e"), 0, 1), frame(0x21, ord("e"), 1)], "class 1: %r" % r)
# Faults get no reply: a length of 6, another address, a bad checksum.
nothing(bytes([0xAB, 6, 8, 8, 1, ord(">")]))
nothing(frame(9, 8, 1, 0))
bad = bytearray(frame(8, 8, 1, 0)); bad[-2] ^= 1
nothing(bytes(bad))

# PLAY on a volume without recordings plays nothing.
key_state(8, 0, 0, "PLAY without files")
# REC starts a recording on the external volume, REC pauses, REC resumes.
key_state(1, 4, 0, "REC")
check(word() & 0x41 == 0x01, "recording: word %#x" % word())
key_state(1, 4, 1, "REC to pause")
check(word() & 0x41 == 0x41, "paused: word %#x" % word())
key_state(1, 4, 0, "REC to resume")
# NXT while recording takes a snapshot; STOP ends the recording.
key_state(16, 4, 2, "NXT while recording")
dcim = root + "/run/sim/storage/vol/sda1/DCIM/"
first = recording(dcim, [])
key_state(4, 0, 0, "STOP")
check(word() & 0x41 == 0, "still recording: word %#x" % word())
# A second recording, once the first one's files are closed.
for _ in range(100):
    if "safe to remove" in open(root + "/run/a.log").read():
        break
    time.sleep(0.1)
key_state(1, 4, 0, "REC again")
recording(dcim, [first])
key_state(4, 0, 0, "STOP again")
files = sorted(os.listdir(dcim))
check([n[-4:] for n in files] == [".jpg", ".mp4", ".mp4"], "files %r" % files)
for n, codec in zip(files, ("mjpeg", "h264", "h264")):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name",
                          "-of", "csv=p=0", dcim + n], capture_output=True, text=True).stdout
    check(out.split()[:1] == [codec], "%s: %r" % (n, out))
# NXT and PRV walk the list from the file PLAY chose while it was empty
# (the first); PLAY pauses and resumes; STOP ends the playback.
key_state(16, 3, 0, "NXT")
key_state(8, 3, 1, "PLAY to pause")
key_state(8, 3, 0, "PLAY to resume")
check(played(files[1]), "NXT played no %s" % files[1])
# Stopping one file and playing the next, the menu may still be between
# the two when the state is read.
key_state(16, 3, 0, "NXT again", also=(0,))
check(played(files[2]), "NXT played no %s" % files[2])
key_state(2, 3, 0, "PRV", also=(0,))
check(played(files[1], 2), "PRV played no %s" % files[1])
key_state(4, 0, 0, "STOP playing")

# Set time (seconds) and the counter's BCD time move get_time.
check(reply(frame(8, 8, 2, 0x00, 0x5E, 0xD0, 0xB2)) == frame(8, ord("l"), 2), "set time")
check(abs(svc.call("get_time").fields[0] - 0xB2D05E00) < 5, "get_time after set time")
check(reply(frame(9, 9, 2, 0x15, 0x06, 0x27, 0x08, 0x30, 0x00, 0)) == frame(9, ord("m"), 2), "BCD time")
want = int(time.mktime((2027, 6, 15, 8, 30, 0, 0, 0, -1)))
check(abs(svc.call("get_time").fields[0] - want) < 5, "get_time after the BCD time")
# An invalid BCD date sets nothing.
nothing_set = svc.call("get_time").fields[0]
check(reply(frame(9, 9, 2, 0x31, 0x02, 0x27, 0x08, 0x30, 0x00, 0)) == frame(9, ord("m"), 2), "bad BCD")
check(abs(svc.call("get_time").fields[0] - nothing_set) < 5, "a 31 February moved the clock")

# The distance count FF FF FF is -1; feet then metres.
check(reply(frame(9, 9, 0, 0xFF, 0xFF, 0xFF, 1, 0)) == frame(9, ord("m"), 0), "count in feet")
# The board's counter takes the count at its next poll.
deadline = time.time() + 10
while svc.call("get_encoder_count", 0).fields[0] != 0xFFFFFFFF and time.time() < deadline:
    time.sleep(0.1)
check(svc.call("get_encoder_count", 0).fields[0] == 0xFFFFFFFF,
      "count %#x" % svc.call("get_encoder_count", 0).fields[0])
check(reply(frame(9, 9, 0, 0x40, 0xE2, 0x01, 1, 0)) == frame(9, ord("m"), 0), "123456 in feet")
open(work + "/feet", "w").close()
EOF
ft=$(unit feet)
case "$ft" in *" ft") ;; *) fail "feet: the frame reads '$ft'" ;; esac
# The same count in metres.
$PY -c 'import serial, sys
f = bytes([0xAB, 11, 9, 9, 0, 0x40, 0xE2, 0x01, 0]); f += bytes([sum(f) & 0xFF, ord(">")])
s = serial.Serial(sys.argv[1], 115200, timeout=3); s.write(f)
sys.exit(0 if s.read(7)[:5] == bytes([0xAB, 7, 9, ord("m"), 0]) else 1)' "$PEER" || fail "count in metres"
for _ in 1 2 3; do
  m=$(unit metres)
  case "$m" in *" m") break ;; esac
done
case "$m" in *" m") ;; *) fail "metres: the frame reads '$m' (feet read '$ft')" ;; esac
echo "ok: mode 6 (feet '$ft', metres '$m')"

# Mode 7: control-protocol packets over the line.
service -d "Serial.StreamID=7"
wait_param Serial.Status "^Serial Command Processor"
$PY - "$PEER" "$CLIENT" <<'EOF' || fail "bridge"
import importlib.util, sys, time
peer, client = sys.argv[1:3]
spec = importlib.util.spec_from_file_location("ctl_client", client)
ctl = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ctl)
c = ctl.Client(serial=peer)

def check(cond, what):
    if not cond:
        print("FAIL:", what, file=sys.stderr)
        sys.exit(1)

check(c.call("get_version").fields[0] == 0x01050000 + 1647, "get_version")
# A short frame, a reply packet and a 300-byte run get nothing; the next
# request is answered.
for junk in (b"\x02\x40\x00", ctl.cobs_encode(bytes([0x40, 0, 0xC0])), bytes([7]) * 300 + b"\x00"):
    check(c.transact_raw(junk, timeout=1) is None, "answered %r" % junk[:8])
r = c.call("record_start", 2, 0, 0)
check(r.status == 0 and r.fields[0], "record_start: %r" % r)
time.sleep(1)
check(c.call("record_stop").status == 0, "record_stop")
EOF
echo "ok: mode 7"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 20
echo PASS
