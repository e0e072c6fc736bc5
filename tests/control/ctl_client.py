#!/usr/bin/env python3
"""A client of the device's control protocol, for tests and tools.

Packets: kind (0 request, 0x40 reply, 0x80 notification), code (opcode,
reply status or notification type), little-endian fields, and a checksum
byte that brings the byte sum of the packet to 0 mod 256. Each packet
travels COBS-encoded and ended by a 0 byte, in one UDP datagram or on a
serial line.

Field codes of the layouts below: b u8, h u16, i i16, w u32, q u64,
d a double sent as u64, s a NUL-ended string, r raw bytes to the end.

Command line:
  ctl_client.py [--host H] [--port P] [--serial PATH] [--timeout S] OP [ARGS...]
prints the reply status, its fields and the status word, one per line; the
status and the word's bits are named beside their numbers:
  status 0 (ok)
  word 0x01000004 (video primary)
A reply "out of range" is followed by the arguments outside their range:
  status 2 (out of range)
  out of range: storage=4 (1-3)
A play_file refused because the player cannot open the file (169) is
followed by the reason:
  status 169 (file operation failed)
  fragmented MP4 (moof): not played
get_version prints its number decoded:
  version 0x01050007 (1.5 build 7)
Numbers may be hex ("0x1f"); raw arguments are hex ("hex:0011ff") or a
file ("@path"). Each operation's arguments are listed after the options.
"""
import argparse
import os
import select
import socket
import struct
import sys
import time

SERVICE_PORT = 12200

# Reply statuses and the status word's bits, by their names in the program.
STATUS_NAMES = {
    0: "ok", 1: "unsupported", 2: "out of range", 3: "missing argument", 4: "wrong state",
    5: "no file", 6: "no memory", 128: "open failed", 129: "close failed", 130: "socket failed",
    131: "bind failed", 132: "bridge receive failed", 133: "bridge send failed",
    134: "mutex failed", 135: "locked", 136: "closed", 144: "too large", 145: "send failed",
    160: "read failed", 161: "too short", 162: "too long", 163: "bad checksum",
    164: "bad packet kind", 165: "missing data", 166: "bad string size", 167: "timeout",
    168: "bad event type", 169: "file operation failed", 170: "no video",
}
WORD_BITS = [
    (0x1, "recording"), (0x2, "playback"), (0x4, "video"), (0x8, "keyboard"),
    (0x10, "storage"), (0x20, "wifi"), (0x40, "record-paused"), (0x80, "play-paused"),
    (0x100, "menu"), (0x200, "snapshot-view"), (0x1000000, "primary"), (0x2000000, "shutdown"),
]


def status_text(status):
    return "%d (%s)" % (status, STATUS_NAMES.get(status, "unknown"))


def word_text(word):
    names = [n for bit, n in WORD_BITS if word & bit]
    rest = word & ~sum(bit for bit, _ in WORD_BITS)
    if rest:
        names.append("0x%x" % rest)
    return "0x%08x (%s)" % (word, " ".join(names) or "none")

