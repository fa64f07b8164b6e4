#!/usr/bin/env python3
# End-to-end scenarios of the client: python3 window_e2e.py SCENARIO.
#
# window             catalogue rows and flags, a row press, the settings page
#                    and its file, Back
# connect            button colours, the system proxy, Chromium through the
#                    listener, the halo, a second start, a lost upstream and
#                    its recovery, by failed fetches and by a wake from sleep,
#                    disconnect by the button and by a row, close while
#                    connected, a kill while connected and the next start,
#                    the end of the user's session while connected
# takeover           another program's proxy setting while connected, with
#                    the Kill Switch off (the end, with the box) and on (ours
#                    back, at most once in 5 s)
# autostart_failure  autostart with a late catalogue does not connect; a service
#                    answer without an endpoint gives the "Error" box; autostart
#                    with a timely catalogue connects without a click
# install            in a fresh prefix: setup /S, the client from its shortcut,
#                    an upgrade and a removal over a connected client, a
#                    removal after a crash
# keyboard           twenty locations: keys and the wheel scroll, the fifteenth
#                    connects by Enter, the settings page by Tab, Space, Esc
# dpi144             the prefix at 144 DPI: a 1350 x 900 window, the probes
#                    scaled, six and twenty locations


import json, os, re, signal, struct, subprocess, sys, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import INTERNET_SETTINGS, Session, expect, read, run, wait_until  # noqa: E402

CATALOGUE = ["US", "DE", "FR", "GB", "NL", "JP"]
LISTENER = "http=127.0.0.1:10800;https=127.0.0.1:10800;socks=127.0.0.1:10800"
USER_PROXY = "127.0.0.1:3128"  # the user's own (disabled) setting, given back
WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC = 0x218, 0x12
PANEL, CARD, ACCENT, WHITE = (15, 20, 32), (25, 30, 45), (0, 122, 255), (255, 255, 255)
GREY = (80, 80, 80)
# Twenty locations: the six with flags first, the fifteenth (SE) to connect.
LONG_CATALOGUE = CATALOGUE + ["AT", "BE", "CH", "CZ", "DK", "ES", "FI", "IE", "SE", "IT", "NO",
                              "PL", "PT", "CA"]
# Per flag: (dx, dy, colour) inside the flag of a row, away from field edges;
# any other code is grey.
FLAGS = {
    "GREY": [(15, 10, GREY)],
    "DE": [(15, 3, (0, 0, 0)), (15, 9, (255, 0, 0)), (15, 16, (255, 204, 0))],
    "NL": [(15, 3, (174, 28, 40)), (15, 9, WHITE), (15, 16, (33, 70, 139))],
    "FR": [(5, 10, (0, 85, 164)), (15, 10, WHITE), (25, 10, (239, 65, 53))],
    "US": [(5, 5, (0, 40, 104)), (25, 2, (191, 10, 48)), (25, 3, WHITE), (25, 17, (191, 10, 48))],
    "GB": [(4, 3, (0, 36, 125)), (15, 3, (207, 20, 43)), (13, 3, WHITE), (4, 10, (207, 20, 43))],
}


def close(a, b, tolerance):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


DPI = 96  # the prefix's; every length below is written at 96 DPI


def px(length):  # as the window scales: to the nearest pixel
    return int(length * DPI / 96 + 0.5)


def row_top(k):  # the row at place k of the list is drawn from y = 90 + 55k, 50 high
    return px(90) + px(55) * k


def centre(s):  # of the page right of the 260-pixel list
    return px(260) + (s.width - px(260)) // 2, s.height // 2


def flag_ok(image, k, code):
    x, y = px(25), row_top(k) + px(15)
    # DE's third stripe starts at 13: its row 12 is neither red nor gold.
    return not (DPI == 96 and code == "DE" and any(close(image.at(x + 15, y + 12), c, 40) for c in (
        (255, 204, 0), (255, 0, 0)))) and all(close(image.at(x + px(dx), y + px(dy)), c, 8)
                                              for dx, dy, c in FLAGS.get(code, [(15, 10, GREY)]))


def selected(image, k, rows=6):  # the row at place k alone has the accent bar and the highlight
    return all(close(image.at(px(11), row_top(j) + px(25)), ACCENT, 40) == (j == k) and close(
        image.at(px(150), row_top(j) + px(47)), (26, 31, 49) if j == k else PANEL, 6)
        for j in range(rows))


