#!/usr/bin/env python3
"""Holds many TCP connections to the box on loopback, as a careless or
hostile crowd would, and says what the box did with them.

usage: socket_flood.py [--until-closed] <seconds> <group>...
       socket_flood.py --rate <per second> <seconds> <group>...
  group port:count[:first-last][:half][:get=PATH][:rate=BYTES]
        first-last: the connections come from 127.0.0.<first> ... <last> in
        turn (default 127.0.0.1); half: each sends the start of an HTTP
        request and never ends it; get: each asks for PATH and reads the
        reply, at most BYTES a second when rate is given (with a small
        receive buffer, as a slow client on a slow link); otherwise nothing
        is sent.
Opens every connection at once (one not connected within 5 s counts as
refused), prints "holding" once all are tried, holds them for <seconds>, and
prints one line a group: "port <p>: opened <n> refused <r> closed <c>", closed
being the ones the box closed while they were held, then for a get group
"answered <status>:<count>..." by the status lines read.
--until-closed stops holding as soon as the box has closed every one
(<seconds> is then a bound).
--rate: for <seconds>, new connections come that many a second in each group
(from its addresses in turn), each held until the box closes it; a group
keeps at most <count> open, closing its oldest, as a client giving up
would. Prints "running" once started, and "port <p>: opened <n> closed <c>"
a group at the end, closed being the ones the box closed.
"""
import resource
import select
import socket
import sys
import time

HALF = b"GET /index.htm HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: flood\r\n"


def flood_at(rate, seconds, groups):
    """New silent connections at rate a second per group for seconds."""
    poller = select.poll()
    live = {}
    for g in groups:
        g["open"] = []
        g["opened"] = 0
        g["next"] = 0
    print("running", flush=True)
    start = time.monotonic()
    end = start + seconds
    while time.monotonic() < end:
        due = int((time.monotonic() - start) * rate)
        for g in groups:
            while g["opened"] < due:
                i = g["opened"]
                g["opened"] += 1
                src = "127.0.0.%d" % (g["first"] + i % (g["last"] - g["first"] + 1))
                c = socket.socket()
                c.setblocking(False)
                try:
                    c.bind((src, 0))
                    c.connect_ex(("127.0.0.1", g["port"]))
                except OSError:
                    c.close()
                    continue
                live[c.fileno()] = (c, g)
                poller.register(c.fileno(), select.POLLIN)
                g["open"].append(c)
                while len(g["open"]) > g["count"]:
                    old = g["open"].pop(0)
                    if old.fileno() in live:
                        poller.unregister(old.fileno())
                        del live[old.fileno()]
                    old.close()
        for fd, _ in poller.poll(5):
            c, g = live.pop(fd)
            poller.unregister(fd)
            try:
                gone = not c.recv(65536)
            except BlockingIOError:
                live[fd] = (c, g)
                poller.register(fd, select.POLLIN)
                continue
            except OSError:
                gone = True
            if gone:
                g["closed"] += 1
                g["open"].remove(c)
                c.close()
    for g in groups:
        print("port %d: opened %d closed %d" % (g["port"], g["opened"], g["closed"]), flush=True)
        for c in g["open"]:
            c.close()


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    args = sys.argv[1:]
    per_second = 0
    if args[0] == "--rate":
        per_second = float(args[1])
        args = args[2:]
    until_closed = args[0] == "--until-closed"
    if until_closed:
        args = args[1:]
    seconds = float(args[0])
    groups = []
    for arg in args[1:]:
        parts = arg.split(":")
        port, count = int(parts[0]), int(parts[1])
        first = last = 1
        half = False
        get, rate = None, 0
        for p in parts[2:]:
            if p == "half":
                half = True
            elif p.startswith("get="):
                get = p[4:]
            elif p.startswith("rate="):
                rate = int(p[5:])
            elif "-" in p:
                first, last = (int(x) for x in p.split("-"))
            else:
                first = last = int(p)
        groups.append({"port": port, "count": count, "first": first, "last": last, "half": half,
                      "get": get, "rate": rate, "socks": [], "refused": 0, "closed": 0,
                      "heads": {}})
    if per_second:
        flood_at(per_second, seconds, groups)
        return
    # All connect at once; one the box has not taken within 5 s is refused.
    pending = {}
    for s in groups:
        for i in range(s["count"]):
            src = "127.0.0.%d" % (s["first"] + i % (s["last"] - s["first"] + 1))
            c = socket.socket()
            if s["rate"]:
                c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            c.setblocking(False)
            try:
                c.bind((src, 0))
                c.connect_ex(("127.0.0.1", s["port"]))
                pending[c.fileno()] = (c, s)
            except OSError:
                c.close()
                s["refused"] += 1
    poller = select.poll()
    for fd in pending:
        poller.register(fd, select.POLLOUT)
    deadline = time.monotonic() + 5
    while pending and time.monotonic() < deadline:
        for fd, _ in poller.poll(100):
            c, s = pending.pop(fd)
            poller.unregister(fd)
            if c.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                c.close()
                s["refused"] += 1
                continue
            if s["half"] or s["get"]:
                what = HALF if s["half"] else ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" %
                                               s["get"]).encode()
                try:
                    c.send(what)
                except OSError:
                    pass
            s["socks"].append(c)
    for c, s in pending.values():
        c.close()
        s["refused"] += 1
    print("holding", flush=True)
    end = time.monotonic() + seconds
    live = {c.fileno(): (c, s) for s in groups for c in s["socks"]}
    poller = select.poll()
    for fd, (c, s) in live.items():
        if not s["rate"]:
            poller.register(fd, select.POLLIN)
    rated = {fd: 0.0 for fd, (c, s) in live.items() if s["rate"]}
    held = len(live)

    def take(fd, size):
        c, s = live[fd]
        try:
            data = c.recv(size)
        except BlockingIOError:
            return True
        except OSError:
            data = b""
        head = s["heads"].get(fd, b"")
        if s["get"] and b"\r\n" not in head and data:
            s["heads"][fd] = head + data
        return bool(data)

    last = time.monotonic()
    while time.monotonic() < end and not (until_closed and held == 0):
        wait_ms = int(min(0.2 if rated else 0.5, max(0, end - time.monotonic())) * 1000)
        for fd, _ in poller.poll(wait_ms):
            if not take(fd, 65536):
                poller.unregister(fd)
                live[fd][1]["closed"] += 1
                held -= 1
        now = time.monotonic()
        for fd in list(rated):
            rated[fd] += live[fd][1]["rate"] * (now - last)
            if rated[fd] >= 1:
                if not take(fd, int(rated[fd])):
                    del rated[fd]
                    live[fd][1]["closed"] += 1
                    held -= 1
                    continue
                rated[fd] = 0.0
        last = now
    for s in groups:
        print("port %d: opened %d refused %d closed %d" %
              (s["port"], len(s["socks"]), s["refused"], s["closed"]), flush=True)
        if s["get"]:
            codes = {}
            for head in s["heads"].values():
                line = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ")
                code = line[1] if len(line) > 1 and b"\r\n" in head else "?"
                codes[code] = codes.get(code, 0) + 1
            print("answered " + " ".join("%s:%d" % kv for kv in sorted(codes.items())), flush=True)
        for c in s["socks"]:
            c.close()


if __name__ == "__main__":
    main()