# name: (opcode, request layout, reply layout before the status word)
OPS = {
    "get_version": (1, "", "w"),
    "get_identity": (2, "", "ws"),
    "get_status": (3, "", ""),
    "subscribe": (4, "bwh", ""),
    "set_display_mode": (5, "b", ""),
    "set_low_power": (6, "b", ""),
    "reserved_7": (7, "ww", ""),
    "get_display_mode": (9, "", "b"),
    "set_time": (10, "w", ""),
    "get_time": (11, "", "w"),
    "record_start": (20, "bbh", "s"),
    "record_stop": (21, "", ""),
    "record_pause": (22, "", ""),
    "record_resume": (23, "", ""),
    "set_record_filename": (24, "s", ""),
    "append_record_metadata": (25, "r", ""),
    "enable_record_metadata": (26, "b", ""),
    "play_seek": (31, "i", ""),
    "play_file": (32, "bs", ""),
    "play_stop": (33, "", ""),
    "play_pause": (34, "", ""),
    "play_resume": (35, "", ""),
    "play_trick": (36, "b", ""),
    "get_trick": (39, "", "b"),
    "view_snapshot": (40, "bs", ""),
    "snapshot_take": (41, "bb", "s"),
    "snapshot_stop": (43, "", ""),
    "reserved_44": (44, "s", ""),
    "append_snapshot_metadata": (45, "r", ""),
    "enable_snapshot_metadata": (46, "b", ""),
    "update_firmware": (48, "bs", ""),
    "save_log": (49, "bb", ""),
    "file_count": (50, "b", "w"),
    "storage_space": (51, "b", "ww"),
    "file_name": (52, "bw", "s"),
    "file_delete": (53, "bs", ""),
    "file_rename": (54, "bss", ""),
    "file_info": (55, "bw", "sw"),
    "file_open": (56, "bbs", ""),
    "file_close": (57, "", ""),
    "file_read": (58, "", "r"),
    "file_write": (59, "r", ""),
    "set_osd_text": (60, "bs", ""),
    "set_osd_position": (61, "bhh", ""),
    "set_osd_enable": (62, "bb", ""),
    "set_osd_background": (63, "bb", ""),
    "set_osd_datetime_format": (64, "bb", ""),
    "get_osd_datetime_format": (65, "", "bb"),
    "get_osd": (69, "b", "bbhh"),
    "image_alloc": (70, "bh", ""),
    "image_chunk": (71, "bhr", ""),
    "image_commit": (72, "bb", ""),
    "set_capture_adjust": (80, "bb", ""),
    "get_capture_adjust": (81, "b", "b"),
    "set_capture_input": (82, "b", ""),
    "get_capture_input": (83, "", "b"),
    "set_capture_mode": (100, "bbb", ""),
    "get_capture_mode": (101, "", "bbb"),
    "set_audio_input": (110, "b", ""),
    "set_volume": (111, "bb", ""),
    "set_mute": (112, "bb", ""),
    "set_agc": (113, "bb", ""),
    "get_audio": (119, "", "bbbbbbb"),
    "set_encoder_count": (120, "bw", ""),
    "get_encoder_count": (121, "b", "w"),
    "set_encoder_scalar": (122, "bd", ""),
    "set_offboard_encoder": (123, "bb", ""),
    "get_encoder_scalar": (129, "b", "db"),
    "menu_reset": (140, "b", ""),
    "menu_up_down": (141, "b", ""),
    "menu_select": (142, "", "bbs"),
    "menu_escape": (143, "", ""),
}


# Replies that carry fields on a failure too: the fields before the status
# word, by name.
FAILURE_FIELDS = {
    "play_file": "s",   # why the player cannot open the file
}


def rng(lo, hi, *also):
    """An argument's range: lo to hi, and the single values also."""
    text = ("%d to %d" if lo < 0 else "%d-%d") % (lo, hi)
    if also:
        text = " or ".join(["%d" % v for v in also] + [text])
    return text, lambda v: lo <= v <= hi or v in also


NAME = ("a file name", None)
ANY = ("", None)
STORAGE = rng(1, 2)          # 1 internal, 2 external
REC_STORAGE = rng(1, 3)      # 1 internal, 2 external, 3 both
LINE = rng(0, 16)            # the text lines of the overlay
CHANNELS = rng(1, 3)         # 1 left, 2 right, 3 both
COUNTER = rng(0, 3)

