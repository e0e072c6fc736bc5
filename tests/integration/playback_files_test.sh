#!/bin/bash
# Files on a USB disk made to break the player (Python over ffmpeg's files),
# played through the control protocol of the real binary: an audio track
# whose times stand still is refused as it plays; a sample larger than the
# file, a fragmented MP4 and an HEVC one (ffmpeg's), one cut short of its
# index and an empty one are refused by play_file itself (169, the reason
# in the reply and once in the log), with no playback bit left, so a
# recording starts at once; a transport stream with adaptation fields past
# its packets' end plays, the next file plays after each, the process holds
# as many descriptors after every file as before, a disk pulled while a file plays ends the playback
# with the menu's message, and SIGTERM ends it promptly.
. "$(dirname "$0")/common.sh"
new_root --usb sda1:3 --no-monitor
LOG=$ROOT/run/a.log
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
DISK=$ROOT/run/sim/storage/vol/sda1
mkdir -p "$DISK/DCIM"
FF="timeout 120 ffmpeg -nostdin -v error -y"
$FF -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -pix_fmt yuv420p "$DISK/DCIM/good.mp4" || fail "ffmpeg"
$FF -i "$DISK/DCIM/good.mp4" -c copy -f mpegts "$DISK/DCIM/good.ts" || fail "ffmpeg ts"
$FF -f lavfi -i testsrc=size=320x240:rate=1 -f lavfi -i anullsrc=sample_rate=48000 -t 100 -pix_fmt yuv420p \
  -c:a aac -b:a 16k "$DISK/DCIM/still.mp4" || fail "ffmpeg still"
$FF -f lavfi -i testsrc=size=320x240:rate=25 -t 120 -pix_fmt yuv420p -preset ultrafast "$DISK/DCIM/long.mp4" ||
  fail "ffmpeg long"
$FF -i "$DISK/DCIM/good.mp4" -c copy -movflags frag_keyframe+empty_moov "$DISK/DCIM/frag.mp4" || fail "ffmpeg frag"
$FF -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -pix_fmt yuv420p -c:v libx265 -x265-params log-level=error \
  "$DISK/DCIM/hevc.mp4" || fail "ffmpeg hevc"
head -c 300 "$DISK/DCIM/good.mp4" >"$DISK/DCIM/cut.mp4"
: >"$DISK/DCIM/empty.mp4"

python3 - "$DISK/DCIM" <<'EOF' || fail "hostile files"
import struct, sys
d = sys.argv[1]
def boxes(f, a, b):
    while a + 8 <= b:
        size, kind = struct.unpack(">I4s", f[a:a + 8])
        if size < 8 or a + size > b:
            return
        yield a, size, kind
        a += size
def table(f, handler, name):
    moov = next(x for x in boxes(f, 0, len(f)) if x[2] == b"moov")
    for trak in (x for x in boxes(f, moov[0] + 8, moov[0] + moov[1]) if x[2] == b"trak"):
        path = [trak]
        for want in (b"mdia", b"minf", b"stbl", name):
            kids = [x for x in boxes(f, path[-1][0] + 8, path[-1][0] + path[-1][1]) if x[2] == want]
            if want == b"minf":
                hdlr = [x for x in boxes(f, path[-1][0] + 8, path[-1][0] + path[-1][1]) if x[2] == b"hdlr"]
                if not hdlr or f[hdlr[0][0] + 16:hdlr[0][0] + 20] != handler:
                    break
            if not kids:
                break
            path.append(kids[0])
        else:
            return path[-1][0]
    raise SystemExit("no %s %s" % (handler, name))
# Audio whose samples all last 0 ticks.
f = bytearray(open(d + "/still.mp4", "rb").read())
stts = table(f, b"soun", b"stts")
for e in range(struct.unpack(">I", f[stts + 12:stts + 16])[0]):
    f[stts + 20 + 8 * e:stts + 24 + 8 * e] = b"\0\0\0\0"
open(d + "/still.mp4", "wb").write(f)
# A video sample of 2^32 - 7 bytes.
f = bytearray(open(d + "/good.mp4", "rb").read())
stsz = table(f, b"vide", b"stsz")
f[stsz + 20:stsz + 24] = struct.pack(">I", 0xFFFFFFF9)
open(d + "/huge.mp4", "wb").write(f)
# Packets claiming adaptation fields of 183 to 255 bytes in front of every
# PAT and after every video PES start.
ts = open(d + "/good.ts", "rb").read()
out = bytearray()
for i in range(0, len(ts) - 187, 188):
    p = ts[i:i + 188]
    pid = (p[1] & 0x1F) << 8 | p[2]
    bad = lambda af, pusi: bytes([0x47, (0x40 if pusi else 0) | pid >> 8, pid & 0xFF, 0x30, af, 0]) + b"\xa5" * 182
    if pid == 0:
        out += b"".join(bad(af, True) for af in (183, 184, 255))
    out += p
    if p[1] & 0x40 and p[3] & 0x10 and b"\x00\x00\x01\xe0" in p[4:20]:
        out += b"".join(bad(af, False) for af in (183, 184, 200, 255))
open(d + "/bounds.ts", "wb").write(out)
EOF

start_box "$LOG"
wait_log "$LOG" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20

