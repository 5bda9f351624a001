"""qelgate serving its web page on a bus, and headless Chromium looking at it:
shared by the browser test and docs/web-screenshots.sh. Each is stopped, and
its temporary files removed, by close(), whatever happened before.
"""
import json
import re
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
TOKEN = "0f1e2d3c4b5a69788796a5b4c3d2e1f0"


def have_chromium():
    return shutil.which(CHROMIUM) is not None and shutil.which(CHROMEDRIVER) is not None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Gate:
    """qelgate --http on DEVICE (the embedded virtual bus without one)."""

    def __init__(self, qelgate, device=None, extra=()):
        self.http = free_port()
        self.dir = tempfile.mkdtemp(prefix="qelgate-web-")
        token_file = f"{self.dir}/token"
        with open(token_file, "w") as f:
            f.write(TOKEN + "\n")
        args = [qelgate, "--listen", f"127.0.0.1:{free_port()}",
                "--http", f"127.0.0.1:{self.http}", "--token-file", token_file, *extra]
        if device:
            args += ["--port", device]
        self.proc = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
        self.url = None
        for _ in range(5):
            line = self.proc.stderr.readline()
            found = re.search(r"web page at (\S+)", line)
            if found:
                self.url = found.group(1)
                break
        if not self.url:
            self.close()
            raise RuntimeError("qelgate printed no web page address")
        self.base = f"http://127.0.0.1:{self.http}"

    def api(self, method, path, body=None, token=True):
        """(status, JSON) of one request, with the token as a Bearer header."""
        req = urllib.request.Request(self.base + path, method=method,
                                     data=None if body is None else json.dumps(body).encode())
        if token:
            req.add_header("Authorization", "Bearer " + TOKEN)
        if body is not None:
            req.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                return r.status, json.loads(r.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def stop(self):
        """Ends qelgate as a service manager would; its exit code."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Browser:
    """Headless Chromium through chromedriver, with a profile of its own."""

    def __init__(self, width=1280, height=900, downloads=None):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        self.profile = tempfile.mkdtemp(prefix="qelgate-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", f"--window-size={width},{height}",
                     f"--user-data-dir={self.profile}"):
            options.add_argument(flag)
        if downloads:
            options.add_experimental_option("prefs", {
                "download.default_directory": downloads, "download.prompt_for_download": False})
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        try:
            self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        except Exception:
            shutil.rmtree(self.profile, ignore_errors=True)
            raise
        self.driver.set_script_timeout(30)

    def open(self, url):
        self.driver.get(url)
        self.wait(lambda d: d.execute_script("return document.body.dataset.ready === '1'"),
                  "the page to load")

    def wait(self, condition, what, timeout=20):
        from selenium.webdriver.support.ui import WebDriverWait
        return WebDriverWait(self.driver, timeout, poll_frequency=0.05).until(
            condition, f"waited {timeout} s for {what}")

    def by_id(self, element_id):
        return self.driver.find_element("id", element_id)

    def page(self, name):
        self.by_id("tab-" + name).click()
        self.wait(lambda d: self.by_id("page-" + name).is_displayed(), f"the {name} page")

    def confirm(self):
        """Accepts the page's confirmation dialog."""
        self.wait(lambda d: self.by_id("confirm").get_attribute("open") is not None,
                  "the confirmation")
        self.by_id("confirm-ok").click()

    def text(self, element_id):
        return self.by_id(element_id).text

    def scan(self, to):
        """Scans addresses 1..to on the bus page."""
        self.by_id("scan-to").clear()
        self.by_id("scan-to").send_keys(str(to))
        self.by_id("scan-button").click()
        self.wait(lambda d: self.text("scan-text") == "done", "the scan", timeout=60)

    def edit(self, name, text, raw=False):
        """Writes `text` to register `name` from the motor page, confirmed;
        waits for the read-back or the failure, and leaves the dialog open."""
        self.driver.find_element("css selector", f'button[aria-label="Edit {name}"]').click()
        kind = "raw" if raw else "value"
        self.driver.find_element("css selector", f'input[name="edit-as"][value="{kind}"]').click()
        self.by_id("edit-input").clear()
        self.by_id("edit-input").send_keys(text)
        self.by_id("edit-write").click()
        self.confirm()
        self.wait(lambda d: self.text("edit-result") or self.text("edit-error"), "the write")

    def add_signal(self, address, register):
        self.by_id("plot-motor").clear()
        self.by_id("plot-motor").send_keys(str(address))
        self.by_id("plot-register").send_keys(register)
        self.driver.find_element("css selector", '#plot-add button[type="submit"]').click()

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)


def wait_until(condition, what, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"waited {timeout} s for {what}")