def button(image, s):  # the connect button's colour, left of its label
    cx, cy = centre(s)
    r, g, b = image.at(cx - px(50), cy + px(45))
    return ("blue" if b > 180 and r < 90 and g < 160 else
            "amber" if r > 190 and 120 < g < 210 and b < 80 else
            "green" if g > 140 and r < 80 and 80 < b < 150 else f"other {r},{g},{b}")


# Each probe: a point and its colour (within 4 or the tolerance given), or a
# box with some pixel near that colour (white: text).
def shows(image, probes):
    return all(close(image.at(*where), colour, (tolerance or [4])[0]) if len(where) == 2 else
               any(close(image.at(x, y), colour, 55) for y in range(where[1], where[3])
                   for x in range(where[0], where[2])) for where, colour, *tolerance in probes)


def main_page(image, s, colour="blue", panel_bottom=True):
    w, h = s.width, s.height
    cx, cy = centre(s)
    p = px
    return button(image, s) == colour and shows(image, [
        ((p(20), p(20), p(120), p(48)), WHITE),  # "Sovelin"
        ((p(20), p(65), p(90), p(78)), (140, 145, 160)),  # its subtitle
        ((cx - p(140), h - p(112)), CARD),  # the status card and its title
        ((cx - p(120), h - p(100), cx + p(120), h - p(80)), WHITE),
        ((cx - p(60), cy - p(12), cx + p(60), cy + p(12)), WHITE),  # the button's label
        ((w - p(46), p(34)), (46, 51, 64), 8), ((w - p(44), p(36), w - p(22), p(56)), WHITE),
        ((cx, p(8)), (18, 24, 38), 6)] +  # the page's gradient at its top
        ([((p(100), h - p(10)), PANEL)] if panel_bottom else []))  # the panel below the rows


def settings_page(image, s, kill, autostart):
    w, h = s.width, s.height
    p = px
    return shows(image, [
        ((w - p(75), p(130)), ACCENT if kill else (100, 100, 100), 6),
        ((w - p(75), p(210)), ACCENT if autostart else (100, 100, 100), 6),
        ((p(310), p(110)), CARD), ((p(310), p(190)), CARD),
        ((w - p(45), p(130)), CARD),  # cards end at w - 40
        ((p(305), h - p(45)), (30, 35, 50)),  # Back
        ((p(300), p(40), p(420), p(68)), WHITE),  # "Настройки"
        ((p(320), p(120), p(420), p(140)), WHITE),  # "Kill Switch"
    ]) and not close(image.at(w - p(35), p(130)), CARD, 4)


def catalogue_shown(s):
    return s.wait_for_pixels("the catalogue with its flags", lambda i: all(
        flag_ok(i, k, code) for k, code in enumerate(CATALOGUE)), 30)


def press_button(s, colour, what, timeout=30):
    cx, cy = centre(s)
    s.click(cx, cy + px(60))
    return s.wait_for_pixels(what, lambda i: button(i, s) == colour, timeout)


def proxy_at_listener(s):  # Wine keeps the whole text in ProxyServer
    wait_until("the system proxy at the listener", lambda: s.proxy_setting() == (1, LISTENER), 20)


def user_proxy_back(s):
    wait_until("the user's proxy setting back", lambda: s.proxy_setting() == (0, USER_PROXY), 20)


def with_upstream(s, catalogue=CATALOGUE, restart=True, **files):  # answer naming microsocks
    port = s.start_microsocks("e2euser", "e2e-pass")
    answer = {"ip": "127.0.0.1", "port": port, "username": "e2euser", "password": "e2e-pass"}
    if not restart:  # a new upstream for a running stand-in
        s.service_file("connection.body", json.dumps(answer))
        return json.dumps(answer)
    s.start_service(catalogue, answer, **files)
    s.set_proxy(0, USER_PROXY)
    return json.dumps(answer)


def fetch(s):  # the stand-in's catalogue through the listener by name; None when it fails
    r = subprocess.run(["curl", "-sk", "--max-time", "10", "--socks5-hostname", "127.0.0.1:10800",
                        "https://localhost:8443/api/get_locations.php"], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, timeout=30)
    return r.stdout.decode() if r.returncode == 0 else None


def closed_cleanly(s):
    s.close_and_expect_exit(30)
    user_proxy_back(s)
    expect(not Session.listening(10800), "something listens on 10800 after the client ended")