# Each operation's arguments in order: (name, (range text, test), note).
# The test is the device's own check; a reply "out of range" names the
# arguments that fail it (a name or a size the device refused otherwise).
ARGS = {
    "subscribe": [("slot", rng(0, 3), ""), ("mask", ANY, "status bits"), ("port", ANY, "UDP port")],
    "set_display_mode": [("mode", rng(0, 4), "")],
    "set_low_power": [("level", rng(0, 2), "0 on, 1 display off, 2 suspend")],
    "reserved_7": [("a", ANY, ""), ("b", ANY, "")],
    "set_time": [("seconds", ANY, "since 1970")],
    "record_start": [("storage", REC_STORAGE, "1 internal, 2 external, 3 both"),
                     ("mode", ANY, "sets stream A's StreamMode: 0 H.264 in MP4, 1 H.264 in TS, "
                      "other: unchanged; the file's container follows Recording.Format"),
                     ("kbit/s", rng(100, 20000, 0), "0 keeps the bit rate")],
    "set_record_filename": [("name", ("at most 79 characters", lambda v: len(v) <= 79), "")],
    "append_record_metadata": [("data", ANY, "hex:.. or @file")],
    "enable_record_metadata": [("on", rng(0, 1), "")],
    "play_seek": [("seconds", rng(-32768, 32767), "negative back")],
    "play_file": [("storage", STORAGE, "1 internal, 2 external"), ("name", NAME, "")],
    "play_trick": [("mode", rng(0, 2), "0 normal, 1 fast forward, 2 rewind")],
    "view_snapshot": [("storage", STORAGE, "1 internal, 2 external"), ("name", NAME, "")],
    "snapshot_take": [("storage", REC_STORAGE, "1 internal, 2 external, 3 both"),
                      ("quality", rng(2, 97, 0), "0 keeps the JPEG quality")],
    "reserved_44": [("text", ANY, "")],
    "append_snapshot_metadata": [("data", ANY, "hex:.. or @file")],
    "enable_snapshot_metadata": [("on", rng(0, 1), "")],
    "update_firmware": [("storage", STORAGE, ""), ("name", NAME, "")],
    "save_log": [("storage", STORAGE, ""), ("which", rng(0, 1), "")],
    "file_count": [("storage", STORAGE, "")],
    "storage_space": [("storage", STORAGE, "")],
    "file_name": [("storage", STORAGE, ""), ("index", ANY, "from 0, below file_count")],
    "file_delete": [("storage", STORAGE, ""), ("name", NAME, "")],
    "file_rename": [("storage", STORAGE, ""), ("name", NAME, ""), ("new name", NAME, "")],
    "file_info": [("storage", STORAGE, ""), ("index", ANY, "from 0, below file_count")],
    "file_open": [("storage", STORAGE, ""), ("write", rng(0, 1), ""), ("name", NAME, "")],
    "file_write": [("data", ANY, "hex:.. or @file")],
    "set_osd_text": [("line", LINE, ""), ("text", ANY, "")],
    "set_osd_position": [("line", LINE, ""), ("y", rng(0, 1079), ""), ("x", rng(0, 1919), "")],
    "set_osd_enable": [("line", LINE, ""), ("font", rng(0, 4), "0 off")],
    "set_osd_background": [("line", LINE, ""), ("background", rng(0, 7), "")],
    "set_osd_datetime_format": [("date format", rng(0, 13), ""), ("time format", rng(0, 6), "")],
    "get_osd": [("line", LINE, "")],
    "image_alloc": [("slot", rng(0, 15), ""), ("size", rng(1, 65535), "bytes")],
    "image_chunk": [("slot", rng(0, 15), ""), ("offset", ANY, "inside the size"), ("data", ANY, "hex:.. or @file")],
    "image_commit": [("slot", rng(0, 15), ""), ("channel", rng(0, 1), "")],
    "set_capture_adjust": [("what", (("0, 2, 3 or 4"), lambda v: v in (0, 2, 3, 4)),
                            "0 brightness, 2 contrast, 3 hue, 4 saturation"), ("value", rng(0, 255), "")],
    "get_capture_adjust": [("what", (("0, 2, 3 or 4"), lambda v: v in (0, 2, 3, 4)),
                            "0 brightness, 2 contrast, 3 hue, 4 saturation")],
    "set_capture_input": [("input", rng(0, 1), "")],
    "set_capture_mode": [("standard", rng(0, 1), ""), ("interpolate", rng(0, 1), ""),
                         ("rate", (("0, 1, 2 or 4"), lambda v: v in (0, 1, 2, 4)), "")],
    "set_audio_input": [("input", rng(0, 1), "")],
    "set_volume": [("channels", CHANNELS, "1 left, 2 right, 3 both"), ("volume", rng(0, 119), "")],
    "set_mute": [("channels", CHANNELS, "1 left, 2 right, 3 both"), ("on", rng(0, 1), "")],
    "set_agc": [("channels", CHANNELS, "1 left, 2 right, 3 both"), ("on", rng(0, 1), "")],
    "set_encoder_count": [("counter", COUNTER, ""), ("count", ANY, "")],
    "get_encoder_count": [("counter", COUNTER, "")],
    "set_encoder_scalar": [("counter", COUNTER, ""), ("scale", ANY, "a number")],
    "set_offboard_encoder": [("counter", COUNTER, ""), ("on", ANY, "")],
    "get_encoder_scalar": [("counter", COUNTER, "")],
    "menu_reset": [("open", ANY, "non-zero opens the menu")],
    "menu_up_down": [("up", ANY, "non-zero up, 0 down")],
}


