"""A small RTMP player for the tests: the handshake (with a C1 digest of
either scheme, or none), chunked AMF0 commands, and raw bytes for the
hostile cases."""
import hashlib
import hmac
import os
import select
import socket
import struct
import sys
import time

# The widely used handshake keys.
CLIENT_KEY = bytes.fromhex("47656e75696e652041646f626520466c61736820506c61796572203030 31".replace(" ", ""))
SERVER_KEY = bytes.fromhex(
    "47656e75696e652041646f626520466c617368204d656469612053657276657220303031"
    "f0eec24a8068bee82e00d0d1029e7e576eec5d2d29806fab93b8e636cfeb31ae")


def digest_offset(block, scheme):
    at = 772 if scheme == 772 else 8
    return sum(block[at:at + 4]) % 728 + at + 4


def digest(block, off, key):
    return hmac.new(key, block[:off] + block[off + 32:], hashlib.sha256).digest()


def amf_str(s):
    b = s.encode()
    return b"\x02" + struct.pack(">H", len(b)) + b


def amf_num(v):
    return b"\x00" + struct.pack(">d", v)


NULL = b"\x05"


def amf_obj(props):
    out = b"\x03"
    for k, v in props:
        out += struct.pack(">H", len(k)) + k.encode() + v
    return out + b"\x00\x00\x09"


def chunks(csid, typ, body, msid=0, ts=0, size=128):
    out = bytes([csid]) + struct.pack(">I", ts)[1:] + struct.pack(">I", len(body))[1:] + \
        bytes([typ]) + struct.pack("<I", msid) + body[:size]
    for i in range(size, len(body), size):
        out += bytes([0xC0 | csid]) + body[i:i + size]
    return out


class Client:
    def __init__(self, port=1935, timeout=10, src="127.0.0.1"):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                          source_address=(src, 0))

    def recv_exact(self, n):
        b = b""
        while len(b) < n:
            k = self.s.recv(n - len(b))
            if not k:
                raise EOFError("closed")
            b += k
        return b

    def handshake(self, scheme=None, bad_c2=False):
        """Returns S1 and whether S1 and S2 carry the digests a player
        checks (None without a C1 digest)."""
        c1 = bytearray(os.urandom(1536))
        c1[0:8] = b"\x00\x00\x00\x00\x09\x00\x7c\x02"
        if scheme:
            off = digest_offset(c1, scheme)
            c1[off:off + 32] = digest(bytes(c1), off, CLIENT_KEY)
        self.s.sendall(b"\x03" + bytes(c1))
        s = self.recv_exact(3073)
        assert s[0] == 3
        s1, s2 = s[1:1537], s[1537:]
        ok = None
        if scheme:
            off = digest_offset(s1, scheme)
            key = hmac.new(SERVER_KEY, bytes(c1[digest_offset(c1, scheme):][:32]), hashlib.sha256).digest()
            ok = digest(s1, off, SERVER_KEY[:36]) == s1[off:off + 32] and \
                hmac.new(key, s2[:1504], hashlib.sha256).digest() == s2[1504:]
        c2 = bytearray(s1)
        if bad_c2:
            c2[700] ^= 0xFF
        self.s.sendall(bytes(c2))
        return ok

    def play(self, name):
        self.s.sendall(
            chunks(3, 20, amf_str("connect") + amf_num(1) + amf_obj([("app", amf_str("live"))])) +
            chunks(3, 20, amf_str("createStream") + amf_num(2) + NULL) +
            chunks(8, 20, amf_str("play") + amf_num(3) + NULL + amf_str(name), msid=1))

    def closed(self, seconds=10):
        """Whether the server ends the connection within seconds (whatever
        it still sends is read and dropped)."""
        end = time.time() + seconds
        self.s.settimeout(0.5)
        while time.time() < end:
            try:
                if not self.s.recv(65536):
                    return True
            except socket.timeout:
                pass
            except OSError:
                return True
        return False

    def read_bytes(self, n, seconds=10):
        got = 0
        end = time.time() + seconds
        self.s.settimeout(1)
        while got < n and time.time() < end:
            try:
                k = self.s.recv(65536)
            except socket.timeout:
                continue
            if not k:
                break
            got += len(k)
        return got


def media(c, seconds):
    """Reads the server's chunk stream (chunk size 128) until a video key
    frame and an audio frame have come, or seconds pass: (key, audio)."""
    end = time.time() + seconds
    c.s.settimeout(1)
    buf = b""
    last = {}   # chunk stream id: [type, length, left]
    key = audio = False
    while time.time() < end and not (key and audio):
        try:
            k = c.s.recv(65536)
        except socket.timeout:
            continue
        if not k:
            break
        buf += k
        while buf:
            fmt, csid = buf[0] >> 6, buf[0] & 0x3F
            hl = {0: 12, 1: 8, 2: 4, 3: 1}[fmt]
            if len(buf) < hl:
                break
            st = last.setdefault(csid, [0, 0, 0])
            if fmt <= 1:
                st[1] = int.from_bytes(buf[4:7], "big")
                st[0] = buf[7]
            if st[2] == 0:
                st[2] = st[1]
            n = min(128, st[2])
            if len(buf) < hl + n:
                break
            body = buf[hl:hl + n]
            if st[2] == st[1]:   # the message's first chunk
                if st[0] == 9 and body[:2] == b"\x17\x01":
                    key = True
                if st[0] == 8 and body[1:2] == b"\x01":
                    audio = True
            st[2] -= n
            buf = buf[hl + n:]
    return key, audio


