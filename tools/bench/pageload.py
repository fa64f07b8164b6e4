#!/usr/bin/env python3
"""What a person feels: whole pages in a real browser through a far upstream.

Debian's nginx serves two pages over HTTPS from loopback origins (light: a
document and 30 subresources from 6 origins; heavy: 80 from 12). Headless
Chromium, a fresh profile per load, loads them through sovelin-relay's HTTP
front and through v2ray, privoxy and tinyproxy, each in front of its own
upstream behind the delay line (Dante with an MD5-crypt password, Dante with
Debian's default yescrypt, microsocks), and once without any proxy or delay
(the floor). Loads are interleaved, route by route in a shuffled order each
round; every route has its own proxy and upstream, so that a pause is one for
each. The table goes to stdout and to build/page-load.md, each load to
build/page-load.json; the last line says which goals were met, and the exit
status is 1 when one was missed. Loopback only; every wait is bounded.

usage: pageload.py --relay R [--only NAME[,NAME]] [--samples N] [--pause S]
                   [--pages light,heavy] [--upstreams md5,yescrypt,microsocks]
                   [--netlog DIR] [--capture FILE] [--candidate R2]
--candidate adds a column for a second build of the relay (a change under test).
"""
import argparse, json, os, random, statistics, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cdp  # noqa: E402
import pageload_site as site  # noqa: E402
from bench import Processes, dante_conf, free_port, wait_port  # noqa: E402
from peers import (PROXIES, Samples, cell, delay_counts, ensure_user, hash_kind,  # noqa: E402
                   login_in_one_write, start_delay_line, start_peers, start_relay, table,
                   version)

PASSWORD = "pagepass"
# Each upstream: its user, that user's hash method (None: the system's default).
UPSTREAMS = {"md5": ("sovelinpage", "MD5"), "yescrypt": ("sovelinpagey", None),
             "microsocks": ("sovelinpage", None)}
WARM_GAP = 2.0  # a warm load comes this long after the one before it on its route


