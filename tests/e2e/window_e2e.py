#!/usr/bin/env python3
"""End-to-end scenarios of the window: python3 window_e2e.py SCENARIO.

window     catalogue, flags, selection, hover, settings page, switches
connect    button colours, system proxy, curl and Chromium through the
           listener, disconnect by button and by row, close while connected
refused    autostart with a catalogue later than 1.5 s does not connect; a
           service answer without an endpoint: the "Error" box
autostart  settings.dat "0 1" connects without a click
closing    the window closed while the connection request is out
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from harness import (ACCENT, BACK_BUTTON, CARD, FLAG_GREY, GEAR_TILE, HOVER, PANEL,
                     SWITCH_OFF, Failure, Session, close, row_top, run, wait_until)

CATALOGUE = ["US", "DE", "FR", "GB", "NL", "JP"]
USER_PROXY = "127.0.0.1:3128"  # the user's own (disabled) setting, kept
LISTENER = "socks=127.0.0.1:10800"


# ----- what the screen must show -----

# Per flag: (dx, dy, colour) inside the flag of a row, away from field edges;
# DE's third stripe starts at 13, so its row 12 is neither red nor gold.
FLAGS = {
    "DE": [(15, 3, (0, 0, 0)), (15, 9, (255, 0, 0)), (15, 16, (255, 204, 0))],
    "NL": [(15, 3, (174, 28, 40)), (15, 9, (255, 255, 255)), (15, 16, (33, 70, 139))],
    "FR": [(5, 10, (0, 85, 164)), (15, 10, (255, 255, 255)), (25, 10, (239, 65, 53))],
    "US": [(5, 5, (0, 40, 104)), (25, 2, (191, 10, 48)), (25, 3, (255, 255, 255)),
           (25, 17, (191, 10, 48))],
    "GB": [(4, 3, (0, 36, 125)), (15, 3, (207, 20, 43)), (13, 3, (255, 255, 255)),
           (4, 10, (207, 20, 43))],
}


def flag_ok(image, k, code):
    x, y = 25, row_top(k) + 15
    if code == "DE" and any(close(image.at(x + 15, y + 12), c, 40)
                            for c in ((255, 204, 0), (255, 0, 0))):
        return False
    return all(close(image.at(x + dx, y + dy), c, 8)
               for dx, dy, c in FLAGS.get(code, [(15, 10, FLAG_GREY)]))


def selected(image, k):
    """Row k carries the selection: accent bar and the dark highlight."""
    y = row_top(k)
    return close(image.at(11, y + 25), ACCENT, 40) and close(image.at(150, y + 40),
                                                             (26, 31, 49), 10)


def plain_row(image, k):
    return close(image.at(150, row_top(k) + 47), PANEL, 6) and not close(
        image.at(11, row_top(k) + 25), ACCENT, 60)


def hovered(image, k):
    return close(image.at(150, row_top(k) + 47), HOVER, 6)


def button(image, session):
    """Classifies the connect button by a point left of its label."""
    cx, cy = session.centre()
    r, g, b = image.at(cx - 50, cy + 45)
    if b > 180 and r < 90 and g < 160:
        return "blue"
    if r > 190 and 120 < g < 210 and b < 80:
        return "amber"
    if g > 140 and r < 80 and 80 < b < 150:
        return "green"
    return f"other {r},{g},{b}"


def button_is(session, colour):
    return lambda image: button(image, session) == colour


def bright_in(image, box):
    """Some nearly white text pixel in the box."""
    return image.any_in(box, lambda p: min(p) > 200)


def main_page_ok(image, session):
    w, h = session.width, session.height
    cx, _ = session.centre()
    return (close(image.at(100, h - 10), PANEL, 4)  # panel below the rows
            and bright_in(image, (20, 20, 120, 48))  # "Sovelin" header
            and image.any_in((20, 65, 90, 78), lambda p: close(p, (140, 145, 160), 30))
            and close(image.at(cx - 140, h - 112), CARD, 4)  # status card
            and bright_in(image, (cx - 120, h - 100, cx + 120, h - 80))  # its title
            and close(image.at(w - 46, 34), GEAR_TILE, 8)  # gear tile
            and image.any_in((w - 44, 36, w - 22, 56), lambda p: min(p) > 200)  # gear ring
            and close(image.at(cx, 8), (18, 24, 38), 6))  # page gradient, top


def settings_page_ok(image, session, kill, autostart):
    w, h = session.width, session.height
    return (close(image.at(w - 75, 130), ACCENT if kill else SWITCH_OFF, 6)
            and close(image.at(w - 75, 210), ACCENT if autostart else SWITCH_OFF, 6)
            and close(image.at(310, 110), CARD, 4) and close(image.at(310, 190), CARD, 4)
            and close(image.at(w - 45, 130), CARD, 4)  # the cards end at w - 40
            and not close(image.at(w - 35, 130), CARD, 4)
            and close(image.at(305, h - 45), BACK_BUTTON, 4)
            and bright_in(image, (300, 40, 420, 68))  # "Настройки"
            and bright_in(image, (320, 120, 420, 140)))  # "Kill Switch"


def settings_file(session):
    with open(os.path.join(session.workdir, "settings.dat"), "rb") as f:
        return f.read()


def catalogue_shown(session):
    def check(image):
        return all(flag_ok(image, k, code) for k, code in enumerate(CATALOGUE))
    session.wait_for_pixels("the catalogue with its flags", check, 30)


# ----- scenarios -----

def scenario_window(s):
    s.start_display()
    s.start_service(CATALOGUE, None)
    s.start_client()
    catalogue_shown(s)
    image = s.screenshot("catalogue")
    if not main_page_ok(image, s):
        raise Failure("main page elements are not where they belong")
    if not selected(image, 0) or not all(plain_row(image, k) for k in range(1, 6)):
        raise Failure("the first row alone should be selected")
    if button(image, s) != "blue":
        raise Failure("the button is " + button(image, s))

    # Hover and presses follow the drawn rows (the bands' edges: layout_test).
    s.move(150, row_top(2) + 2)
    s.wait_for_pixels("hover on the third row", lambda i: hovered(i, 2))

    # A press in the top part of a drawn row selects that row.
    s.click(150, row_top(3) + 3)
    s.wait_for_pixels("the fourth row selected",
                      lambda i: selected(i, 3) and not close(i.at(11, row_top(0) + 25), ACCENT, 60))

    # Settings page: both switches off, each press flips and stores.
    s.click(s.width - 34, 46)
    s.wait_for_pixels("the settings page", lambda i: settings_page_ok(i, s, False, False))
    if os.path.exists(os.path.join(s.workdir, "settings.dat")):
        raise Failure("settings.dat written before any switch press")
    steps = [((s.width - 75, 130), (True, False), b"1 0"),
             ((s.width - 75, 210), (True, True), b"1 1"),
             ((s.width - 75, 130), (False, True), b"0 1"),
             ((s.width - 20, 185), (False, False), b"0 0")]  # the card's edge counts too
    for point, flags, expected in steps:
        s.click(*point)
        s.wait_for_pixels(f"switches {flags}", lambda i, f=flags: settings_page_ok(i, s, *f))
        wait_until(f"settings.dat {expected!r}", lambda e=expected: settings_file(s) == e, 5)
    s.click(360, s.height - 40)
    s.wait_for_pixels("back on the main page", lambda i: main_page_ok(i, s)
                      and button(i, s) == "blue")

    s.close_and_expect_exit(20)


def closed_cleanly(s, timeout, when):
    """Closed while a connection runs or starts: exit 0, the user's proxy
    setting back, nothing left on the listener's port."""
    s.close_and_expect_exit(timeout, when)
    if not user_proxy_back(s):
        raise Failure(f"proxy setting after the close: {s.proxy_setting()}")
    if Session.listening(10800):
        raise Failure("something still listens on 10800 after the client ended")


