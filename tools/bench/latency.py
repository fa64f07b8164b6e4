#!/usr/bin/env python3
"""What a person feels: new connections through a far upstream, on loopback.

A delay line holds every byte D ms each way in front of two real upstreams with
a password (Dante, microsocks); an echo server and a keep-alive HTTP origin sit
beside them, not behind the delay. sovelin-relay, v2ray, privoxy and tinyproxy
are measured in the same run, one after another, and one markdown table per
upstream is printed and written to build/latency.md. Every wait is bounded.

usage: latency.py --relay R [--delay MS] [--count N] [--idle S] [--cold-count N] [--hash H]
"""
import argparse, asyncio, json, os, statistics, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import Processes, dante_conf, free_port, wait_port  # noqa: E402
from latency_clients import (PASSWORD, USER, Failed, bounded, gets, http_connect,  # noqa: E402
                             logged_in_lifetime, near, page, paced, socks5)
from peers import (PROXIES, Samples, cell, delay_counts, ensure_user, hash_kind,  # noqa: E402
                   login_in_one_write, start_delay_line, start_peers, table, version)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relay", required=True)
    parser.add_argument("--delay", type=float, default=25.0, help="ms each way")
    parser.add_argument("--count", type=int, default=15, help="samples per row")
    parser.add_argument("--idle", type=float, default=120.0, help="seconds before a cold one")
    parser.add_argument("--cold-count", type=int, default=3)
    parser.add_argument("--hash", help="Dante user's password hash: MD5, SHA512 or YESCRYPT "
                        "(chpasswd -c); default the system's")
    parser.add_argument("--out", default="build/latency.md")
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    args = parser.parse_args()
    delay = args.delay / 1000
    if args.serve:
        job = json.loads(args.serve)
        return asyncio.run(near(job["echo"], job["origin"]))

    # The system's default hash (yescrypt on Debian 12) costs Dante tens of ms a
    # login; a provider's check is closer to MD5-crypt's.
    ensure_user(USER, PASSWORD, args.hash)
    procs = Processes()
    work = tempfile.mkdtemp(prefix="sovelin-latency.")
    load = [os.getloadavg()[0]]
    rtt = 2 * delay
    try:
        echo, origin = free_port(), free_port()
        logs = {what: open(os.path.join(work, what + ".log"), "w") for what in ("near", "delay")}
        procs.start([sys.executable, __file__, "--relay", "-", "--serve",
                     json.dumps({"what": "near", "echo": echo, "origin": origin})],
                    stderr=logs["near"])
        dante, micro = free_port(), free_port()
        procs.start(dante_conf(work, dante, "username"))
        procs.start(["microsocks", "-i", "127.0.0.1", "-p", str(micro), "-u", USER, "-P", PASSWORD])
        upstreams = {"Dante %s" % version("dante-server"): dante,
                     "microsocks %s" % version("microsocks"): micro}
        for port in (dante, micro):
            wait_port(port, 20)
        one_write = {name: login_in_one_write(port, USER, PASSWORD) for name, port in upstreams.items()}
        # One delay-line port per proxy and upstream, so that logins are counted apart.
        routes, lines = [], {}
        for name, target in upstreams.items():
            lines[name] = {proxy: free_port() for proxy in PROXIES}
            routes += [(port, target) for port in lines[name].values()]
        control = free_port()
        try:
            start_delay_line(procs, args.delay, control, routes, logs["delay"])
            for port in (echo, origin):
                wait_port(port, 20)
        except RuntimeError:
            for log in logs.values():
                log.flush()
                print(open(log.name).read()[-2000:], file=sys.stderr)
            raise
        fronts = {name: start_peers(procs, work, args.relay, name.split()[0], lines[name],
                                         USER, PASSWORD)
                  for name in upstreams}
        time.sleep(2)  # the relays' own upstream checks are over
        cells = {name: {proxy: {} for proxy in PROXIES} for name in upstreams}

        async def measure():
            for name in upstreams:
                for proxy in PROXIES:
                    socks, http = fronts[name][proxy]
                    key = str(lines[name][proxy])
                    row = cells[name][proxy]
                    print("measuring %s through %s" % (proxy, name), file=sys.stderr, flush=True)
                    if socks:
                        before, start = delay_counts(control)[key], time.monotonic()
                        row["a"] = await paced(args.count, lambda: socks5(socks, echo))
                        minutes = (time.monotonic() - start) / 60
                        row["h"] = (delay_counts(control)[key] - before) / minutes
                        row["f"] = await paced(args.count, lambda: socks5(socks, echo, True))
                    row["e"] = await paced(args.count, lambda: http_connect(http, echo))
                    if socks:
                        row["d"] = await page(args.count, lambda: socks5(socks, echo))
                    else:
                        row["d"] = await page(args.count, lambda: http_connect(http, echo))
                    row["g"] = await gets(args.count, http, origin, control, key)

            # Cold: everything idle, then the first connection through each.
            lifetimes = {}
            loop = asyncio.get_running_loop()
            for name, port in upstreams.items():
                lifetimes[name] = loop.run_in_executor(None, logged_in_lifetime, port,
                                                       args.idle - 5)
            for name in upstreams:
                for proxy in PROXIES:
                    cells[name][proxy]["c"] = Samples()
                    cells[name][proxy]["idle"] = [0, 0]
            for round_ in range(args.cold_count):
                print("idle %.0f s (%d of %d)" % (args.idle, round_ + 1, args.cold_count),
                      file=sys.stderr, flush=True)
                before = delay_counts(control)
                await asyncio.sleep(args.idle / 2)
                half = delay_counts(control)
                await asyncio.sleep(args.idle / 2)
                after = delay_counts(control)
                for name in upstreams:
                    for proxy in PROXIES:
                        key = str(lines[name][proxy])
                        idle = cells[name][proxy]["idle"]
                        idle[0] += half[key] - before[key]
                        idle[1] += after[key] - half[key]
                        socks, http = fronts[name][proxy]
                        one = (lambda: socks5(socks, echo)) if socks else \
                            (lambda: http_connect(http, echo))
                        c = cells[name][proxy]["c"]
                        try:
                            c.add(await bounded(one()))
                        except Failed as e:
                            c.failures.append(str(e))
            return {name: await lifetimes[name] for name in upstreams}

        lifetimes = asyncio.run(measure())
        load.append(os.getloadavg()[0])
    finally:
        procs.end_all()

    d = args.delay
    heads = ["row", "sovelin-relay", "v2ray %s" % version("v2ray"),
             "privoxy %s" % version("privoxy"), "tinyproxy %s" % version("tinyproxy")]
    http_only = " ‡"
    out = ["Round trips (time ÷ %g ms), median / p90, and ms; %d samples a row unless said. "
           "‡: an HTTP proxy, so HTTP CONNECT instead of SOCKS5. Load average %.1f at the start, "
           "%.1f at the end." % (2 * d, args.count, load[0], load[-1])]
    for index, name in enumerate(upstreams):
        rows = []
        c = cells[name]
        # v2ray sends its greeting and RFC 1929 in one write.
        why = {"v2ray": "" if one_write[name] else "cannot log in"}
        label = "(a) SOCKS5 while browsing" if index == 0 else "(b) SOCKS5 while browsing"
        rows.append([label + ": greeting, CONNECT, one byte echoed"] +
                    [cell(c[p]["a"], rtt, why=why.get(p)) if "a" in c[p] else "–"
                     for p in PROXIES])
        rows.append(["(c) cold: the first after %.0f s idle (%d samples)"
                     % (args.idle, args.cold_count)] +
                    [cell(c[p]["c"], rtt, why=why.get(p)) + ("" if "a" in c[p] else http_only)
                     for p in PROXIES])
        rows.append(["(d) a page: 8 at once, 1 s after 8 others; until all 8 echoed"] +
                    [cell(c[p]["d"], rtt, why=why.get(p)) + ("" if "a" in c[p] else http_only)
                     for p in PROXIES])
        rows.append(["(e) HTTP CONNECT, one byte echoed"] +
                    [cell(c[p]["e"], rtt, why=why.get(p)) for p in PROXIES])
        rows.append(["(f) optimistic SOCKS5: greeting, CONNECT and a byte in one write"] +
                    [cell(c[p]["f"], rtt, why=why.get(p)) if "f" in c[p] else "–"
                     for p in PROXIES])
        gets_cells = []
        for p in PROXIES:
            s = c[p]["g"]
            extra = None
            if s.extra:
                extra = "; %g client / %g upstream connections" % (
                    statistics.median(e[0] for e in s.extra),
                    statistics.median(e[1] for e in s.extra))
            gets_cells.append(cell(s, rtt, extra, why.get(p)))
        rows.append(["(g) ten plain GETs, `Proxy-Connection: keep-alive`"] + gets_cells)
        logins = []
        for p in PROXIES:
            idle = c[p]["idle"]
            minutes = args.cold_count * args.idle / 2 / 60
            text = "idle %.1f, %.1f" % (idle[0] / minutes, idle[1] / minutes)
            if "h" in c[p]:
                text = "browsing %.0f; " % c[p]["h"] + text
            logins.append(text)
        rows.append(["(h) upstream logins per minute (idle: 1st, 2nd minute)"] + logins)
        checked = ", the password hashed with " + hash_kind(USER) if name.startswith("Dante") else ""
        out.append(table("Through %s (RFC 1929%s), %g ms away each way. Greeting and RFC 1929 in "
                         "one write: %s. A connection logged in and silent: %s."
                         % (name, checked, d, "answered" if one_write[name] else "not answered",
                            lifetimes[name]), heads, rows))
    text = "\n\n".join(out) + "\n"
    print(text)
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    with open(args.out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
