"""Joins a multicaster's group and checks its four flows.

multicast_receiver.py GROUP BASEPORT SECONDS CNAME [rtp-only]
Base port: RTP payload type 96 (H.264); +1: RTCP sender reports with the
CNAME; +2: RTP payload type 111 (AAC); +3: RTCP likewise. Every datagram
must arrive with TTL 255. Prints "ok ..." or "FAIL ...".
"""
import select, socket, struct, sys, time

group, base, secs, cname = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4].encode()
IP_RECVTTL = getattr(socket, "IP_RECVTTL", 12)
socks = {}
for off in range(4):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
    s.bind((group, base + off))
    mreq = socket.inet_aton(group) + socket.inet_aton("0.0.0.0")
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    socks[s] = off
seen = {0: set(), 1: 0, 2: set(), 3: 0}
ttls = set()
end = time.time() + secs
while time.time() < end:
    r, _, _ = select.select(list(socks), [], [], 0.5)
    for s in r:
        d, anc, _, _ = s.recvmsg(65536, 64)
        for _, typ, val in anc:
            if typ == socket.IP_TTL:
                ttls.add(struct.unpack("i", val[:4])[0])
        off = socks[s]
        if off in (0, 2):
            seen[off].add(d[1] & 0x7F)
        elif len(d) >= 8 and d[1] == 200 and cname in d:
            seen[off] += 1
summary = "video pt %s, audio pt %s, reports %d/%d, ttl %s" % (
    sorted(seen[0]), sorted(seen[2]), seen[1], seen[3], sorted(ttls))
rtp_only = len(sys.argv) > 5
ok = seen[0] == {96} and seen[2] == {111} and ttls == {255} and (rtp_only or (seen[1] and seen[3]))
print(("ok " if ok else "FAIL ") + summary)
sys.exit(0 if ok else 1)
