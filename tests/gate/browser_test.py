#!/usr/bin/python3
"""qelgate's web page in headless Chromium, on qelsim's pty: what a user does
on each page, checked against the gateway's API and against qelctl on the
same line once qelgate has gone.

usage: browser_test.py QELGATE QELCTL HEX_FILE   (QELCOMM_TEST_PORT: the pty)
Skipped when Debian's chromium or chromium-driver is not installed.
"""
import json
import os
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_harness import Browser, Gate, have_chromium, wait_until  # noqa: E402

QELGATE, QELCTL, HEX_FILE = sys.argv[1:4]
PORT = os.environ["QELCOMM_TEST_PORT"]
EDITED_RAW = 1234  # V_SOLL of motor 1, as written on the page


def hex_image(path):
    """{image address: byte} of an Intel HEX file's data records."""
    image, base = {}, 0
    with open(path) as f:
        for line in f:
            rec = bytes.fromhex(line.strip()[1:])
            count, offset, kind = rec[0], int.from_bytes(rec[1:3], "big"), rec[3]
            if kind == 0:
                for i, b in enumerate(rec[4:4 + count]):
                    image[base + offset + i] = b
            elif kind == 4:
                base = int.from_bytes(rec[4:6], "big") << 16
    return image


@unittest.skipUnless(have_chromium(), "chromium, chromium-driver or python3-selenium is not "
                     "installed (scripts/setup.sh installs them): the browser test is skipped")