class Bench:
    def __init__(self, args, procs, work):
        self.args, self.procs, self.work = args, procs, work
        self.loads = []  # every load: route, row, seconds or failure, logins
        self.home = os.path.join(work, "home")
        self.warm_logins, self.idle = {}, {}

    def setup(self):
        args, work = self.args, self.work
        ca, leaf, key = site.make_pki(work)
        site.make_nssdb(self.home, ca)
        root, self.pages = site.make_site(work)
        self.pages = {p: self.pages[p] for p in args.pages}
        nginx = self.procs.start(site.nginx_command(work, root, leaf, key))
        for origin in site.ORIGINS:
            wait_port(443, 20, origin)
        time.sleep(0.5)
        if nginx.poll() is not None:  # another run's nginx holds the origins' addresses
            raise RuntimeError("nginx ended: %s" % open(os.path.join(work, "nginx-error.log")).read())
        for method in {UPSTREAMS[u] for u in args.upstreams if u != "microsocks"}:
            ensure_user(method[0], PASSWORD, method[1])
        # One upstream and one proxy per route, each behind its own delay-line
        # port. The delay line comes before the proxies: the relay probes its
        # upstream as it starts.
        self.routes, routes, self.upstream_ports, lines = [], [], {}, {}
        for page in self.pages:
            for upstream in args.upstreams:
                for proxy in args.only:
                    port = free_port()
                    name = "%s-%s-%s" % (page, upstream, proxy)
                    if upstream == "microsocks":
                        self.procs.start(["microsocks", "-i", "127.0.0.1", "-p", str(port),
                                          "-u", UPSTREAMS[upstream][0], "-P", PASSWORD])
                    else:
                        self.procs.start(dante_conf(work, port, "username", "danted-" + name))
                    wait_port(port, 20)
                    lines[(page, upstream, proxy)] = free_port()
                    routes.append((lines[(page, upstream, proxy)], port))
                    self.upstream_ports[(page, upstream, proxy)] = port
                    self.routes.append((page, upstream, proxy, lines[(page, upstream, proxy)]))
        self.control = free_port()
        start_delay_line(self.procs, args.delay, self.control, routes,
                         open(os.path.join(work, "delay.log"), "w"))
        if args.capture:
            ports = " or ".join("port %d" % p for p in self.upstream_ports.values())
            self.procs.start(["tcpdump", "-i", "lo", "-s", "200", "-U", "-w", args.capture,
                              "tcp and (%s)" % ports])
            with open(args.capture + ".ports.json", "w") as f:  # for capture.py
                json.dump({port: "-".join(key) for key, port in self.upstream_ports.items()}, f)
            time.sleep(2)  # listening before the relays probe
        fronts = {}
        for page in self.pages:
            for upstream in args.upstreams:
                user = UPSTREAMS[upstream][0]
                mine = {proxy: lines[(page, upstream, proxy)] for proxy in args.only}
                fronts.update({(page, upstream, proxy): ports for proxy, ports in start_peers(
                    self.procs, work, args.relay, "%s-%s" % (page, upstream), mine, user,
                    PASSWORD, [p for p in args.only if p != "candidate"]).items()})
                if "candidate" in args.only:
                    fronts[(page, upstream, "candidate")] = start_relay(
                        self.procs, work, args.candidate, "", mine["candidate"], user, PASSWORD)
                    wait_port(fronts[(page, upstream, "candidate")][0], 20)
        self.fronts = fronts
        self.one_write = {u: login_in_one_write(self.upstream_ports[(p, u, x)],
                                                UPSTREAMS[u][0], PASSWORD)
                          for p, u, x, _ in self.routes}
        time.sleep(3)  # the relays' probes are over

    def usable(self, route):
        page, upstream, proxy, _ = route
        # v2ray sends its greeting and RFC 1929 in one write, which microsocks drops.
        return proxy != "v2ray" or self.one_write[upstream]

    def load(self, page, proxy_port, row, route, netlog_name=None):
        address, expect, _ = self.pages[page]
        netlog = None
        if self.args.netlog and netlog_name:
            netlog = os.path.join(self.args.netlog, netlog_name + ".json")
        line = route[3] if route else None
        before = delay_counts(self.control)[str(line)] if line else 0
        record = {"page": page, "upstream": route[1] if route else None,
                  "proxy": route[2] if route else "floor", "row": row, "at": time.time(),
                  "load": os.getloadavg()[0]}
        try:
            record["seconds"] = cdp.page_load(self.home, address, expect, proxy_port, netlog,
                                              self.args.timeout)
        except (cdp.Failed, OSError, ValueError, KeyError) as e:
            record["failed"] = str(e) or type(e).__name__
        if line:
            record["logins"] = delay_counts(self.control)[str(line)] - before
        self.loads.append(record)
        print("%s %s %s %s: %s" % (row, page, record["upstream"], record["proxy"],
                                   "%.0f ms" % (record["seconds"] * 1e3) if "seconds" in record
                                   else record["failed"]), file=sys.stderr, flush=True)
        return record

    def warm_rounds(self):
        args = self.args
        before = delay_counts(self.control)
        start = time.monotonic()
        for n in range(args.samples):
            order = [r for r in self.routes if self.usable(r)] + [(p, None, "floor", None)
                                                                  for p in self.pages]
            random.Random(n).shuffle(order)
            for route in order:
                page, upstream, proxy, _ = route
                if proxy == "floor":
                    self.load(page, None, "p3", None, "%s-floor-%d" % (page, n))
                    continue
                port = self.fronts[(page, upstream, proxy)][1]
                self.load(page, port, "lead", route)
                time.sleep(WARM_GAP)
                self.load(page, port, "p1", route, "%s-%s-%s-warm-%d" % (page, upstream, proxy, n))
        after = delay_counts(self.control)
        self.warm_logins = {r[:3]: after[str(r[3])] - before[str(r[3])] for r in self.routes}
        self.warm_minutes = (time.monotonic() - start) / 60

    def pause_rounds(self):
        args = self.args
        self.idle = {r[:3]: [0, 0] for r in self.routes}
        for n in range(args.samples):
            print("pause %.0f s (%d of %d)" % (args.pause, n + 1, args.samples), file=sys.stderr,
                  flush=True)
            counts = [delay_counts(self.control)]
            for _ in range(2):
                time.sleep(args.pause / 2)
                counts.append(delay_counts(self.control))
            for r in self.routes:
                for half in range(2):
                    self.idle[r[:3]][half] += counts[half + 1][str(r[3])] - counts[half][str(r[3])]
            order = [r for r in self.routes if self.usable(r)]
            random.Random(1000 + n).shuffle(order)
            for route in order:
                page, upstream, proxy, _ = route
                self.load(page, self.fronts[(page, upstream, proxy)][1], "p2", route,
                          "%s-%s-%s-pause-%d" % (page, upstream, proxy, n))


