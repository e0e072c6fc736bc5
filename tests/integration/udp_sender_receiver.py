"""Receives a UDP sender's datagrams for a while and checks them.

udp_sender_receiver.py MODE PORT SECONDS OUTDIR
  MODE 1: 16-bit frame counters; prints the datagram sizes seen.
  MODE 2: packet and frame headers; reassembles the video frames from the
          first key frame on into OUTDIR/video.h264 and checks the audio
          datagrams and their tone.
Prints "ttl=N tos=N" of the datagrams, then "ok ..." or "FAIL ...".
"""
import socket, struct, sys, time

mode, port, secs, outdir = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
s.setsockopt(socket.IPPROTO_IP, getattr(socket, "IP_RECVTTL", 12), 1)
s.setsockopt(socket.IPPROTO_IP, socket.IP_RECVTOS, 1)
s.bind(("0.0.0.0", port))
s.settimeout(1.0)
end = time.time() + secs
grams, ttl, tos = [], None, None
while time.time() < end:
    try:
        d, anc, _, _ = s.recvmsg(65536, 256)
    except socket.timeout:
        continue
    if not d:
        continue   # the sender's reachability probes
    for lvl, typ, val in anc:
        if typ == socket.IP_TTL:
            ttl = struct.unpack("i", val[:4])[0]
        elif typ == socket.IP_TOS:
            tos = val[0]
    grams.append(d)
print("ttl=%s tos=%s" % (ttl, tos))

def fail(msg):
    print("FAIL " + msg)
    sys.exit(1)

if len(grams) < 20:
    fail("only %d datagrams" % len(grams))

if mode == 1:
    sizes = sorted(set(len(g) for g in grams))
    prev = None
    for g in grams:
        c = g[0] | g[1] << 8
        if prev is not None and c not in (prev, (prev + 1) & 0xFFFF):
            fail("counter %d after %d" % (c, prev))
        prev = c
    print("ok max=%d frames=%d" % (max(sizes), len(set(g[0] | g[1] << 8 for g in grams))))
    sys.exit(0)

def has_sps(b):
    i = b.find(b"\0\0\1")
    while 0 <= i < len(b) - 3:
        if b[i + 3] & 0x1F == 7:
            return True
        i = b.find(b"\0\0\1", i + 3)
    return False

video = bytearray()
frame, frames, audio, samples = None, 0, 0, []
last_count = None
for g in grams:
    kind, endf, frag, count, follows = g[1], g[2], g[4], *struct.unpack("<II", g[8:16])
    if g[0] or g[3] or g[5:8] != b"\0\0\0":
        fail("reserved header bytes set")
    if kind == 1:
        if len(g) != 1068 or (endf, frag, follows) != (1, 1, 1052):
            fail("audio datagram %d bytes %r" % (len(g), (endf, frag, follows)))
        if g[16:24] != b"\x00\x00\x01\xb2\x02\x00\x00\x01" or struct.unpack("<I", g[24:28])[0] != 1040:
            fail("audio header")
        usec = struct.unpack("<I", g[32:36])[0]
        if usec % 10000 or usec >= 1000000:
            fail("audio microseconds %d" % usec)
        samples += struct.unpack("<512h", g[44:])
        audio += 1
        continue
    if len(g) > 1472:
        fail("datagram of %d bytes" % len(g))
    if frag == 1:
        h = g[16:60]
        if h[0:8] != b"\x00\x00\x01\xb2\x01\x00\x00\x01" or h[16:20] != bytes([12, 1, 0, 3]) or h[25] != 9:
            fail("frame header %s" % h.hex())
        if struct.unpack("<I", h[8:12])[0] != follows - 12 or struct.unpack("<I", h[20:24])[0] != count:
            fail("frame header lengths/counter")
        if h[12:16] != h[28:32] or h[27] not in (25, 30):
            fail("frame header time/rate")
        if last_count is not None and count != last_count + 1:
            fail("frame counter %d after %d" % (count, last_count))
        last_count = count
        frame, want = bytearray(g[60:]), follows - 44
    elif frame is None:
        continue   # joined in the middle of a frame
    else:
        if frag != expect:
            fail("fragment %d, expected %d" % (frag, expect))
        frame += g[16:]
    expect = (frag + 1) & 0xFF
    if endf:
        if len(frame) != want:
            fail("frame of %d bytes, header says %d" % (len(frame), want))
        # A sender joins the stream where it stands: the file a decoder
        # gets begins at the first key frame, as a player would.
        if video or has_sps(frame):
            video += frame
        frames += 1
        frame = None
open(outdir + "/video.h264", "wb").write(video)
if audio < 5:
    fail("only %d audio datagrams" % audio)
# The 1 kHz tone, averaged over 6 stereo frames of 48 kHz: 8000 samples a
# second, 8 to a period, two zero crossings each.
cross = sum(1 for a, b in zip(samples, samples[1:]) if (a < 0) != (b < 0))
rate = cross / len(samples) * 8000 / 2
if not 900 <= rate <= 1100 or max(samples) < 1000:
    fail("tone of %.0f Hz, peak %d" % (rate, max(samples)))
print("ok frames=%d audio=%d tone=%.0fHz" % (frames, audio, rate))