def scenario_window(s):
    s.start_service(CATALOGUE, None)
    s.start_client()
    image = catalogue_shown(s)
    expect(main_page(image, s) and selected(image, 0), "the main page, first row selected")
    s.click(150, row_top(3) + 3)  # the top part of a drawn row selects it
    s.wait_for_pixels("the fourth row selected", lambda i: selected(i, 3))

    s.click(s.width - 34, 46)
    s.wait_for_pixels("the settings page", lambda i: settings_page(i, s, False, False))
    expect(not os.path.exists(os.path.join(s.workdir, "settings.dat")), "settings.dat too early")
    for point, flags, stored in [((s.width - 75, 130), (True, False), b"1 0"),
                                 ((s.width - 75, 210), (True, True), b"1 1"),
                                 ((s.width - 75, 130), (False, True), b"0 1"),
                                 ((s.width - 20, 185), (False, False), b"0 0")]:  # card's edge
        s.click(*point)
        s.wait_for_pixels(f"switches {flags}", lambda i, f=flags: settings_page(i, s, *f))
        wait_until(f"settings.dat {stored!r}", lambda e=stored: read(
            os.path.join(s.workdir, "settings.dat"), "rb") == e, 5)
    s.click(360, s.height - 40)
    s.wait_for_pixels("back on the main page", lambda i: main_page(i, s) and selected(i, 3))
    s.close_and_expect_exit(20)


