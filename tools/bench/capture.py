#!/usr/bin/env python3
"""How the upstream saw each page (pageload.py --capture FILE): the pcap at the
upstreams' side of the delay line, cut by the loads in build/page-load.json.

For each connection a load used, seen at the upstream (RFC 1928, RFC 1929):
whether it had logged in ahead, or was dialled with greeting, login and
CONNECT in one write, in two (greeting and login, then the CONNECT), or step
by step; how long the
upstream took to answer the login and the CONNECT once they had arrived; and
from the first SYN to the CONNECT's answer, in round trips. Seen from the
upstream, the delay line makes a dial's bytes arrive one round trip after its
SYN: a dial in one write has its tunnel about 1 round trip after the SYN plus
the upstream's own time, a dial step by step about 3.

usage: capture.py [--rtt MS] [--loads build/page-load.json] FILE.pcap
"""
import argparse, collections, json, statistics, struct


def packets(path):
    """(time, src port, dst port, flags, payload length, the payload's captured
    bytes) of each TCP/IPv4 packet."""
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic in (0xa1b2c3d4, 0xa1b23c4d) else ">"
    scale = 1e-9 if magic in (0xa1b23c4d, 0x4d3cb2a1) else 1e-6
    link = struct.unpack(endian + "I", data[20:24])[0]
    offset = {1: 14, 113: 16, 0: 4}.get(link, 14)  # Ethernet (lo), Linux cooked, BSD loopback
    pos = 24
    while pos + 16 <= len(data):
        sec, frac, caplen, _ = struct.unpack(endian + "IIII", data[pos:pos + 16])
        frame = data[pos + 16:pos + 16 + caplen]
        pos += 16 + caplen
        ip = frame[offset:]
        if len(ip) < 20 or ip[0] >> 4 != 4 or ip[9] != 6:
            continue
        ihl, total = (ip[0] & 15) * 4, struct.unpack(">H", ip[2:4])[0]
        tcp = ip[ihl:]
        if len(tcp) < 20:
            continue
        sport, dport = struct.unpack(">HH", tcp[:4])
        head = (tcp[12] >> 4) * 4
        yield sec + frac * scale, sport, dport, tcp[13], total - ihl - head, tcp[head:]


def connections(path, servers):
    """{(server port, client port): {"syn": t, "up": [(t, n)], "down": [(t, n)]}}"""
    conns = {}
    for t, sport, dport, flags, n, data in packets(path):
        if dport in servers:
            key, side = (dport, sport), "up"
        elif sport in servers:
            key, side = (sport, dport), "down"
        else:
            continue
        c = conns.setdefault(key, {"syn": None, "up": [], "down": [], "first": b""})
        if flags & 0x02 and side == "up" and c["syn"] is None:
            c["syn"] = t
        if n:
            if side == "up" and not c["up"]:
                c["first"] = data
            c[side].append((t, n))
    return conns


def when(segments, total):
    """The time the stream's total reaches total bytes."""
    got = 0
    for t, n in segments:
        got += n
        if got >= total:
            return t
    return None


def describe(c, rtt):
    """Kind and the upstream's answer times (ms) of one connection that reached
    a CONNECT's answer: the server sends 2 (method), 2 (RFC 1929) and 10 bytes
    (the CONNECT's answer to an IPv4 request)."""
    if not c["up"] or c["syn"] is None:
        return None
    tunnel_up = when(c["down"], 14)
    if tunnel_up is None:
        return None
    # The greeting is 2 bytes and one per method offered; the login follows it.
    greeting = 2 + c["first"][1] if len(c["first"]) > 1 else 3
    login_sent = when(c["up"], greeting + 1)
    login_answered = when(c["down"], 4)
    # The CONNECT is the last client write before its answer.
    request = [t for t, _ in c["up"] if t <= tunnel_up][-1]
    writes = len([t for t, _ in c["up"] if t <= tunnel_up])
    # Logged in ahead: the CONNECT came well after the login's answer, where a
    # dial sends it one round trip after (seen from the upstream).
    if login_answered is not None and login_answered < request - 1.5 * rtt:
        kind = "ahead"
    else:
        kind = {1: "one write", 2: "two writes"}.get(writes, "step by step")
    return {"kind": kind, "request": request, "up": tunnel_up, "syn": c["syn"],
            "login": (login_answered - login_sent) * 1e3 if login_sent and login_answered
            else None, "connect": (tunnel_up - request) * 1e3}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rtt", type=float, default=50.0)
    parser.add_argument("--loads", default="build/page-load.json")
    parser.add_argument("pcap")
    args = parser.parse_args()
    with open(args.pcap + ".ports.json") as f:
        routes = {int(k): v for k, v in json.load(f).items()}
    with open(args.loads) as f:
        loads = json.load(f)
    conns = connections(args.pcap, set(routes))
    seen = collections.defaultdict(list)
    for (server, _), c in conns.items():
        d = describe(c, args.rtt / 1000)
        if d:
            seen[routes[server]].append(d)
    groups = collections.OrderedDict()
    for load in loads:
        if load["proxy"] == "floor" or "seconds" not in load:
            continue
        route = "%s-%s-%s" % (load["page"], load["upstream"], load["proxy"])
        start, end = load["at"], load["at"] + load["seconds"] + 0.5
        used = [d for d in seen[route] if start <= d["request"] <= end]
        groups.setdefault((route, load["row"]), []).append((start, used))
    print("| load (route, row) | connections a load: ahead / one write / two writes / step by step | "
          "login answered after (ms, median / max) | CONNECT answered after (ms, median / max) | "
          "dialled during the load: SYN to tunnel (RTT, median / max) |")
    print("|---|---|---|---|---|")
    for (route, row), items in groups.items():
        kinds = collections.Counter(d["kind"] for _, used in items for d in used)
        every = [d for _, used in items for d in used]
        logins = [d["login"] for d in every if d["login"] is not None and d["kind"] != "ahead"]
        answers = [d["connect"] for d in every]
        dials = [(d["up"] - d["syn"]) * 1e3 / args.rtt for d in every if d["kind"] != "ahead"]

        def spread(v, fmt="%.0f"):
            return (fmt + " / " + fmt) % (statistics.median(v), max(v)) if v else "–"
        n = len(items)
        print("| %s %s (%d) | %.1f / %.1f / %.1f / %.1f | %s | %s | %s |"
              % (route, row, n, kinds["ahead"] / n, kinds["one write"] / n,
                 kinds["two writes"] / n, kinds["step by step"] / n, spread(logins),
                 spread(answers),
                 spread(dials, "%.1f")))


if __name__ == "__main__":
    main()
