#!/usr/bin/python3
"""qelgate's web API on qelsim's pty, from outside: plain HTTP requests, a
server-sent event stream, and a Modbus client (pymodbus) on the same gateway.

usage: web_test.py QELGATE   (QELCOMM_TEST_PORT: the pty)
"""
import http.client
import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

from pymodbus.client import ModbusTcpClient

QELGATE = sys.argv[1]
PORT = os.environ["QELCOMM_TEST_PORT"]
TOKEN = "5eb63bbbe01eeed093cb22bb8f5acdc3"
V_SOLL = 5


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Gate:
    """qelgate with --http on the pty, killed on exit whatever happened."""

    def __init__(self, port=PORT):
        self.modbus, self.http = free_port(), free_port()
        self.token_file = tempfile.NamedTemporaryFile("w", suffix=".token")
        self.token_file.write(TOKEN + "\n")
        self.token_file.flush()
        self.proc = subprocess.Popen(
            [QELGATE, "--port", port, "--big", "2", "--listen", f"127.0.0.1:{self.modbus}",
             "--http", f"127.0.0.1:{self.http}", "--token-file", self.token_file.name],
            stderr=subprocess.PIPE, text=True)
        self.lines = [self.proc.stderr.readline() for _ in range(2)]

    def request(self, method, path, body=None, headers=None, token=True):
        c = http.client.HTTPConnection("127.0.0.1", self.http, timeout=20)
        h = {"Authorization": "Bearer " + TOKEN} if token else {}
        h.update(headers or {})
        c.request(method, path, body=body, headers=h)
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, json.loads(data)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()
        self.token_file.close()


class WebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gate = Gate().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.gate.__exit__(None, None, None)

    def test_start_line_names_the_page_with_its_token(self):
        self.assertIn(f"qelgate: web page at http://127.0.0.1:{self.gate.http}/?token={TOKEN}\n",
                      self.gate.lines)

    def test_refusals_carry_the_error_object(self):
        status, body = self.gate.request("GET", "/api/buses", token=False)
        self.assertEqual((status, body["error"]["name"]), (401, "UNAUTHORIZED"))
        path = "/api/buses/bus0/motors/1/registers/V_SOLL"
        status, body = self.gate.request("PUT", path, '{"raw": 5}',
                                         {"Origin": "http://attacker.example"})
        self.assertEqual((status, body["error"]["name"]), (403, "CROSS_ORIGIN"))
        status, body = self.gate.request("PUT", path, '{"raw": ')
        self.assertEqual((status, body["error"]["name"]), (400, "BAD_REQUEST"))
        status, body = self.gate.request("GET", "/api/buses/bus0/motors/9/status")
        self.assertEqual(status, 502)
        self.assertEqual(body["error"]["name"], "ERR_ANSWER_LENGTH")
        self.assertTrue(body["error"]["diagnosis"])

    def test_a_write_on_the_page_is_what_modbus_reads(self):
        status, body = self.gate.request(
            "PUT", "/api/buses/bus0/motors/1/registers/V_SOLL", '{"raw": 321}',
            {"Origin": f"http://127.0.0.1:{self.gate.http}"})
        self.assertEqual((status, body["raw"]), (200, 321))
        client = ModbusTcpClient("127.0.0.1", port=self.gate.modbus)
        try:
            self.assertTrue(client.connect())
            words = client.read_holding_registers(2 * V_SOLL, 2, slave=1).registers
        finally:
            client.close()
        self.assertEqual(struct.unpack(">i", struct.pack(">HH", *words))[0], 321)

    def test_the_plot_stream_gives_samples(self):
        c = http.client.HTTPConnection("127.0.0.1", self.gate.http, timeout=20)
        try:
            c.request("GET", "/api/buses/bus0/plot?period_ms=20&signals=1:P_IST,2:V_IST",
                      headers={"Authorization": "Bearer " + TOKEN})
            r = c.getresponse()
            self.assertEqual(r.status, 200)
            self.assertEqual(r.getheader("Content-Type"), "text/event-stream")
            samples = []
            while len(samples) < 5:
                line = r.fp.readline().decode()
                self.assertTrue(line, "the stream ended")
                if line.startswith("data: ") and '"values"' in line:
                    samples.append(json.loads(line[6:]))
        finally:
            c.close()
        self.assertTrue(all(len(s["values"]) == 2 for s in samples))
        self.assertEqual(sorted(s["t"] for s in samples), [s["t"] for s in samples])


    def test_a_line_that_does_not_open_says_why(self):
        with Gate("tcp://nosuchhost.invalid:4001") as gate:
            log = gate.proc.stderr.readline()
        self.assertIn("cannot open tcp://nosuchhost.invalid:4001", log)
        self.assertIn("does not resolve", log)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