def scenario_connect(s):
    with_upstream(s, connection_mode="delay=2.0")
    s.start_client()
    catalogue_shown(s)
    press_button(s, "amber", "amber while connecting", 10)
    s.wait_for_pixels("green when connected", lambda i: main_page(i, s, "green"), 30)
    s.service_file("connection.mode", None)
    proxy_at_listener(s)
    # The halo pulses (about 1.3 s a cycle): the ring just outside the button
    # comes and goes.
    cx, cy = centre(s)
    seen = set()

    def pulse():
        g = s.grab().at(cx, cy - 92)[1]
        seen.add("ring" if g > 60 else "page" if g < 35 else "edge")
        return {"ring", "page"} <= seen

    wait_until("the halo to pulse", pulse, 15, 0.1)
    # A second client while connected shows the first and ends, touching nothing.
    log = read(os.path.join(s.workdir, "sovelin.log"))
    second = s.spawn("second", ["wine", os.path.join(s.build, "sovelin.exe")], cwd=s.workdir)
    expect(second.wait(timeout=60) == 0, "the second client's exit code")
    expect(read(os.path.join(s.workdir, "sovelin.log")) == log, "the second client logged")
    expect(s.proxy_setting() == (1, LISTENER), f"proxy setting {s.proxy_setting()}")
    expect(not os.path.exists(os.path.join(s.workdir, "settings.dat")), "settings.dat written")
    s.wait_for_pixels("still green after a second start", lambda i: main_page(i, s, "green"), 5)
    # Chromium with the text the client wrote, resolving no name itself: the
    # stand-in's catalogue over TLS by "localhost", which microsocks resolves.
    # timeout ends Chromium's whole process group.
    r = subprocess.run(["timeout", "-k", "5", "60", "chromium", "--headless", "--no-sandbox",
                        "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-sync",
                        "--disable-background-networking", "--disable-component-update",
                        f"--user-data-dir={s.workdir}/chromium", "--proxy-server=" + LISTENER,
                        "--proxy-bypass-list=<-loopback>", "--ignore-certificate-errors",
                        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1", "--dump-dom",
                        "https://localhost:8443/api/get_locations.php"],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=90)
    expect(read(os.path.join(s.service_state, "locations.body")).encode() in r.stdout,
           f"Chromium got {r.stdout[-200:]!r}")

    # The upstream goes away: new connections fail, the window turns amber
    # while the system proxy stays on the listener (proxy-honouring programs
    # fail closed), and a working endpoint from the service turns it green.
    s.stop("microsocks")
    for _ in range(3):
        expect(fetch(s) is None, "a fetch went through without an upstream")
    s.wait_for_pixels("amber when the upstream is lost", lambda i: button(i, s) == "amber", 30)
    proxy_at_listener(s)
    with_upstream(s, restart=False)
    s.wait_for_pixels("green with the new upstream", lambda i: main_page(i, s, "green"), 60)
    proxy_at_listener(s)
    expect(fetch(s) == read(os.path.join(s.service_state, "locations.body")),
           "no fetch through the new upstream")

    press_button(s, "blue", "blue after the stop", 20)
    user_proxy_back(s)
    expect(not Session.listening(10800), "the listener still accepts after the stop")
    press_button(s, "green", "green again")
    proxy_at_listener(s)
    s.click(150, row_top(2) + 25)  # a row press while connected disconnects
    s.wait_for_pixels("blue after a row press", lambda i: button(i, s) == "blue" and selected(i, 2))
    user_proxy_back(s)
    press_button(s, "green", "green before closing")
    proxy_at_listener(s)
    closed_cleanly(s)
    # Closed while the request is still out: the exit refuses it and the
    # process ends with the worker still waiting for the service.
    s.service_file("connection.mode", "delay=5.0")
    s.start_client()
    catalogue_shown(s)
    press_button(s, "amber", "amber before closing", 10)
    closed_cleanly(s)
    # Killed while connected, with the user's own proxy switched on: the next
    # start gives it back from the restore file.
    s.service_file("connection.mode", None)
    s.set_proxy(1, USER_PROXY)
    s.start_client()
    catalogue_shown(s)
    press_button(s, "green", "green before the kill")
    proxy_at_listener(s)
    restore = os.path.join(s.workdir, "proxy-restore.dat")
    expect(os.path.exists(restore), "no restore file while connected")
    s.client.send_signal(signal.SIGKILL)  # wine execs into the Windows process itself
    s.client.wait(timeout=20)
    expect(s.proxy_setting() == (1, LISTENER), f"after the kill {s.proxy_setting()}")
    s.start_client()
    wait_until("the user's own proxy back", lambda: s.proxy_setting() == (1, USER_PROXY), 20)
    expect(not os.path.exists(restore), "the restore file outlived the repair")
    expect("given back what the restore file holds" in read(os.path.join(s.workdir, "sovelin.log")),
           "no repair in the log")
    # The upstream goes while the machine sleeps, and nothing has been sent
    # since the connect (so no connection logged in ahead fails either): the
    # wake alone checks it and brings the stand-in's next endpoint.
    catalogue_shown(s)
    press_button(s, "green", "green before the sleep")
    s.stop("microsocks")
    with_upstream(s, restart=False)
    asked = len(s.service_paths())
    s.post_message(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC)
    wait_until("a request for a new endpoint after the wake", lambda: any(
        "get_connection" in p for p in s.service_paths()[asked:]), 30)
    s.wait_for_pixels("green after the wake", lambda i: main_page(i, s, "green"), 30)
    expect(fetch(s) == read(os.path.join(s.service_state, "locations.body")),
           "no fetch after the wake")
    expect("network: resumed from sleep" in read(os.path.join(s.workdir, "sovelin.log")),
           "no wake in the log")
    s.close_and_expect_exit(30)
    s.set_proxy(0, USER_PROXY)
    # The user's session ends while connected: the setting is back before
    # Windows (here wineboot) ends the process.
    s.service_file("connection.mode", None)
    s.start_client()
    catalogue_shown(s)
    press_button(s, "green", "green before the session ends")
    proxy_at_listener(s)
    subprocess.run(["wine", "wineboot", "--end-session", "--shutdown"], env=s.env, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    s.client.wait(timeout=30)
    user_proxy_back(s)
    expect("exit: the session ends" in read(os.path.join(s.workdir, "sovelin.log")),
           "no session end in the log")


def scenario_autostart_failure(s):
    # Autostart looks for the catalogue 1 s and 1.5 s after start (downloading
    # it once more at 1 s); a later catalogue: no connection at all.
    answer = with_upstream(s, connection_body='{"error": "no servers"}', locations_mode="delay=2.5")
    s.start_client(b"0 1")
    catalogue_shown(s)
    time.sleep(2.0)  # a request would have come by now; none may
    paths = s.service_paths()
    expect(not any("get_connection" in p for p in paths) and sum(
        "get_locations" in p for p in paths) == 2, f"requests: {paths}")
    # An answer without an endpoint: the "Error" box; the window goes on
    # painting behind it, and the user's setting is untouched.
    cx, cy = centre(s)
    s.click(cx, cy + 60)
    box = wait_until("the \"Error\" box", lambda: s.find_window("Error"), 30)
    s.wait_for_pixels("blue behind the error box", lambda i: button(i, s) == "blue", 10)
    s.xdotool("windowfocus", "--sync", box)
    s.xdotool("key", "Return")
    wait_until("the box to close", lambda: s.find_window("Error") is None, 10)
    expect(s.proxy_setting() == (0, USER_PROXY), f"proxy setting {s.proxy_setting()}")
    s.close_and_expect_exit(20)

    # A timely catalogue: connected without a click, not before the 1.5 s.
    s.service_file("locations.mode", None)
    s.service_file("connection.body", answer)
    s.start_client(b"0 1")
    shown = time.monotonic()  # the window shows a little after the process starts
    s.wait_for_pixels("green without a click", lambda i: button(i, s) == "green", 30)
    expect(time.monotonic() - shown >= 1.0, "connected less than 1 s after the window showed")
    proxy_at_listener(s)
    expect(read(os.path.join(s.workdir, "settings.dat"), "rb") == b"0 1", "settings.dat rewritten")
    closed_cleanly(s)


THEIRS = "10.0.0.9:8080"  # another program's proxy


def take_setting(s):  # as another program writes it; returns when written
    s.wine_reg("add", INTERNET_SETTINGS, "/v", "ProxyServer", "/t", "REG_SZ", "/d", THEIRS, "/f")
    return time.monotonic()


def scenario_takeover(s):
    with_upstream(s)
    log = os.path.join(s.workdir, "sovelin.log")
    # Kill Switch off: the end of a press; theirs stays, and the box.
    s.start_client(b"0 0")
    catalogue_shown(s)
    press_button(s, "green", "green before the take-over")
    proxy_at_listener(s)
    taken = take_setting(s)
    box = wait_until("the \"Error\" box", lambda: s.find_window("Error"), 20)
    s.wait_for_pixels("blue after the take-over", lambda i: button(i, s) == "blue", 10)
    print(f"Kill Switch off: box and blue {time.monotonic() - taken:.1f} s after the write")
    expect(s.proxy_setting() == (1, THEIRS), f"theirs not kept: {s.proxy_setting()}")
    expect("another program changed the LAN setting" in read(log), "no take-over in the log")
    s.xdotool("windowfocus", "--sync", box)
    s.xdotool("key", "Return")
    wait_until("the box to close", lambda: s.find_window("Error") is None, 10)
    s.close_and_expect_exit(20)
    expect(s.proxy_setting() == (1, THEIRS), f"theirs not kept at the close: {s.proxy_setting()}")

    # Kill Switch on: ours back at once; taken again at once, it waits for
    # the 5 s to pass, shown as not protected meanwhile.
    s.set_proxy(0, USER_PROXY)
    s.start_client(b"1 0")
    catalogue_shown(s)
    press_button(s, "green", "green with the Kill Switch on")
    proxy_at_listener(s)
    taken = take_setting(s)
    proxy_at_listener(s)
    print(f"Kill Switch on: ours back {time.monotonic() - taken:.1f} s after the write")
    take_setting(s)
    s.wait_for_pixels("amber while theirs waits", lambda i: button(i, s) == "amber", 10)
    proxy_at_listener(s)
    s.wait_for_pixels("green with ours back", lambda i: main_page(i, s, "green"), 10)
    expect(read(log).count("ours written back") == 2, "not two write-backs in the log")
    closed_cleanly(s)


UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Sovelin"


def shortcut(data):  # a .lnk (MS-SHLLINK): its target's local path and working directory
    flags, at, target, strings = struct.unpack_from("<I", data, 20)[0], 76, None, {}
    if flags & 1:  # a target ID list
        at += 2 + struct.unpack_from("<H", data, at)[0]
    if flags & 2:  # link info, with the local base path
        size, _, _, _, base = struct.unpack_from("<5I", data, at)
        target, at = data[at + base:data.index(b"\0", at + base)].decode("latin-1"), at + size
    for bit in (4, 8, 16, 32, 64):  # name, relative path, working directory, arguments, icon
        if flags & bit:
            n = struct.unpack_from("<H", data, at)[0]
            strings[bit] = data[at + 2:at + 2 + 2 * n].decode("utf-16-le").rstrip("\0")
            at += 2 + 2 * n
    return target, strings.get(16)


def scenario_install(s):
    version, prefix = os.environ["SOVELIN_VERSION"], s.env["WINEPREFIX"]
    drive = os.path.join(prefix, "drive_c")
    user = next(u for u in os.listdir(os.path.join(drive, "users")) if u != "Public")
    unix = lambda path: os.path.join(drive, *path[3:].split("\\"))  # noqa: E731
    program, data = rf"C:\users\{user}\AppData\Local\Programs\Sovelin", rf"C:\users\{user}\AppData\Local\Sovelin"
    lnk = os.path.join(drive, "users", user, *r"AppData\Roaming\Microsoft\Windows\Start Menu\Programs\Sovelin.lnk".split("\\"))
    settings = os.path.join(unix(data), "settings.dat")

    def machine():  # what lies outside the profile: files of drive_c, keys of HKLM
        s.quiet()
        files = {os.path.join(d, f) for d, _, fs in os.walk(drive) for f in fs
                 if not os.path.relpath(d, drive).startswith("users")}
        return files, set(re.findall(r"^\[(.*)\]", read(os.path.join(prefix, "system.reg")), re.M))

    def install(setup):
        r = subprocess.run(["wine", setup, "/S"], env=s.env, timeout=120)
        expect(r.returncode == 0, f"{setup} /S: exit code {r.returncode}")

    def entry():
        out = s.wine_reg("query", UNINSTALL_KEY)
        return dict(re.findall(r"^\s+(\w+)\s+REG_\w+\s*(.*?)\s*$", out, re.M))

    def start_connected():  # from the shortcut's command, as the Start menu runs it
        target, workdir = shortcut(read(lnk, "rb"))
        expect((target, workdir) == (program + r"\sovelin.exe", data), f"shortcut {target}, {workdir}")
        s.start_client(command=["wine", target], cwd=unix(workdir))
        catalogue_shown(s)
        press_button(s, "green", "installed client connected")
        proxy_at_listener(s)

    def uninstall():  # it runs on from a copy in the temporary folder
        r = subprocess.run(["wine", unix(program + r"\uninstall.exe"), "/S"], env=s.env, timeout=60)
        expect(r.returncode == 0, f"uninstall.exe /S: exit code {r.returncode}")
        wait_until("the program folder removed", lambda: not os.path.exists(unix(program)), 60)
        wait_until("the uninstall entry removed", lambda: not entry(), 20)
        expect(not os.path.exists(lnk) and os.path.exists(settings), "shortcut kept or data gone")

    with_upstream(s)
    before = machine()
    install(os.path.join(s.build, f"Sovelin-{version}-setup.exe"))
    # Wine itself drops a few machine keys as it starts; nothing may be added.
    after = machine()
    expect(after[0] <= before[0] and after[1] <= before[1],
           f"the setup added outside the profile and HKCU: {after[0] - before[0]} {after[1] - before[1]}")
    expect(sorted(os.listdir(unix(program))) == ["sovelin.exe", "uninstall.exe"], "program files")
    found = entry()
    expect(found.get("DisplayName") == "Sovelin" and found.get("DisplayVersion") == version and
           found.get("Publisher") == "Sovelin" and int(found.get("EstimatedSize", "0"), 16) > 1000
           and found.get("QuietUninstallString") == f'"{program}\\uninstall.exe" /S',
           f"uninstall entry {found}")

    start_connected()
    s.click(s.width - 34, 46)  # Kill Switch on: settings.dat in the data folder
    s.wait_for_pixels("the settings page", lambda i: settings_page(i, s, False, False))
    s.click(s.width - 75, 130)
    wait_until("settings.dat in the data folder", lambda: read(settings, "rb") == b"1 0", 10)

    # A newer build over the connected client: closed as a user closes it.
    parts = version.split(".")
    newer = ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])
    setup = os.path.join(s.artifacts, f"Sovelin-{newer}-setup.exe")
    subprocess.run(["makensis", "-V2", f"-DVERSION={newer}", "-DEXE=" + os.path.join(
        s.build, "sovelin.exe"), "-DOUTFILE=" + setup, "-DINSTANCE_MUTEX=" + os.environ[
        "SOVELIN_INSTANCE_MUTEX"], os.path.join(s.source, "packaging", "sovelin.nsi")],
                   check=True, timeout=120)
    install(setup)
    expect(s.client.wait(timeout=30) == 0, "the client's exit code at the upgrade")
    user_proxy_back(s)
    expect(entry().get("DisplayVersion") == newer and read(settings, "rb") == b"1 0",
           "after the upgrade: the version or settings.dat")
    log = read(os.path.join(unix(data), "sovelin.log"))
    expect(log.count("start Sovelin " + version) == 1 and "exit" in log, "the log: " + log)

    start_connected()
    uninstall()
    expect(s.client.wait(timeout=30) == 0, "the client's exit code at the removal")
    user_proxy_back(s)

    # A crash while connected leaves the setting at the listener and the
    # mutex abandoned: the removal runs the client's repair.
    install(setup)
    start_connected()
    s.client.send_signal(signal.SIGKILL)  # wine execs into the Windows process itself
    s.client.wait(timeout=20)
    expect(s.proxy_setting() == (1, LISTENER), f"after the crash {s.proxy_setting()}")
    uninstall()
    expect(s.proxy_setting()[0] == 0, f"the setting after the removal {s.proxy_setting()}")
    expect("still pointed at the listener" in read(os.path.join(unix(data), "sovelin.log")),
           "no repair")