def usage_line(op):
    """'record_start STORAGE(1-3) ...' with each argument's range and meaning."""
    parts = [op]
    for name, (allowed, _), note in ARGS.get(op, []):
        text = name.upper().replace(" ", "_")
        detail = "; ".join(t for t in (allowed, note) if t)
        parts.append("%s(%s)" % (text, detail) if detail else text)
    return " ".join(parts)


def out_of_range(op, args):
    """The arguments of op outside their range, as 'name=value (range)'."""
    bad = []
    for (name, (allowed, test), _), value in zip(ARGS.get(op, []), args):
        if test is not None and not test(value):
            bad.append("%s=%s (%s)" % (name, value, allowed))
    return bad


def version_text(v):
    return "0x%08x (%d.%d build %d)" % (v, v >> 24, (v >> 16) & 0xFF, v & 0xFFFF)


FIXED = {"b": "<B", "h": "<H", "i": "<h", "w": "<I", "q": "<Q", "d": "<d"}


class ProtocolError(Exception):
    pass


def cobs_encode(data):
    out = bytearray()
    block = bytearray()
    full = False  # the last block was 254 bytes long: no 0 follows it
    for byte in data:
        full = False
        if byte == 0:
            out.append(len(block) + 1)
            out += block
            block = bytearray()
        else:
            block.append(byte)
            if len(block) == 254:
                out.append(255)
                out += block
                block = bytearray()
                full = True
    if not full or not data:
        out.append(len(block) + 1)
        out += block
    return bytes(out) + b"\x00"


def cobs_decode(frame):
    """The packet of one frame (its trailing delimiter optional)."""
    if frame.endswith(b"\x00"):
        frame = frame[:-1]
    if b"\x00" in frame:
        raise ProtocolError("0 inside a frame")
    out = bytearray()
    i = 0
    while i < len(frame):
        code = frame[i]
        end = i + code
        if end > len(frame):
            raise ProtocolError("code runs past the frame")
        out += frame[i + 1:end]
        i = end
        if code != 255 and i < len(frame):
            out.append(0)
    return bytes(out)


def checksum(packet):
    return (-sum(packet)) & 0xFF


def pack_fields(layout, values):
    out = bytearray()
    values = list(values)
    if len(values) != len(layout):
        raise ValueError("layout %r takes %d values, got %d" % (layout, len(layout), len(values)))
    for code, value in zip(layout, values):
        if code in FIXED:
            out += struct.pack(FIXED[code], value)
        elif code == "s":
            out += (value.encode() if isinstance(value, str) else bytes(value)) + b"\x00"
        elif code == "r":
            out += bytes(value)
    return bytes(out)