def connected_proxy(s):
    enable, server = s.proxy_setting()
    return enable == 1 and server is not None and LISTENER in server


def user_proxy_back(s):
    enable, server = s.proxy_setting()
    return enable == 0 and server == USER_PROXY


def fetch_with_curl(page_port, marker):
    r = subprocess.run(["curl", "-s", "--max-time", "15", "--socks5-hostname", "127.0.0.1:10800",
                        f"http://127.0.0.1:{page_port}/"], stdout=subprocess.PIPE, timeout=30)
    if marker.encode() not in r.stdout:
        raise Failure(f"curl through the listener got {r.stdout[:200]!r} (exit {r.returncode})")


def fetch_with_chromium(page_port, marker):
    profile = tempfile.mkdtemp(prefix="sovelin-e2e-chromium-")
    try:
        r = subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", f"--user-data-dir={profile}",
             "--proxy-server=socks5://127.0.0.1:10800",
             # Chromium sends loopback directly unless told not to.
             "--proxy-bypass-list=<-loopback>", "--dump-dom",
             f"http://127.0.0.1:{page_port}/"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=90)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    if marker.encode() not in r.stdout:
        raise Failure(f"Chromium through the listener got {r.stdout[:200]!r}")


def halo_breathes(s):
    """The window repaints by itself: the green ring just outside the button
    comes and goes with the pulse (about 1.3 s a cycle)."""
    cx, cy = s.centre()
    seen = set()

    def both_seen():
        g = s.grab().at(cx, cy - 92)[1]
        seen.add("ring" if g > 60 else "page" if g < 35 else "edge")
        return {"ring", "page"} <= seen

    wait_until("the halo to pulse", both_seen, 15, 0.1)


def start_with_upstream(s, settings=None, delay=0.0):
    s.start_display()
    socks_port = s.start_microsocks("e2euser", "e2e-pass")
    s.start_service(CATALOGUE, {"ip": "127.0.0.1", "port": socks_port,
                                "username": "e2euser", "password": "e2e-pass"}, delay=delay)
    s.set_user_proxy(0, USER_PROXY)
    s.start_client(settings)