scenario_install.prefix = "e2e-install"  # a fresh prefix: what the setup adds, alone
def ring_at_row(image, k):  # the focus ring's top edge runs in the gap above place k
    return close(image.at(px(130), row_top(k) + px(1) - px(3) - 1), WHITE, 70)


def ring_at_gear(image, s):
    return close(image.at(s.width - px(34), px(30) - px(3) - 1), WHITE, 70)


def ring_at_button(image, s):
    cx, cy = centre(s)
    return close(image.at(cx, cy - px(96)), WHITE, 70)


def thumb_at(image, s, end):  # the scroll bar's thumb at the list's top or at its end
    x = px(260) - px(5)
    top, bottom = row_top(0) + 2, s.height - px(8) - 3
    bright = [sum(image.at(x, y)) > sum(PANEL) + 90 for y in (top, bottom)]
    return bright == ([False, True] if end else [True, False])


def codes_shown(image, codes):  # the flags from the list's top on
    return all(flag_ok(image, k, code) for k, code in enumerate(codes))


ROLE_LIST, ROLE_ITEM, ROLE_BUTTON, ROLE_CHECK = 33, 34, 43, 44
SELECTED, FOCUSED, CHECKED, OFFSCREEN = 0x2, 0x4, 0x10, 0x10000


# The tree below the client object: (depth, role, state, name, description).
def accessible_tree(s):
    text = s.accessibility()
    rows = [re.match(r"( *)role=(-?\d+) state=0x([0-9a-f]+) name=(.*) description=(.*)$", line)
            for line in text.splitlines()]
    return text, [(len(m.group(1)) // 2, int(m.group(2)), int(m.group(3), 16), m.group(4),
                   m.group(5)) for m in rows if m]