def unpack_fields(layout, data):
    """(values, rest): the fields of layout from data."""
    values = []
    for code in layout:
        if code in FIXED:
            size = struct.calcsize(FIXED[code])
            if len(data) < size:
                raise ProtocolError("reply too short for %r" % layout)
            values.append(struct.unpack(FIXED[code], data[:size])[0])
            data = data[size:]
        elif code == "s":
            nul = data.find(b"\x00")
            if nul < 0:
                raise ProtocolError("string without its NUL")
            values.append(data[:nul].decode(errors="replace"))
            data = data[nul + 1:]
        elif code == "r":
            # Raw bytes run up to the status word.
            values.append(bytes(data[:-4]) if len(data) >= 4 else bytes(data))
            data = data[-4:] if len(data) >= 4 else b""
    return values, data


def request_frame(opcode, body=b""):
    packet = bytes([0, opcode]) + body
    return cobs_encode(packet + bytes([checksum(packet)]))


def parse_packet(frame):
    packet = cobs_decode(frame)
    if len(packet) < 3:
        raise ProtocolError("short packet")
    if sum(packet) & 0xFF:
        raise ProtocolError("checksum")
    return packet[0], packet[1], packet[2:-1]


class Reply:
    def __init__(self, status, fields, word):
        self.status, self.fields, self.word = status, fields, word

    def __repr__(self):
        return "Reply(status=%d, fields=%r, word=%r)" % (self.status, self.fields, self.word)


