#!/usr/bin/env python3
"""Where a page's time goes, from Chromium's NetLog (pageload.py --netlog DIR).

For each request of the page: how long it waited for a connection, and for a
new one its phases (TCP to the proxy, the proxy's tunnel from CONNECT to its
answer, TLS with the origin), then send, wait (to the response's head) and
read. Loads whose file names differ only in the trailing -N are one group;
each group is a column of medians (p90 beside them for the subresources).

usage: netlog.py [--rtt MS] FILE.json ...
"""
import argparse, collections, json, os, re, statistics, sys


def read(path):
    with open(path) as f:
        text = f.read()
    try:
        return json.loads(text)
    except json.JSONDecodeError:  # a browser killed before it closed the log
        return json.loads(text.rstrip().rstrip(",") + "]}")


def spans(events):
    """{event name: [(begin, end)]} of one source, in ms."""
    out, open_ = collections.defaultdict(list), {}
    for t, name, phase, _ in events:
        if phase == "PHASE_BEGIN":
            open_[name] = t
        elif phase == "PHASE_END" and name in open_:
            out[name].append((open_.pop(name), t))
    return out


def requests(path):
    """The page's requests (the document first), each a dict of phases in ms."""
    d = read(path)
    c = d["constants"]
    kinds = {v: k for k, v in c["logEventTypes"].items()}
    phases = {v: k for k, v in c["logEventPhase"].items()}
    sources = collections.defaultdict(list)
    for e in d["events"]:
        sources[e["source"]["id"]].append((int(e["time"]), kinds[e["type"]],
                                           phases[e["phase"]], e.get("params", {})))

    def bound(events, name):
        return [p["source_dependency"]["id"] for _, n, _, p in events
                if n == name and "source_dependency" in p]

    used = set()
    out = []
    for events in sources.values():
        url = next((p["url"] for _, n, _, p in events if n == "URL_REQUEST_START_JOB"
                    and "url" in p), "")
        if not re.search(r"/(light|heavy)/", url):
            continue
        s = spans(events)
        if not s.get("REQUEST_ALIVE") or not s.get("HTTP_TRANSACTION_READ_HEADERS"):
            continue
        alive, stream = s["REQUEST_ALIVE"][0], s["HTTP_STREAM_REQUEST"][0]
        send, head = s["HTTP_TRANSACTION_SEND_REQUEST"][0], s["HTTP_TRANSACTION_READ_HEADERS"][0]
        r = {"url": url, "start": alive[0], "end": alive[1], "stream": stream[1] - stream[0],
             "send": send[1] - send[0], "wait": head[1] - head[0], "read": alive[1] - head[1]}
        sockets = [sock for job in bound(events, "HTTP_STREAM_REQUEST_BOUND_TO_JOB")
                   for sock in bound(sources[job], "SOCKET_POOL_BOUND_TO_SOCKET")]
        sock = sockets[0] if sockets else None
        if sock is not None and sock not in used:  # a connection's first request
            used.add(sock)
            ss = spans(sources[sock])
            tcp = ss.get("TCP_CONNECT", [(0, 0)])[0]
            tunnel = (ss["HTTP_TRANSACTION_TUNNEL_SEND_REQUEST"][0][0],
                      ss["HTTP_TRANSACTION_TUNNEL_READ_HEADERS"][-1][1]) \
                if ss.get("HTTP_TRANSACTION_TUNNEL_READ_HEADERS") else None
            tls = ss.get("SSL_CONNECT", [(0, 0)])[0]
            r["tcp"] = tcp[1] - tcp[0]
            r["tunnel"] = tunnel[1] - tunnel[0] if tunnel else 0
            r["tls"] = tls[1] - tls[0]
            # Waiting for a connection beyond this one's own making: the
            # per-proxy and per-host limits, or a connection made for another.
            r["queue"] = max(0, r["stream"] - r["tcp"] - r["tunnel"] - r["tls"])
        else:
            r["queue"] = r["stream"]
        out.append(r)
    out.sort(key=lambda r: r["start"])
    if not out or not re.search(r"/index\.html$", out[0]["url"]):
        raise ValueError("%s: no document" % path)
    t0 = out[0]["start"]
    for r in out:
        r["start"] -= t0
        r["end"] -= t0
    return out


def p90(values):
    values = sorted(values)
    return values[max(0, -(-9 * len(values) // 10) - 1)] if values else None


def summary(loads):
    """One column: medians over the group's loads."""
    rows = collections.OrderedDict()

    def put(label, values, spread=False):
        values = [v for v in values if v is not None]
        if not values:
            rows[label] = "–"
        elif spread:
            rows[label] = "%.0f / %.0f" % (statistics.median(values), p90(values))
        else:
            rows[label] = "%.0f" % statistics.median(values)

    docs = [load[0] for load in loads]
    subs = [r for load in loads for r in load[1:]]
    fresh = [r for r in subs if "tunnel" in r]
    put("document: waiting for a connection", [d["stream"] for d in docs])
    put("document: of which the proxy's tunnel (CONNECT to its answer)",
        [d.get("tunnel") for d in docs])
    put("document: of which TLS", [d.get("tls") for d in docs])
    put("document: request to response head", [d["wait"] for d in docs])
    put("document: body", [d["read"] for d in docs])
    put("document ends at", [d["end"] for d in docs])
    put("first subresource asked at", [load[1]["start"] for load in loads if len(load) > 1])
    # Chromium holds back images while style sheets and scripts load.
    put("last subresource asked at", [load[-1]["start"] for load in loads if len(load) > 1])
    rows["subresources / new connections (per load)"] = "%.0f / %.0f" % (
        len(subs) / len(loads), len(fresh) / len(loads))
    put("new connection: the proxy's tunnel, median / p90", [r["tunnel"] for r in fresh], True)
    put("new connection: TLS", [r["tls"] for r in fresh], True)
    put("subresource: queued for a connection", [r["queue"] for r in subs], True)
    put("subresource: request to response head", [r["wait"] for r in subs], True)
    put("subresource: body", [r["read"] for r in subs], True)
    put("last subresource ends at", [max(r["end"] for r in load) for load in loads])
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rtt", type=float, default=50.0, help="ms, for the round-trip column")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    groups = collections.OrderedDict()
    for path in sorted(args.files):
        name = re.sub(r"-\d+\.json$", "", os.path.basename(path))
        try:
            groups.setdefault(name, []).append(requests(path))
        except (ValueError, KeyError, IndexError) as e:
            print("skipped %s: %r" % (path, e), file=sys.stderr)
    columns = {name: summary(loads) for name, loads in groups.items()}
    labels = list(next(iter(columns.values())))
    heads = ["ms (median; median / p90 where two)"] + ["%s (%d)" % (n, len(groups[n]))
                                                      for n in columns]
    rows = [[label] + [columns[n][label] for n in columns] for label in labels]
    widths = [max(len(r[i]) for r in rows + [heads]) for i in range(len(heads))]
    for r in [heads, ["-" * w for w in widths]] + rows:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")


if __name__ == "__main__":
    main()
