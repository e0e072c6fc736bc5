#!/usr/bin/env python3
"""Crowds of web clients on loopback, as a viewer station, a restreamer or a
hostile client would send them, and what the box did with them.

usage: web_crowd.py viewers <address> <clients> <rounds> <url>...
         each client reads one of the URLs (in turn) for 0.3-2 s and leaves,
         <rounds> times; prints "requests <n> served <s>" (served: answered
         200 with some of the stream) and the statuses of the others.
       web_crowd.py hold <address> <count> <url> <seconds> <ready file>
         holds <count> streams from <address>, reading them; writes the
         ready file once all are answered 200; prints "held <n> of <count>".
       web_crowd.py trickle <first>-<last> <per address> <seconds> <ready file>
         posts a form of 10000000 bytes from each address on as many
         connections, one body byte every 10 s; writes the ready file once
         all are connected; prints "trickled <n> closed <c>" (closed: by the
         box before <seconds> ran out).
"""
import random
import select
import socket
import sys
import threading
import time

PORT = 80


def connect(address):
    s = socket.socket()
    s.bind((address, 0))
    s.settimeout(20)
    s.connect(("127.0.0.1", PORT))
    return s


def get(s, url):
    s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % url).encode())


def status_and_data(s):
    """The status of the reply on s and whether body bytes followed; 0 when
    none came (the box closed or reset the connection)."""
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = s.recv(4096)
            if not chunk:
                return 0, False
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        status = int(head.split()[1])
        if not body and status == 200:
            body = s.recv(4096)
        return status, bool(body)
    except OSError:
        return 0, False


def viewers(address, clients, rounds, urls):
    results = []
    lock = threading.Lock()

    def client(n):
        for r in range(rounds):
            url = urls[(n + r) % len(urls)]
            try:
                s = connect(address)
                get(s, url)
                status, data = status_and_data(s)
                end = time.monotonic() + random.uniform(0.3, 2.0)
                while status == 200 and time.monotonic() < end:
                    if not s.recv(65536):
                        break
                s.close()
            except OSError:
                status, data = 0, False
            with lock:
                results.append((url, status, data))

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    served = sum(1 for _, st, d in results if st == 200 and d)
    print("requests %d served %d" % (len(results), served))
    for url, st, d in results:
        if st != 200 or not d:
            print("  %s: %d%s" % (url, st, "" if d else " (no data)"))


def hold(address, count, url, seconds, ready):
    socks = []
    for _ in range(count):
        s = connect(address)
        get(s, url)
        status, data = status_and_data(s)
        if status == 200 and data:
            s.setblocking(False)
            socks.append(s)
        else:
            print("  a stream was answered %d" % status)
            s.close()
    open(ready, "w").close()
    print("held %d of %d" % (len(socks), count), flush=True)
    end = time.monotonic() + seconds
    while socks and time.monotonic() < end:
        r, _, _ = select.select(socks, [], [], 0.5)
        for s in r:
            try:
                if not s.recv(65536):
                    socks.remove(s)
            except OSError:
                socks.remove(s)
    for s in socks:
        s.close()


def trickle(first, last, per, seconds, ready):
    socks = []
    head = ("POST /controls HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: 10000000\r\n\r\n").encode()
    for a in range(first, last + 1):
        for _ in range(per):
            s = socket.socket()
            s.bind(("127.0.0.%d" % a, 0))
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", PORT))
            socks.append(s)
    # Connections wait in the listen queue while the box has no place: the
    # header goes out as each is taken.
    pending = list(socks)
    open_ = []
    closed = 0
    end = time.monotonic() + seconds
    next_byte = time.monotonic() + 10
    while time.monotonic() < end:
        if pending:
            _, w, _ = select.select([], pending, [], 0)
            for s in w:
                pending.remove(s)
                try:
                    s.send(head + b"V")
                    open_.append(s)
                except OSError:
                    closed += 1
            if not pending:
                open(ready, "w").close()
        r, _, _ = select.select(open_, [], [], 0.2)
        for s in r:
            try:
                gone = not s.recv(4096)
            except OSError:
                gone = True
            if gone:
                open_.remove(s)
                closed += 1
        if time.monotonic() >= next_byte:
            next_byte += 10
            for s in list(open_):
                try:
                    s.send(b"V")
                except OSError:
                    open_.remove(s)
                    closed += 1
    print("trickled %d closed %d" % (len(socks), closed))


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "viewers":
        viewers(args[0], int(args[1]), int(args[2]), args[3:])
    elif cmd == "hold":
        hold(args[0], int(args[1]), args[2], float(args[3]), args[4])
    elif cmd == "trickle":
        first, last = (int(x) for x in args[0].split("-"))
        trickle(first, last, int(args[1]), float(args[2]), args[3])


if __name__ == "__main__":
    main()