class Messages:
    """The messages of the server's chunk stream (chunk size 128), fed as
    they arrive."""
    def __init__(self):
        self.buf = b""
        self.last = {}   # chunk stream id: [type, length, body so far]

    def feed(self, data):
        self.buf += data
        out = []
        while self.buf:
            fmt, csid = self.buf[0] >> 6, self.buf[0] & 0x3F
            hl = {0: 12, 1: 8, 2: 4, 3: 1}[fmt]
            if len(self.buf) < hl:
                break
            st = self.last.setdefault(csid, [0, 0, b""])
            if fmt <= 1:
                st[1] = int.from_bytes(self.buf[4:7], "big")
                st[0] = self.buf[7]
            n = min(128, st[1] - len(st[2]))
            if len(self.buf) < hl + n:
                break
            st[2] += self.buf[hl:hl + n]
            self.buf = self.buf[hl + n:]
            if len(st[2]) == st[1]:
                out.append((st[0], st[2]))
                st[2] = b""
        return out


def play_outcome(c, msgs, data):
    """'playing' once the play started, 'refused' once it failed and the
    server then closed with a FIN, 'reset' when it reset; else None."""
    for typ, body in msgs.feed(data):
        if typ == 20 and b"NetStream.Play.Start" in body:
            return "playing"
        if typ == 20 and b"NetStream.Play.Failed" in body:
            c.failed = True
    return None


HOSTILE = {
    "chunk_size_0": chunks(2, 1, struct.pack(">I", 0)),
    "chunk_size_huge": chunks(2, 1, struct.pack(">I", 0x80000000)),
    "message_16MiB": bytes([3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 20, 0, 0, 0, 0]) + b"\x00" * 4096,
    "nested_10000": chunks(3, 20, amf_str("connect") + amf_num(1) + b"\x03\x00\x01a" * 10000, size=128),
    "array_count": chunks(3, 20, amf_str("connect") + amf_num(1) + b"\x0a\xff\xff\xff\xff" + NULL),
    "truncated_string": chunks(3, 20, b"\x02\x10\x00conn"),
    "garbage": bytes([0xC5]) + os.urandom(3000),
}