def items(tree):  # the list's rows: (name, state)
    return [(name, state) for depth, role, state, name, _ in tree if role == ROLE_ITEM]


def element(tree, name):
    found = [e for e in tree if e[3] == name]
    expect(len(found) == 1, f"one element named {name!r} in {tree}")
    return found[0]


def connected_to(s, code):
    return any("location=" + code in p for p in s.service_paths() if "get_connection" in p)


# The long catalogue by keyboard and wheel: it scrolls, row 15 is chosen and
# connected with Enter, the settings page is worked by Tab, Space and Esc.
def scenario_keyboard(s):
    with_upstream(s, LONG_CATALOGUE)
    s.start_client()
    first = catalogue_shown(s)
    expect(main_page(first, s, panel_bottom=False) and selected(first, 0, 8) and thumb_at(
        first, s, False) and not ring_at_row(first, 0), "the long list at its top, no ring")
    s.screenshot(f"{DPI}-dpi-20-locations", first)
    s.press("Down")
    s.wait_for_pixels("ring at the second row", lambda i: selected(i, 1, 8) and ring_at_row(i, 1))
    s.press("End")
    s.wait_for_pixels("the last row, scrolled", lambda i: selected(i, 7, 8) and thumb_at(
        i, s, True) and codes_shown(i, ["GREY"] * 8))
    # A screen reader: twenty rows, the last selected and focused, the first
    # scrolled out of sight; the button with its label and the card's text.
    _, tree = accessible_tree(s)
    rows = items(tree)
    expect(len(rows) == 20 and rows[19][0] == "CA" and rows[19][1] & (SELECTED | FOCUSED) == (
        SELECTED | FOCUSED) and rows[0][1] & OFFSCREEN and not rows[12][1] & (
        OFFSCREEN | SELECTED), f"rows {rows}")
    button_element = element(tree, "СТАРТ")
    expect(button_element[1] == ROLE_BUTTON and button_element[4] ==
           "Вы не защищены. Нажмите для запуска.", f"button {button_element}")
    expect(element(tree, "Настройки")[1] == ROLE_BUTTON, "the gear")
    s.press("Home")
    s.wait_for_pixels("the first row again", lambda i: selected(i, 0, 8) and codes_shown(
        i, CATALOGUE) and thumb_at(i, s, False))
    s.wheel(px(500), px(300), -3)  # over the page: no row hovered
    s.wait_for_pixels("three rows down by the wheel", lambda i: codes_shown(
        i, CATALOGUE[3:] + ["GREY"]) and selected(i, -1, 8))
    s.wheel(px(500), px(300), -8)  # rows 11 to 18 shown; SE, the fifteenth, at place 3
    s.wait_for_pixels("eleven rows down", lambda i: codes_shown(i, ["GREY"] * 8) and not selected(
        i, 0, 8))
    s.click(px(150), row_top(3) + px(25))
    s.point_at(px(500), px(300))
    s.wait_for_pixels("the fifteenth row selected", lambda i: selected(i, 3, 8))
    s.press("Return")
    s.wait_for_pixels("green by Enter", lambda i: button(i, s) == "green", 30)
    proxy_at_listener(s)
    expect(connected_to(s, LONG_CATALOGUE[14]), f"requests: {s.service_paths()}")
    _, tree = accessible_tree(s)
    expect(element(tree, "ЗАЩИЩЕНО")[4] == "Соединение установлено. Ваш IP скрыт." and [
        n for n, state in items(tree) if state & SELECTED] == ["SE"], f"connected: {tree}")
    s.press("Tab")
    s.wait_for_pixels("ring at the button", lambda i: ring_at_button(i, s))
    s.press("space")
    s.wait_for_pixels("blue by Space", lambda i: button(i, s) == "blue")
    user_proxy_back(s)
    s.press("Tab")
    s.wait_for_pixels("ring at the gear", lambda i: ring_at_gear(i, s))
    s.press("Return")
    s.wait_for_pixels("the settings page by Enter", lambda i: settings_page(i, s, False, False))
    s.press("space")
    s.wait_for_pixels("Kill Switch by Space", lambda i: settings_page(i, s, True, False))
    wait_until("settings.dat b'1 0'", lambda: read(os.path.join(s.workdir, "settings.dat"),
                                                   "rb") == b"1 0", 5)
    s.press("Tab", "space")
    s.wait_for_pixels("Autostart by Tab, Space", lambda i: settings_page(i, s, True, True))
    _, tree = accessible_tree(s)
    kill, autostart, back = (element(tree, n) for n in ("Kill Switch", "Автостарт", "Назад"))
    expect(kill[1] == autostart[1] == ROLE_CHECK and kill[2] & CHECKED and autostart[2] & (
        CHECKED | FOCUSED) == CHECKED | FOCUSED and back[1] == ROLE_BUTTON, f"settings: {tree}")
    s.press("Tab", "Return")
    s.wait_for_pixels("back by Enter on Back", lambda i: main_page(
        i, s, panel_bottom=False) and ring_at_gear(i, s))
    s.press("Return", "Escape")
    s.wait_for_pixels("back by Esc", lambda i: main_page(i, s, panel_bottom=False) and selected(
        i, 3, 8))
    s.press("Up")  # the fourteenth row; disconnected, so nothing else
    s.wait_for_pixels("the fourteenth row by Up", lambda i: selected(i, 2, 8) and ring_at_row(i, 2))
    closed_cleanly(s)