class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gate = Gate(QELGATE, PORT, ["--big", "2"])
        cls.addClassCleanup(cls.gate.close)
        cls.browser = Browser(downloads=cls.gate.dir)
        cls.addClassCleanup(cls.browser.close)
        cls.b = cls.browser
        cls.b.open(cls.gate.url)
        cls.b.scan(4)

    def downloaded(self, name):
        """The bytes of a finished download, or None."""
        path = os.path.join(self.gate.dir, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def test_1_token_leaves_the_address_and_is_needed(self):
        self.assertNotIn("token", self.b.driver.current_url)
        status, doc = self.gate.api("GET", "/api/buses", token=False)
        self.assertEqual(status, 401)
        self.assertEqual(doc["error"]["name"], "UNAUTHORIZED")
        # The page's own requests carry the cookie instead.
        buses = self.b.driver.execute_async_script(
            "fetch('/api/buses').then(r => arguments[0](r.status))")
        self.assertEqual(buses, 200)

    def test_2_bus_page_lists_the_motors(self):
        rows = [r.text.split() for r in
                self.b.driver.find_elements("css selector", "#motor-table tbody tr")]
        self.assertEqual([r[:2] for r in rows], [["1", "standard"], ["2", "big"]])
        self.assertEqual(rows[0][3:5], ["3", "17"])  # the module on motor 1
        self.assertIn("up", self.b.text("line-settings"))
        self.assertIn("addresses 1 to 4: 2 motors", self.b.text("scan-when"))

    def test_3_register_edited_and_read_back(self):
        b = self.b
        b.driver.find_element("css selector", '#motor-table button[aria-label="Open motor 1"]').click()
        b.wait(lambda d: "of 153 registers" in b.text("reg-count"), "the register table")
        b.by_id("reg-filter").send_keys("v_soll")
        rows = b.driver.find_elements("css selector", "#reg-table tbody tr")
        self.assertEqual([r.get_attribute("data-name") for r in rows], ["V_SOLL"])
        b.edit("V_SOLL", str(EDITED_RAW), raw=True)
        self.assertEqual(b.text("edit-error"), "")
        self.assertIn(f"Read back: raw {EDITED_RAW}", b.text("edit-result"))
        b.by_id("edit-cancel").click()
        shown = b.driver.find_element("css selector", '#reg-table tr[data-name="V_SOLL"] .raw')
        self.assertEqual(shown.text, str(EDITED_RAW))
        # A value out of range is refused with the gateway's error, and nothing changes.
        b.edit("V_SOLL", "1e12")
        self.assertIn("BAD_REQUEST", b.text("edit-error"))
        b.by_id("edit-cancel").click()

    def test_4_plot_shows_new_points_while_a_register_changes(self):
        b = self.b
        b.page("plot")
        b.add_signal(2, "A_SOLL")
        # 28 bytes on the wire both ways at 19200 bit/s
        self.assertIn("about 15 ms for 1 register at 19200 bit/s",
                      b.by_id("plot-period-hint").text)
        b.by_id("plot-period").clear()
        b.by_id("plot-period").send_keys("20")
        b.by_id("plot-start").click()
        rows = lambda: b.driver.execute_script("return plot.rows.map(r => r[1])")  # noqa: E731
        wait_until(lambda: len(rows()) >= 5, "samples")
        stop = threading.Event()

        def change():  # A_SOLL of motor 2 stepping while the plot runs
            value = 100
            while not stop.is_set():
                self.gate.api("PUT", "/api/buses/bus0/motors/2/registers/A_SOLL", {"raw": value})
                value += 1
                stop.wait(0.05)
        writer = threading.Thread(target=change)
        writer.start()
        try:
            wait_until(lambda: len(set(rows()) - {None}) >= 4, "changing samples")
        finally:
            stop.set()
            writer.join()
        drawn = b.driver.execute_script("return plot.chart.numRows()")
        self.assertGreaterEqual(drawn, 5)
        self.assertEqual(int(b.by_id("plot-chart").get_attribute("data-points")) > 0, True)
        b.by_id("plot-stop").click()
        self.assertFalse(b.by_id("plot-start").get_attribute("disabled"))
        # Every sample in the CSV, the chart as a picture.
        b.by_id("plot-csv").click()
        b.by_id("plot-png").click()
        csv = wait_until(lambda: self.downloaded("plot.csv"), "plot.csv").decode().splitlines()
        self.assertEqual(csv[0], "t_ms,2:A_SOLL")
        self.assertEqual(len(csv) - 1, len(rows()))
        self.assertEqual([int(line.split(",")[1]) for line in csv[1:]], rows())
        png = wait_until(lambda: self.downloaded("plot.png"), "plot.png")
        self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")

    def test_5_module_programmed_from_an_uploaded_file(self):
        b = self.b
        b.page("module")
        b.by_id("program-file").send_keys(os.path.abspath(HEX_FILE))
        b.by_id("program-button").click()
        b.confirm()
        seen = set()
        b.wait(lambda d: seen.add(int(b.by_id("program-progress").get_attribute("value")))
               or "100%" in b.text("program-text") or b.text("program-error"),
               "programming to end", timeout=60)
        self.assertEqual(b.text("program-error"), "")
        self.assertIn("100%: done", b.text("program-text"))
        self.assertGreater(len(seen - {0, 100}), 0, "the bar showed no step between 0 and 100")
        b.wait(lambda d: len(d.find_elements("css selector", "#pages pre")) == 4, "the pages")
        pages = b.driver.execute_script(
            "return [...document.querySelectorAll('#pages pre')].map(p => p.dataset.hex)")
        image = bytes.fromhex("".join(pages))
        for address, byte in hex_image(HEX_FILE).items():
            self.assertEqual(image[address], byte, f"image byte 0x{address:03X}")
        b.by_id("module-debug").click()
        b.wait(lambda d: "State" in b.text("module-facts"), "the debug state")

    def test_5a_failed_exchange_shows_code_message_and_diagnosis(self):
        from selenium.webdriver.support.ui import Select
        b = self.b
        Select(b.by_id("motor-select")).select_by_value("2")  # it has no module
        b.page("module")
        b.by_id("module-identify").click()
        b.wait(lambda d: b.text("module-error"), "the failure")
        shown = b.text("module-error")
        for part in ("NO_ANSWER", "identifying module 2", "did not answer", "no reply within"):
            self.assertIn(part, shown)
        Select(b.by_id("motor-select")).select_by_value("1")
        self.assertEqual(b.text("module-error"), "", "the failure stays with its motor")

    def test_6_trace_shows_the_telegrams(self):
        b = self.b
        b.page("trace")
        b.wait(lambda d: len(d.find_elements("css selector", "#trace-table tbody tr")) > 10,
               "telegrams")
        rows = b.driver.find_elements("css selector", "#trace-table tbody tr")
        texts = [r.text for r in rows]
        self.assertTrue(any("sent" in t and "V_SOLL" in t for t in texts), texts[:5])
        self.assertTrue(any("received" in t for t in texts))
        b.by_id("trace-filter").send_keys("2")
        shown = [r for r in rows if r.is_displayed()]
        self.assertTrue(shown)
        self.assertTrue(all(r.get_attribute("data-address") == "2" for r in shown))
        b.by_id("trace-clear").click()
        self.assertEqual(b.driver.find_elements("css selector", "#trace-table tbody tr"), [])

    def test_7_parameter_set_differences_before_restore(self):
        b = self.b
        status, dump = self.gate.api("GET", "/api/buses/bus0/motors/1/dump")
        self.assertEqual(status, 200)
        for entry in dump["registers"]:
            if entry.get("name") == "A_SOLL":
                entry["raw"] = entry["raw"] + 7
                entry.pop("value", None)
        path = os.path.join(self.gate.dir, "set.json")
        with open(path, "w") as f:
            json.dump(dump, f)
        b.page("sets")
        b.by_id("restore-file").send_keys(path)
        b.driver.find_element("css selector", '#restore-form button[type="submit"]').click()
        b.wait(lambda d: "differ" in b.text("restore-text") or b.text("restore-error"), "the dry run")
        self.assertIn("1 register differs", b.text("restore-text"))
        self.assertIn("A_SOLL", b.text("restore-table"))
        b.by_id("restore-button").click()
        b.confirm()
        b.wait(lambda d: "1 written" in b.text("restore-text") or b.text("restore-error"),
               "the restore")
        self.assertIn("1 written, read back and checked", b.text("restore-text"))

    def test_8_console_has_no_errors(self):
        logs = self.b.driver.get_log("browser")
        errors = [e for e in logs if e["level"] in ("SEVERE", "ERROR")]
        # Chromium logs each refused request; the refusals asked for are no fault.
        asked = (("/motors/1/registers/5 ", "status of 400"), ("/motors/2/module ", "status of 502"))
        refused = [e for e in errors if e.get("source") == "network"
                   and any(url in e["message"] and status in e["message"] for url, status in asked)]
        self.assertEqual(len(refused), len(asked), errors)
        self.assertEqual([e for e in errors if e not in refused], [])

    def test_9_qelctl_reads_what_the_page_wrote(self):
        self.b.driver.get("about:blank")  # the page's streams end first
        self.assertEqual(self.gate.stop(), 0)
        out = subprocess.run([QELCTL, "--port", PORT, "--json", "read", "1", "V_SOLL"],
                             check=True, capture_output=True, text=True, timeout=30).stdout
        self.assertEqual(json.loads(out)["registers"][0]["raw"], EDITED_RAW)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