def main():
    port = int(os.environ.get("RTMP_PORT", "1935"))
    what = sys.argv[1]
    if what == "hostile":
        # Each case on its own connection: every one must be ended.
        for name, data in HOSTILE.items():
            c = Client(port)
            c.handshake(772)
            c.play("streamA.m3u8")
            try:
                c.s.sendall(data)
            except OSError:
                pass
            if not c.closed():
                print("not closed:", name)
                return 1
        print("hostile ok")
    elif what == "digest":
        for scheme in (772, 8):
            c = Client(port)
            if not c.handshake(scheme):
                print("digests wrong for scheme", scheme)
                return 1
            c.play("streamA.m3u8")
            if c.read_bytes(20000) < 20000:
                print("no media after the", scheme, "handshake")
                return 1
        c = Client(port)
        c.handshake(772, bad_c2=True)
        if not c.closed(5):
            print("a wrong C2 was let through")
            return 1
        print("digest ok")
    elif what == "churn":
        # N clients join and leave every second for S seconds.
        n, seconds = int(sys.argv[2]), int(sys.argv[3])
        for _ in range(seconds):
            t0 = time.time()
            cs = []
            for i in range(n):
                try:
                    c = Client(port)
                    c.handshake(None)
                    c.play("streamA.m3u8")
                    cs.append(c)
                except (OSError, EOFError):
                    pass
            for c in cs:
                c.s.settimeout(0.2)
                try:
                    c.s.recv(4096)
                except OSError:
                    pass
                c.s.close()
            time.sleep(max(0, 1 - (time.time() - t0)))
        print("churn ok")
    elif what == "relay":
        # N players one after another, each joining as the one before it
        # leaves (a little later each round); every one must get a key
        # frame and audio.
        n = int(sys.argv[2])
        prev = None
        for i in range(n):
            c = Client(port)
            c.handshake(8)
            if prev:
                prev.s.close()
                time.sleep(0.01 * (i % 8))
            c.play("streamA.m3u8")
            key, audio = media(c, 20)
            if not (key and audio):
                print("player", i, "key frame", key, "audio", audio)
                return 1
            prev = c
        print("relay ok")
    elif what == "quiet":
        # A player that plays until nothing has come for 2 s, then leaves.
        c = Client(port)
        c.handshake(8)
        c.play("streamA.m3u8")
        c.s.settimeout(2)
        end = time.time() + 30
        try:
            while time.time() < end and c.s.recv(65536):
                pass
        except socket.timeout:
            print("quiet", flush=True)
        c.s.close()
        return 0 if time.time() < end else 1
    elif what in ("slow", "idle"):
        # N clients that trickle the handshake (a byte every 2 s) or finish
        # it and play nothing; prints how many the server closed within the
        # time limit.
        n, limit = int(sys.argv[2]), float(sys.argv[3])
        cs = []
        for i in range(n):
            c = Client(port)
            if what == "idle":
                c.handshake(8)
                c.s.sendall(chunks(3, 20, amf_str("connect") + amf_num(1) + amf_obj([("app", amf_str("live"))])))
            cs.append(c)
        print("started", n, flush=True)
        end = time.time() + limit
        open_ = [c.s for c in cs]
        closed = 0
        next_byte = time.time()
        while open_ and time.time() < end:
            if what == "slow" and time.time() >= next_byte:
                next_byte += 2
                for s_ in list(open_):
                    try:
                        s_.send(b"\x03")
                    except OSError:
                        pass
            for s_ in select.select(open_, [], [], 0.5)[0]:
                try:
                    gone = not s_.recv(65536)
                except OSError:
                    gone = True
                if gone:
                    open_.remove(s_)
                    closed += 1
        print("closed", closed, "of", n, flush=True)
        return 0 if closed == n else 1
    elif what == "unfinished":
        # N clients that each send all but the last byte of a message of
        # SIZE bytes (in one chunk, after a Set Chunk Size) and then wait;
        # prints how many the server kept, and holds them until killed.
        n, size = int(sys.argv[2]), int(sys.argv[3])
        head = chunks(2, 1, struct.pack(">I", 0x7FFFFFFF)) + bytes([3, 0, 0, 0]) + \
            struct.pack(">I", size)[1:] + bytes([20, 0, 0, 0, 0])
        body = b"\x55" * (size - 1)
        socks = []
        for i in range(n):
            try:
                c = Client(port)
                c.handshake(8)
                c.s.sendall(head + body)
                socks.append(c.s)
            except (OSError, EOFError):
                pass
        time.sleep(1)
        kept = len(socks)
        for s_ in select.select(socks, [], [], 0)[0]:
            try:
                kept -= s_.recv(1) == b""
            except OSError:
                kept -= 1
        print("kept", kept, "of", n, flush=True)
        time.sleep(3600)
    elif what == "players":
        # N players from 127.0.0.FIRST ... LAST in turn, each played until
        # the server says whether it plays; prints "playing P refused R"
        # (refused: an error status, then a clean close), with the others
        # (reset, no answer), then holds those that play until stdin closes.
        n = int(sys.argv[2])
        first, last = (int(x) for x in (sys.argv[3] if len(sys.argv) > 3 else "1-1").split("-"))
        cs = []
        for i in range(n):
            src = "127.0.0.%d" % (first + i % (last - first + 1))
            try:
                c = Client(port, src=src)
                c.handshake(8)
                c.play("streamA.m3u8")
            except (OSError, EOFError):
                continue
            c.msgs, c.failed, c.outcome = Messages(), False, None
            c.s.setblocking(False)
            cs.append(c)
        end = time.time() + 60
        undecided = list(cs)
        while undecided and time.time() < end:
            for s_ in select.select([c.s for c in undecided], [], [], 0.5)[0]:
                c = next(c for c in undecided if c.s is s_)
                try:
                    data = s_.recv(65536)
                except ConnectionResetError:
                    c.outcome = "reset"
                except BlockingIOError:
                    continue
                else:
                    if data:
                        c.outcome = play_outcome(c, c.msgs, data)
                    else:
                        c.outcome = "refused" if c.failed else "closed"
                if c.outcome:
                    undecided.remove(c)
                if c.outcome not in (None, "playing"):
                    c.s.close()
        count = {}
        for c in cs:
            count[c.outcome] = count.get(c.outcome, 0) + 1
        words = ["playing", count.pop("playing", 0), "refused", count.pop("refused", 0)]
        for k in sorted(count, key=str):
            words += [k, count[k]]
        print(*words, flush=True)
        socks = [c.s for c in cs if c.outcome == "playing"]
        while socks:
            ready = select.select(socks + [sys.stdin], [], [], 1)[0]
            if sys.stdin in ready and not sys.stdin.readline():
                break
            for s_ in ready:
                if s_ is sys.stdin:
                    continue
                try:
                    if not s_.recv(65536):
                        socks.remove(s_)
                except BlockingIOError:
                    pass
                except OSError:
                    socks.remove(s_)
        for c in cs:
            c.s.close()
    elif what == "hold":
        # N players connected until killed.
        cs = []
        for i in range(int(sys.argv[2])):
            c = Client(port)
            c.handshake(8)
            c.play("streamA.m3u8")
            cs.append(c)
        print("holding", len(cs), flush=True)
        socks = [c.s for c in cs]
        while socks:
            for s in select.select(socks, [], [], 1)[0]:
                try:
                    if not s.recv(65536):
                        socks.remove(s)
                except OSError:
                    socks.remove(s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