class Client:
    """One channel to the device: UDP to host:port, or a serial path."""

    # A loaded host may hold the device off for seconds: the tests wait long
    # for an answer, and pass a short timeout where none should come.
    def __init__(self, host="127.0.0.1", port=SERVICE_PORT, serial=None, timeout=30.0):
        self.timeout = timeout
        self.serial = None
        self.peer = (host, port)
        self.sock = None
        self.events = None
        if serial:
            import termios
            import tty
            fd = os.open(serial, os.O_RDWR | os.O_NOCTTY)
            try:
                tty.setraw(fd)
            except termios.error:
                pass
            self.serial = fd
            self.pending = bytearray()
        else:
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.sock.bind(("127.0.0.1", 0))

    def close(self):
        for s in (self.sock, self.events):
            if s:
                s.close()
        if self.serial is not None:
            os.close(self.serial)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send_frame(self, frame):
        if self.serial is not None:
            os.write(self.serial, frame)
        else:
            self.sock.sendto(frame, self.peer)

    def _drain(self):
        if self.sock:
            self.sock.setblocking(False)
            try:
                while True:
                    self.sock.recv(512)
            except BlockingIOError:
                pass
            self.sock.setblocking(True)

    def receive_frame(self, timeout=None):
        """The next frame from the device, or None at the time-out."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            if self.serial is not None:
                end = self.pending.find(b"\x00")
                if end >= 0:
                    frame = bytes(self.pending[:end + 1])
                    del self.pending[:end + 1]
                    if len(frame) >= 4:
                        return frame
                    continue
                r, _, _ = select.select([self.serial], [], [], left)
                if r:
                    self.pending += os.read(self.serial, 512)
                continue
            r, _, _ = select.select([self.sock], [], [], left)
            if not r:
                return None
            data, src = self.sock.recvfrom(512)
            if src == self.peer and len(data) >= 4:
                return data

    def transact_raw(self, frame, timeout=None):
        """Sends a frame as it is; the (kind, code, body) of the reply or None."""
        self._drain()
        self.send_frame(frame)
        got = self.receive_frame(timeout)
        return parse_packet(got) if got else None

    def call(self, op, *args, timeout=None):
        opcode, req, rep = OPS[op]
        got = self.transact_raw(request_frame(opcode, pack_fields(req, args)), timeout)
        if got is None:
            raise ProtocolError("%s: no reply" % op)
        kind, status, body = got
        if kind != 0x40:
            raise ProtocolError("%s: reply of kind %#x" % (op, kind))
        return decode_reply(rep, status, body, FAILURE_FIELDS.get(op, ""))

    # Subscriptions: a socket of its own hears the notifications.
    def subscribe(self, slot, mask):
        if self.events is None:
            self.events = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.events.bind(("127.0.0.1", 0))
        return self.call("subscribe", slot, mask, self.events.getsockname()[1])

    def wait_event(self, timeout=5.0):
        """(word, changed bits, reason) of the next notification, or None."""
        r, _, _ = select.select([self.events], [], [], timeout)
        if not r:
            return None
        kind, code, body = parse_packet(self.events.recv(512))
        if kind != 0x80 or code != 1:
            raise ProtocolError("notification %#x type %d" % (kind, code))
        (word, changed, reason), _ = unpack_fields("wws", body)
        return word, changed, reason

    def send_image(self, slot, channel, data):
        """The image in pieces: alloc, chunks of 240 bytes, commit."""
        r = self.call("image_alloc", slot, len(data))
        for offset in range(0, len(data), 240):
            if r.status:
                return r
            r = self.call("image_chunk", slot, offset, data[offset:offset + 240])
        if r.status:
            return r
        return self.call("image_commit", slot, channel)


def decode_reply(layout, status, body, failure_layout=""):
    """Fields on success, then the status word when one is there."""
    fields = []
    if status == 0:
        fields, body = unpack_fields(layout, body)
    elif failure_layout and body:
        fields, body = unpack_fields(failure_layout, body)
    elif len(body) > 4:
        # A failed storage query still carries its two sizes.
        fields, body = unpack_fields(layout, body)
    word = struct.unpack("<I", body)[0] if len(body) == 4 else None
    if len(body) not in (0, 4):
        raise ProtocolError("%d stray bytes in the reply" % len(body))
    return Reply(status, fields, word)


def parse_arg(code, text):
    if code == "s":
        return text
    if code == "r":
        if text.startswith("@"):
            with open(text[1:], "rb") as f:
                return f.read()
        if text.startswith("hex:"):
            return bytes.fromhex(text[4:])
        return text.encode()
    if code == "d":
        return float(text)
    return int(text, 0)


def main():
    ops = "\n".join("  " + usage_line(op) for op in sorted(OPS, key=lambda o: OPS[o][0]))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog="operations and their arguments (range; meaning):\n" + ops)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=SERVICE_PORT)
    ap.add_argument("--serial")
    ap.add_argument("--timeout", type=float, default=5.0)
    ap.add_argument("op", metavar="OP", choices=sorted(OPS), help="an operation, listed below")
    ap.add_argument("args", nargs="*")
    a = ap.parse_args()
    layout = OPS[a.op][1]
    if len(a.args) != len(layout):
        ap.error("%s takes %d arguments: %s" % (a.op, len(layout), usage_line(a.op)))
    try:
        args = [parse_arg(c, t) for c, t in zip(layout, a.args)]
    except ValueError as e:
        ap.error("%s: %s (%s)" % (a.op, e, usage_line(a.op)))
    with Client(a.host, a.port, a.serial, a.timeout) as c:
        try:
            r = c.call(a.op, *args)
        except ProtocolError as e:
            print("error: %s" % e, file=sys.stderr)
            return 1
    print("status " + status_text(r.status))
    if r.status == 2:
        bad = out_of_range(a.op, args)
        print("out of range: " + (", ".join(bad) if bad else "a value the device checks itself: " +
                                  usage_line(a.op)))
    for f in r.fields:
        if a.op == "get_version":
            print("version " + version_text(f))
        else:
            print(f.hex() if isinstance(f, bytes) else f)
    if r.word is not None:
        print("word " + word_text(r.word))
    return 0


if __name__ == "__main__":
    sys.exit(main())
