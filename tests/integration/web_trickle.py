#!/usr/bin/env python3
"""Forms whose bodies trickle in, as a hostile client sends them to hold the
box's places, and what the box did with them.

usage: web_trickle.py <first>-<last> <per address> <seconds> <ready file>
  posts a form of 10000000 bytes from each of 127.0.0.<first> ... <last> on
  <per address> connections, one body byte every 10 s; writes the ready
  file once every header is out; prints "trickled <n> closed <c>" (closed:
  by the box before <seconds> ran out).
"""
import select
import socket
import sys
import time

HEAD = (b"POST /controls HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        b"Content-Type: application/x-www-form-urlencoded\r\n"
        b"Content-Length: 10000000\r\n\r\nV")


def main():
    first, last = (int(x) for x in sys.argv[1].split("-"))
    per, seconds, ready = int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
    pending = []
    for a in range(first, last + 1):
        for _ in range(per):
            s = socket.socket()
            s.bind(("127.0.0.%d" % a, 0))
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", 80))
            pending.append(s)
    total = len(pending)
    held, closed = [], 0
    end = time.monotonic() + seconds
    next_byte = time.monotonic() + 10
    while time.monotonic() < end:
        if pending:
            for s in select.select([], pending, [], 0)[1]:
                pending.remove(s)
                try:
                    s.send(HEAD)
                    held.append(s)
                except OSError:
                    closed += 1
            if not pending:
                open(ready, "w").close()
        for s in select.select(held, [], [], 0.2)[0]:
            try:
                gone = not s.recv(4096)
            except OSError:
                gone = True
            if gone:
                held.remove(s)
                closed += 1
        if time.monotonic() >= next_byte:
            next_byte += 10
            for s in list(held):
                try:
                    s.send(b"V")
                except OSError:
                    held.remove(s)
                    closed += 1
    print("trickled %d closed %d" % (total, closed))


if __name__ == "__main__":
    main()