python3 - "$CLIENT" "$LOG" "$BOX_PID" <<'EOF' || fail "playback of the files"
import importlib.util, os, sys, time
spec = importlib.util.spec_from_file_location("ctl_client", sys.argv[1])
ctl = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ctl)
log, pid = sys.argv[2], int(sys.argv[3])
def check(ok, what):
    if not ok:
        print("FAIL:", what, file=sys.stderr)
        sys.exit(1)
def text():
    return open(log, errors="replace").read()
def wait(cond, what, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        if cond():
            return
        time.sleep(0.1)
    check(False, what)
def links():
    out = []
    for n in os.listdir("/proc/%d/fd" % pid):
        try:
            out.append(os.readlink("/proc/%d/fd/%s" % (pid, n)))
        except OSError:
            pass
    return sorted(out)
def fds():
    return len(os.listdir("/proc/%d/fd" % pid))
c = ctl.Client()
# play <name> <what the log says when it ends>: the file ends, then stops.
def play(name, ends):
    done = text().count("output_hd: mux=")
    mark = len(text())
    check(c.call("play_file", 1, name).status == 0, "play_file %s" % name)
    wait(lambda: ends in text()[mark:], "%s: no %r in the log" % (name, ends))
    check(c.call("play_stop").status == 0, "play_stop %s" % name)
    wait(lambda: text().count("output_hd: mux=") > done, "%s did not end" % name)
play("good.mp4", "mp4 0x")
# The most the process holds between files (the display may be re-opening
# its output for the pass-through as a file ends).
base = 0
for _ in range(30):
    base = max(base, fds())
    time.sleep(0.1)
base_links = links()
# refused <name> <reason>: play_file answers 169 with the reason, logs it
# once, and leaves the status word without a playback bit.
def refused(name, why):
    r = c.call("play_file", 1, name)
    check(r.status == 169 and len(r.fields) == 1 and why in r.fields[0],
          "play_file %s: %r, wanted 169 and %r" % (name, r, why))
    check(text().count("play_file: %s: " % name) == 1, "%s: the refusal is not logged once" % name)
    check(c.call("get_status").word & 2 == 0, "%s left a playback bit" % name)
for name, ends in (("still.mp4", "audio samples before the next video sample"),
                   ("good.mp4", "mp4 0x"),
                   ("huge.mp4", None),
                   ("frag.mp4", None), ("hevc.mp4", None), ("cut.mp4", None), ("empty.mp4", None),
                   ("good.mp4", "mp4 0x"),
                   ("bounds.ts", "output pause="),
                   ("good.ts", "output pause="),
                   ("good.mp4", "mp4 0x"), ("good.mp4", "mp4 0x"), ("good.mp4", "mp4 0x")):
    if ends:
        play(name, ends)
    else:
        refused(name, {"huge.mp4": "damaged index (moov): bad input",
                       "frag.mp4": "fragmented MP4",
                       "hevc.mp4": "not H.264",
                       "cut.mp4": "no index (moov)",
                       "empty.mp4": "zero-length file"}[name])
    # Back to the count before at some point within 20 s: a descriptor
    # another thread holds for a moment may be open at any one look.
    end = time.time() + 20
    back = fds() <= base
    while not back and time.time() < end:
        time.sleep(0.1)
        back = fds() <= base
    now = links()
    check(back, "%s: %d descriptors, %d before: %r more" % (
        name, fds(), base, [l for l in set(now) if now.count(l) > base_links.count(l)]))
print("ok: at most %d descriptors after every file" % base)
# Nothing of the refused files holds a recording back.
r = c.call("record_start", 1, 0, 0)
check(r.status == 0, "record_start after the refused files: %r" % r)
check(c.call("record_stop").status == 0, "record_stop")
wait(lambda: c.call("get_status").word & 1 == 0, "the recording did not stop")
print("ok: refused files leave no playback behind")
EOF

# The disk pulled while a file of two minutes plays: the playback ends at
# once, before the file could, and the menu says the file is not playable.
after() { tail -c +"$1" "$LOG"; }
mark=$(($(wc -c <"$LOG") + 1))
[ "$(python3 "$CLIENT" play_file 1 long.mp4 | head -1)" = "status 0 (ok)" ] || fail "play_file long.mp4"
for _ in $(seq 1 300); do after "$mark" | grep -q "display_hd_set_resolution: 320x240" && break; sleep 0.1; done
after "$mark" | grep -q "display_hd_set_resolution: 320x240" || fail "long.mp4 is not shown"
echo "pull sda1" >>"$ROOT/run/sim_storage.cmd"
for _ in $(seq 1 300); do after "$mark" | grep -q "play_video_action: stopping" && break; sleep 0.1; done
after "$mark" | grep -q "Failed to fread" || fail "no read failure after the pull"
after "$mark" | grep -q "play_video_action: stopping" || fail "the playback went on on a pulled disk"
said=
for _ in 1 2 3 4 5 6; do
  t=$(osd_text)
  grep -qi "not playable" <<<"$t" && said=1 && break
  sleep 0.3
done
[ -n "$said" ] || fail "the OSD shows '$t', not 'File not playable'"
echo "ok: a pulled disk ends the playback"

kill -TERM "$BOX_PID"
wait_exit "$BOX_PID" 20
grep -q "main cleanup rendezvous met" "$LOG" || fail "no clean shutdown"
echo PASS