def samples_of(loads, **match):
    s = Samples()
    for r in loads:
        if all(r.get(k) == v for k, v in match.items()):
            if "seconds" in r:
                s.add(r["seconds"])
            else:
                s.failures.append(r["failed"])
    return s


def median(samples):
    return statistics.median(samples.times) if samples.times else None


def report(b, load_avg, took):
    args = b.args
    rtt = 2 * args.delay / 1000
    heads = ["row"] + [p if p == "sovelin-relay" else "candidate: " + args.candidate
                       if p == "candidate" else "%s %s" % (p, version(p)) for p in args.only]
    names = {"md5": "Dante %s, the user's password hashed with %s" % (
                 version("dante-server"), hash_kind(UPSTREAMS["md5"][0])),
             "yescrypt": "Dante %s, the user's password hashed with %s (Debian's default)" % (
                 version("dante-server"), hash_kind(UPSTREAMS["yescrypt"][0])),
             "microsocks": "microsocks %s" % version("microsocks")}
    out = ["Page loads in headless Chromium %s (a fresh profile each), median / p90 of %d loads "
           "a row, in round trips (time ÷ %g ms) and ms. Upstreams %g ms away each way; the "
           "floor has no proxy and no delay. Load average %.1f at the start, %.1f at the end "
           "(%.1f median and %.1f at most at the loads' starts); the run took %.0f minutes."
           % (version("chromium"), args.samples, 2 * args.delay, args.delay, load_avg[0],
              load_avg[1], statistics.median(r["load"] for r in b.loads),
              max(r["load"] for r in b.loads), took / 60)]
    for page, (address, count, origins) in b.pages.items():
        floor = samples_of(b.loads, page=page, row="p3")
        for upstream in args.upstreams:
            rows = []
            cols = [(page, upstream, p) for p in args.only]
            why = {p: "" if b.usable((page, upstream, p, 0)) else "cannot log in" for p in args.only}
            for row, label in (("p1", "(p1) warm: %g s after another load" % WARM_GAP),
                               ("p2", "(p2) after a %.0f s pause" % args.pause)):
                rows.append([label] + [cell(samples_of(b.loads, page=page, upstream=upstream,
                                                       proxy=p, row=row), rtt) if not why[p]
                                       else why[p] for _, _, p in cols])
            fl = median(floor)
            p3 = []
            for _, _, p in cols:
                warm = median(samples_of(b.loads, page=page, upstream=upstream, proxy=p, row="p1"))
                extra = "; p1 is the floor + %.1f RTT" % ((warm - fl) / rtt) if warm and fl else ""
                p3.append(cell(floor, rtt) + extra)
            rows.append(["(p3) the floor: no proxy, no delay"] + p3)
            p4 = []
            for key in cols:
                during = [r["logins"] for r in b.loads if r["row"] in ("lead", "p1") and
                          (r["page"], r["upstream"], r["proxy"]) == key]
                if key not in b.warm_logins or why[key[2]] or not during:
                    p4.append(why[key[2]] or "–")
                    continue
                minutes = args.samples * args.pause / 2 / 60
                idle = b.idle.get(key, [0, 0])
                p4.append("%.1f a page (%.0f while it loads); idle %.1f, %.1f a minute"
                          % (b.warm_logins[key] / max(1, len(during)), statistics.median(during),
                             idle[0] / minutes, idle[1] / minutes))
            rows.append(["(p4) upstream logins: per page, and per idle minute (1st, 2nd)"] + p4)
            out.append(table("%s page (%d subresources from %d origins), through %s:"
                             % (page.capitalize(), count, origins, names[upstream]), heads, rows))
    return "\n\n".join(out) + "\n"


