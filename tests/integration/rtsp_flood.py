#!/usr/bin/env python3
"""Careless and hostile RTSP clients on 127.0.0.1.

setups PORT URL COUNT [CONNS [FIRST-LAST]]: CONNS connections (1), one after
  the other (from 127.0.0.FIRST ... LAST in turn; 127.0.0.1 by default), that
  each pipeline COUNT SETUPs without a Session header (each would open a
  session) and read the answers; prints "status=count" for each status seen
  ("none": no answer), then holds the connections until stdin closes (so the
  sessions live while the caller looks).
pipeline PORT URL CONNS REQUESTS: CONNS connections that each pipeline up to
  REQUESTS OPTIONS and never read; sending stops when all were sent or the
  server has taken nothing for a while (it stopped reading). Prints the bytes
  sent and how many connections the server closed, then closes them all
  with their answers unread.
"""
import selectors
import socket
import sys
import time


def connect(port, src="127.0.0.1"):
    s = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(src, 0))
    s.setblocking(False)
    return s


def answers(s, out, count):
    """Sends out on s while reading the answers to count requests; returns
    the status of each answer."""
    sel = selectors.DefaultSelector()
    sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE)
    buf = b""
    codes = []
    deadline = time.monotonic() + 120
    while len(codes) < count and time.monotonic() < deadline:
        for _, ev in sel.select(1):
            if ev & selectors.EVENT_WRITE and out:
                try:
                    out = out[s.send(out):]
                except BlockingIOError:
                    pass
                if not out:
                    sel.modify(s, selectors.EVENT_READ)
            if ev & selectors.EVENT_READ:
                data = s.recv(65536)
                if not data:
                    deadline = 0
                    break
                buf += data
        while True:
            end = buf.find(b"\r\n\r\n")
            if end < 0:
                break
            head = buf[:end].decode("latin-1")
            length = 0
            for line in head.split("\r\n"):
                if line.lower().startswith("content-length:"):
                    length = int(line.split(":", 1)[1])
            if len(buf) < end + 4 + length:
                break
            buf = buf[end + 4 + length:]
            codes.append(head.split(" ", 2)[1] if head.startswith("RTSP/1.0 ") else "?")
    sel.close()
    return codes


def setups(port, url, count, conns, hosts="1-1"):
    first, last = (int(x) for x in hosts.split("-"))
    socks = []
    statuses = {}
    for c in range(conns):
        s = connect(port, "127.0.0.%d" % (first + c % (last - first + 1)))
        socks.append(s)
        out = b"".join(
            b"SETUP %s RTSP/1.0\r\nCSeq: %d\r\n"
            b"Transport: RTP/AVP;unicast;client_port=%d-%d\r\n\r\n"
            % (url.encode(), i + 1, 40000 + 2 * (i % 1000), 40001 + 2 * (i % 1000))
            for i in range(count))
        codes = answers(s, out, count)
        codes += ["none"] * (count - len(codes))
        for code in codes:
            statuses[code] = statuses.get(code, 0) + 1
    print(" ".join("%s=%d" % kv for kv in sorted(statuses.items())), flush=True)
    sys.stdin.read()
    for s in socks:
        s.close()


def pipeline(port, url, conns, requests):
    socks = [connect(port) for _ in range(conns)]
    one = b"OPTIONS %s RTSP/1.0\r\nCSeq: 1\r\n\r\n" % url.encode()
    batch = one * 101
    total = len(one) * requests
    pos = [0] * conns
    sent = 0
    closed = 0
    live = list(range(conns))
    quiet_since = time.monotonic()
    deadline = time.monotonic() + 120
    while live and time.monotonic() < deadline:
        moved = False
        for i in list(live):
            # Requests cut short by a partial send go on where they stopped.
            start = pos[i] % len(one)
            chunk = batch[start:start + min(len(one) * 100, total - pos[i])]
            try:
                n = socks[i].send(chunk)
            except BlockingIOError:
                continue
            except OSError:
                live.remove(i)
                closed += 1
                continue
            sent += n
            pos[i] += n
            moved = True
            if pos[i] >= total:
                live.remove(i)
        if moved:
            quiet_since = time.monotonic()
        elif time.monotonic() - quiet_since > 3:
            break
        else:
            time.sleep(0.01)
    print("sent=%d closed=%d" % (sent, closed), flush=True)
    for s in socks:
        s.close()


def main():
    mode, port, url = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if mode == "setups":
        setups(port, url, int(sys.argv[4]), int(sys.argv[5]) if len(sys.argv) > 5 else 1,
               *sys.argv[6:7])
    elif mode == "pipeline":
        pipeline(port, url, int(sys.argv[4]), int(sys.argv[5]))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
