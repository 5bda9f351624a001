#!/usr/bin/python3
"""Pictures of each page of qelgate's web page, for the README: run by
docs/web-screenshots.sh on qelsim's pty (QELCOMM_TEST_PORT).

usage: web_screenshots.py QELGATE HEX_FILE OUT_DIR
"""
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "gate"))
from browser_harness import Browser, Gate, wait_until  # noqa: E402

QELGATE, HEX_FILE, OUT = sys.argv[1:4]


def shoot(b, name, most=1400):
    """The page's whole height (up to `most` pixels) in one picture."""
    d = b.driver
    d.execute_script("window.scrollTo(0, 0)")
    size = d.get_window_size()
    chrome = size["height"] - d.execute_script("return window.innerHeight")
    tall = d.execute_script("return document.documentElement.scrollHeight")
    d.set_window_size(size["width"], min(tall, most) + chrome)
    time.sleep(0.3)  # let the last redraw land
    path = os.path.join(OUT, f"web-{name}.png")
    d.save_screenshot(path)
    d.set_window_size(size["width"], size["height"])
    print(f"web-screenshots: {path}")


def bus(b):
    b.scan(16)
    shoot(b, "bus")


def motor(b):
    b.driver.find_element("css selector", 'button[aria-label="Open motor 1"]').click()
    b.wait(lambda d: "registers" in b.text("reg-count"), "the registers")
    b.edit("V_SOLL", "250")
    shoot(b, "motor", most=900)
    b.by_id("edit-cancel").click()


def plot(b, gate):
    b.page("plot")
    for signal in ("1:P_IST", "1:P_SOLL", "2:P_IST"):
        b.add_signal(*signal.split(":"))
    b.by_id("plot-period").clear()
    b.by_id("plot-period").send_keys("50")
    b.by_id("plot-start").click()
    rows = lambda: b.driver.execute_script("return plot.rows.length")  # noqa: E731
    # Moves of both motors, a new target now and then (a new P_SOLL starts one).
    for target in (4000, -2500, 6000, 1000):
        for a in (1, 2):
            gate.api("PUT", f"/api/buses/bus0/motors/{a}/registers/P_SOLL", {"raw": target * a})
        start = rows()
        wait_until(lambda: rows() > start + 25, "samples")
    shoot(b, "plot")
    b.by_id("plot-stop").click()


def trace(b):
    b.page("trace")
    b.wait(lambda d: len(d.find_elements("css selector", "#trace-table tbody tr")) > 20, "telegrams")
    b.by_id("trace-pause").click()
    b.by_id("trace-filter").send_keys("1")
    shoot(b, "trace", most=900)


def module(b):
    b.page("module")
    b.by_id("program-file").send_keys(os.path.abspath(HEX_FILE))
    b.by_id("program-button").click()
    b.confirm()
    b.wait(lambda d: "100%" in b.text("program-text"), "programming", timeout=60)
    b.wait(lambda d: len(d.find_elements("css selector", "#pages pre")) == 4, "the pages")
    b.by_id("module-debug").click()
    b.wait(lambda d: "State" in b.text("module-facts"), "the debug state")
    shoot(b, "module")


def sets(b, gate):
    _, dump = gate.api("GET", "/api/buses/bus0/motors/1/dump")
    for entry in dump["registers"]:
        if entry.get("name") in ("V_SOLL", "A_SOLL"):
            entry["raw"] += 10
            entry.pop("value", None)
    path = os.path.join(gate.dir, "motor-1.json")
    with open(path, "w") as f:
        json.dump(dump, f)
    b.page("sets")
    b.by_id("restore-file").send_keys(path)
    b.driver.find_element("css selector", '#restore-form button[type="submit"]').click()
    b.wait(lambda d: "differ" in b.text("restore-text"), "the differences")
    shoot(b, "sets")


def main():
    gate = Gate(QELGATE, os.environ["QELCOMM_TEST_PORT"], ["--big", "2"])
    browser = None
    try:
        browser = Browser(width=1280, height=800)
        browser.open(gate.url)
        bus(browser)
        motor(browser)
        plot(browser, gate)
        module(browser)
        trace(browser)
        sets(browser, gate)
    finally:
        if browser:
            browser.close()
        gate.close()


if __name__ == "__main__":
    main()