def goals(b):
    """Each goal this run could judge: (text, met)."""
    args, rtt, found = b.args, 2 * b.args.delay / 1000, []
    if "sovelin-relay" not in args.only:
        return found
    for page in b.pages:
        fl = median(samples_of(b.loads, page=page, row="p3"))
        for upstream in [u for u in ("md5", "microsocks") if u in args.upstreams]:
            m = {(p, row): median(samples_of(b.loads, page=page, upstream=upstream, proxy=p,
                                             row=row))
                 for p in args.only for row in ("p1", "p2")}
            warm, cold = m[("sovelin-relay", "p1")], m[("sovelin-relay", "p2")]
            if warm is None or cold is None:
                found.append(("%s %s: the relay's loads failed" % (page, upstream), False))
                continue
            peers = [p for p in args.only if p not in ("sovelin-relay", "candidate") and
                     m[(p, "p1")] is not None]
            if upstream == "md5":
                if fl:
                    ideal = fl + 6 * rtt
                    found.append(("%s (p1) %.0f ms <= 1.1 x (floor + 6 RTT) = %.0f"
                                  % (page, warm * 1e3, 1.1 * ideal * 1e3), warm <= 1.1 * ideal))
                found.append(("%s (p2) %.0f ms <= 1.05 x (p1) = %.0f"
                              % (page, cold * 1e3, 1.05 * warm * 1e3), cold <= 1.05 * warm))
                for p in peers:
                    if m[(p, "p2")] is not None:
                        found.append(("%s (p2) faster than %s (%.0f < %.0f ms)"
                                      % (page, p, cold * 1e3, m[(p, "p2")] * 1e3),
                                      cold < m[(p, "p2")]))
            else:
                for p in peers:
                    for row, ours in (("p1", warm), ("p2", cold)):
                        if m[(p, row)] is not None:
                            found.append(("%s microsocks (%s) no slower than %s (%.0f <= %.0f ms)"
                                          % (page, row, p, ours * 1e3, m[(p, row)] * 1e3),
                                          ours <= m[(p, row)]))
    for key, idle in sorted(getattr(b, "idle", {}).items()):
        if key[2] == "sovelin-relay":
            found.append(("no logins in the 2nd idle minute (%s %s): %d"
                          % (key[0], key[1], idle[1]), idle[1] == 0))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relay", required=True)
    parser.add_argument("--only", default=",".join(PROXIES))
    parser.add_argument("--samples", type=int, default=7, help="loads per row")
    parser.add_argument("--pause", type=float, default=120.0, help="seconds of quiet for (p2)")
    parser.add_argument("--pages", default="light,heavy")
    parser.add_argument("--upstreams", default="md5,yescrypt,microsocks")
    parser.add_argument("--delay", type=float, default=25.0, help="ms each way")
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds a load may take")
    parser.add_argument("--netlog", help="a folder for a NetLog of every counted load")
    parser.add_argument("--capture", help="a pcap of the upstreams' side of the delay line")
    parser.add_argument("--candidate", help="a second build of the relay, measured beside it")
    parser.add_argument("--out", default="build/page-load.md")
    args = parser.parse_args()
    args.only = [p for p in PROXIES if p in args.only.split(",")]
    if args.candidate:
        args.only.insert(1 if "sovelin-relay" in args.only else 0, "candidate")
    args.pages = [p for p in ("light", "heavy") if p in args.pages.split(",")]
    args.upstreams = [u for u in UPSTREAMS if u in args.upstreams.split(",")]
    if not args.only or not args.pages or not args.upstreams:
        parser.error("--only, --pages and --upstreams each need a known name")
    if args.netlog:
        os.makedirs(args.netlog, exist_ok=True)
    procs = Processes()
    work = tempfile.mkdtemp(prefix="sovelin-pageload.")
    load_avg, start = [os.getloadavg()[0]], time.monotonic()
    b = Bench(args, procs, work)
    try:
        b.setup()
        try:
            b.warm_rounds()
            b.pause_rounds()
        except KeyboardInterrupt:  # what was measured so far is still reported
            print("interrupted: a partial table", file=sys.stderr)
    finally:
        load_avg.append(os.getloadavg()[0])
        procs.end_all()
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    with open(os.path.splitext(args.out)[0] + ".json", "w") as f:
        json.dump(b.loads, f, indent=0)
    text = report(b, load_avg, time.monotonic() - start)
    found = goals(b)
    print(text)
    with open(args.out, "w") as f:
        f.write(text)
    missed = [g for g, ok in found if not ok]
    print("goals: %d judged, %d missed%s" % (len(found), len(missed), "".join(
        "; MISSED " + g for g in missed) + "".join("; met " + g for g, ok in found if ok)))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