def connect(s, label):
    cx, cy = s.centre()
    s.click(cx, cy + 60)
    s.wait_for_pixels(f"green button ({label})", button_is(s, "green"), 30)
    wait_until("the system proxy at the listener", lambda: connected_proxy(s), 20, 0.5)


def scenario_connect(s):
    marker = "sovelin-e2e-page-4711"
    page_port = s.start_page(marker)
    start_with_upstream(s, delay=2.0)
    catalogue_shown(s)
    cx, cy = s.centre()

    s.click(cx, cy + 60)
    s.wait_for_pixels("amber while connecting", button_is(s, "amber"), 10)
    s.wait_for_pixels("green when connected", button_is(s, "green"), 30)
    image = s.screenshot("connected")
    if not bright_in(image, (cx - 60, cy - 12, cx + 60, cy + 12)):
        raise Failure("no label on the green button")
    wait_until("the system proxy at the listener", lambda: connected_proxy(s), 20, 0.5)
    halo_breathes(s)
    fetch_with_curl(page_port, marker)
    fetch_with_chromium(page_port, marker)

    s.click(cx, cy + 60)  # second press: stop
    s.wait_for_pixels("blue after the stop", button_is(s, "blue"), 20)
    wait_until("the user's proxy setting back", lambda: user_proxy_back(s), 20, 0.5)
    if Session.listening(10800):
        raise Failure("the listener still accepts after the stop")

    connect(s, "again")
    s.click(150, row_top(2) + 25)  # a row press while connected disconnects
    s.wait_for_pixels("blue after a row press",
                      lambda i: button(i, s) == "blue" and selected(i, 2), 20)
    wait_until("the user's proxy setting back", lambda: user_proxy_back(s), 20, 0.5)

    connect(s, "before closing")
    closed_cleanly(s, 30, " after a close while connected")


def scenario_refused(s):
    s.start_display()
    s.start_service(CATALOGUE, {"error": "no servers"})
    # A catalogue slower than the autostart's 1.5 s: it does not connect.
    with open(os.path.join(s.service_state, "locations.mode"), "w") as f:
        f.write("delay=2.5")
    s.set_user_proxy(0, USER_PROXY)
    s.start_client(b"0 1")
    catalogue_shown(s)
    time.sleep(2.0)  # well past the autostart's single attempt
    image = s.screenshot("still-blue")
    if button(image, s) != "blue":
        raise Failure("the button is " + button(image, s))
    paths = [r["path"] for r in s.service_requests()]
    if any("get_connection" in p for p in paths):
        raise Failure("a connection was requested although the catalogue came late")
    if sum("get_locations" in p for p in paths) != 2:
        raise Failure(f"expected the first download and the autostart's second: {paths}")

    cx, cy = s.centre()
    s.click(cx, cy + 60)

    def error_box():
        r = subprocess.run(["xdotool", "search", "--name", "^Error$"], env=s.env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
        return r.stdout.split()[0].decode() if r.stdout.split() else None

    box = wait_until("the \"Error\" box", error_box, 30)
    # The window keeps painting behind the box: the button is blue again.
    s.wait_for_pixels("blue behind the error box", button_is(s, "blue"), 10)
    s.xdotool("windowfocus", "--sync", box)
    s.xdotool("key", "Return")
    wait_until("the box to close", lambda: error_box() is None, 10)
    if not user_proxy_back(s):
        raise Failure(f"proxy setting changed by a failed connect: {s.proxy_setting()}")
    s.move(150, row_top(4) + 45)
    s.wait_for_pixels("hover after the box", lambda i: hovered(i, 4))
    s.close_and_expect_exit(20)


def scenario_autostart(s):
    start_with_upstream(s, settings=b"0 1")
    started = time.monotonic()
    s.wait_for_pixels("green without a click", button_is(s, "green"), 30)
    took = time.monotonic() - started
    if took < 1.0:
        raise Failure(f"connected {took:.1f} s after the window appeared, before the 1.5 s wait")
    wait_until("the system proxy at the listener", lambda: connected_proxy(s), 20, 0.5)
    if settings_file(s) != b"0 1":
        raise Failure("the client rewrote settings.dat without a press")
    closed_cleanly(s, 30, " after autostart")


def scenario_closing(s):
    """A close while the connection request is still out ends cleanly."""
    start_with_upstream(s, delay=3.0)
    catalogue_shown(s)
    cx, cy = s.centre()
    s.click(cx, cy + 60)
    s.wait_for_pixels("amber while connecting", button_is(s, "amber"), 10)
    closed_cleanly(s, 30, " after a close while connecting")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(run({"window": scenario_window, "connect": scenario_connect,
                  "refused": scenario_refused, "autostart": scenario_autostart,
                  "closing": scenario_closing}))