# The same window at 144 DPI: 1.5 times every length, the probes scaled.
def scenario_dpi144(s):
    global DPI
    DPI = 144
    s.set_dpi(DPI)
    with_upstream(s)
    s.start_client()
    image = catalogue_shown(s)
    text, tree = accessible_tree(s)
    expect(text.startswith(f"window {px(900)} {px(600)}\n") and len(items(tree)) == 6,
           "the window at 144 DPI: " + text)
    expect(main_page(image, s) and selected(image, 0), "the main page at 144 DPI")
    s.screenshot("144-dpi-6-locations", image)
    s.click(s.width - px(34), px(46))
    s.wait_for_pixels("the settings page", lambda i: settings_page(i, s, False, False))
    s.click(s.width - px(75), px(210))
    s.wait_for_pixels("Autostart on", lambda i: settings_page(i, s, False, True))
    s.click(px(360), s.height - px(40))
    s.wait_for_pixels("back on the main page", lambda i: main_page(i, s))
    s.click(px(150), row_top(2) + px(3))
    s.point_at(px(500), px(300))
    s.wait_for_pixels("the third row selected", lambda i: selected(i, 2))
    press_button(s, "green", "green when connected")
    proxy_at_listener(s)
    expect(connected_to(s, CATALOGUE[2]), f"requests: {s.service_paths()}")
    closed_cleanly(s)

    s.service_file("locations.body", s.catalogue_body(LONG_CATALOGUE))
    s.start_client(b"0 0")
    first = catalogue_shown(s)
    expect(thumb_at(first, s, False), "the scroll bar at 144 DPI")
    s.screenshot("144-dpi-20-locations", first)
    s.press("End")
    s.wait_for_pixels("the last row at 144 DPI", lambda i: selected(i, 7, 8) and thumb_at(i, s, True))
    closed_cleanly(s)


if __name__ == "__main__":
    sys.exit(run({"window": scenario_window, "connect": scenario_connect,
                  "takeover": scenario_takeover,
                  "autostart_failure": scenario_autostart_failure, "install": scenario_install,
                  "keyboard": scenario_keyboard, "dpi144": scenario_dpi144},
                 screens={"dpi144": "2048x1280"}))
