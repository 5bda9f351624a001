#!/usr/bin/python3
"""qelgate on qelsim's pty, driven by clients written elsewhere: pymodbus and
mbpoll. Values are checked against what qelctl reads from the same line.

usage: clients_test.py QELGATE QELCTL MBPOLL QELSIM   (QELCOMM_TEST_PORT: the pty)
"""
import json
import math
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from pymodbus.client import ModbusTcpClient
from pymodbus.exceptions import ModbusIOException

QELGATE, QELCTL, MBPOLL, QELSIM = sys.argv[1:5]
PORT = os.environ["QELCOMM_TEST_PORT"]
V_SOLL = 5
SILENT, COMPLEMENT = 9, 11


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def qelctl(*args):
    out = subprocess.run([QELCTL, "--port", PORT, "--big", "2", "--json", *args],
                         check=True, capture_output=True, text=True, timeout=30).stdout
    return json.loads(out)


def f32(words):
    return struct.unpack(">f", struct.pack(">HH", *words))[0]


def words_of_float(v):
    return list(struct.unpack(">HH", struct.pack(">f", v)))


def words_of_int(v):
    return list(struct.unpack(">HH", struct.pack(">i", v)))


class Gate:
    """qelgate on the pty; stopped (and checked to stop cleanly) on exit."""

    def __init__(self, *extra, device=PORT):
        self.port = free_port()
        self.proc = subprocess.Popen(
            [QELGATE, "--port", device, "--big", "2", "--retries", "2",
             "--listen", f"127.0.0.1:{self.port}", *extra],
            stderr=subprocess.PIPE, text=True)
        line = self.proc.stderr.readline()
        if "listening" not in line:
            self.proc.kill()
            raise RuntimeError("qelgate did not start: " + line)

    def stop(self):
        self.proc.terminate()
        start = time.monotonic()
        code = self.proc.wait(timeout=5)
        return code, time.monotonic() - start

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()


def mbpoll(port, *args):
    return subprocess.run([MBPOLL, "-m", "tcp", "-p", str(port), "-0", "-1", "-o", "2",
                           *args], capture_output=True, text=True, timeout=20)


def mbpoll_values(result):
    return [float(line.split(":")[1]) for line in result.stdout.splitlines()
            if line.startswith("[")]


class ClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.before = {a: qelctl("read", str(a), str(V_SOLL)) for a in (1, 2)}
        cls.status = qelctl("status", "1")
        cls.module = qelctl("module", "info", "1")
        cls.debug = qelctl("module", "debug", "1")
        cls.gate = Gate("--idle-timeout", "2", "--max-connections", "4", "--queue", "2")
        cls.client = ModbusTcpClient("127.0.0.1", port=cls.gate.port, timeout=5)
        assert cls.client.connect()

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        code, took = cls.gate.stop()
        cls.gate.__exit__()
        assert code == 0, f"qelgate exited {code}"
        assert took < 1.0, f"qelgate took {took:.2f} s to stop"

    def read(self, address, count, slave=1):
        return self.client.read_holding_registers(address, count, slave=slave)

    def assertException(self, reply, code):
        self.assertTrue(reply.isError(), reply)
        self.assertEqual(reply.exception_code, code)

    def test_1_reads_match_qelctl(self):
        for a in (1, 2):
            want = self.before[a]["registers"][0]
            raw = self.read(2 * V_SOLL, 2, a).registers
            self.assertEqual(struct.unpack(">i", struct.pack(">HH", *raw))[0], want["raw"])
            units = f32(self.read(10000 + 2 * V_SOLL, 2, a).registers)
            self.assertEqual(units, struct.unpack(">f", struct.pack(">f", want["value"]))[0])
        st = self.client.read_input_registers(0, 4, slave=1).registers
        self.assertEqual(st[0], self.status["status"])
        self.assertEqual(struct.unpack(">i", struct.pack(">HH", st[1], st[2]))[0],
                         self.status["position"])
        self.assertEqual(st[3], self.status["errors"])
        mt = self.client.read_input_registers(10, 2, slave=1).registers
        self.assertEqual(mt, [self.module["type"], self.module["firmware"]])
        dbg = self.client.read_input_registers(20, 8, slave=1).registers
        self.assertEqual(dbg[0], self.debug["state"])
        self.assertEqual(dbg[7], self.debug["mode_cmd"])

    def test_2_writes_raw_and_units(self):
        self.assertFalse(self.client.write_registers(2 * V_SOLL, words_of_int(-250), slave=1)
                         .isError())
        self.assertEqual(self.read(2 * V_SOLL, 2).registers, words_of_int(-250))
        self.assertFalse(self.client.write_registers(10000 + 2 * V_SOLL, words_of_float(10.0),
                                                     slave=2).isError())
        back = f32(self.read(10000 + 2 * V_SOLL, 2, 2).registers)
        self.assertAlmostEqual(back, 10.0, delta=0.37)  # within one raw step

    def test_3_coils(self):
        self.assertFalse(self.client.write_coil(10, True, slave=1).isError())   # QupStart
        self.assertFalse(self.client.write_coil(11, False, slave=1).isError())  # OFF: nothing
        self.assertEqual(self.client.read_coils(10, 4, slave=1).bits[:4], [False] * 4)

    def test_4_exceptions(self):
        self.assertException(self.client.read_discrete_inputs(0, 1, slave=1), 1)
        self.assertException(self.client.write_register(2 * V_SOLL, 1, slave=1), 2)
        self.assertException(self.read(2 * V_SOLL + 1, 1), 2)
        self.assertException(self.client.read_input_registers(4, 1, slave=1), 2)
        self.assertException(self.client.write_registers(2 * V_SOLL, words_of_int(0x12345),
                                                         slave=1), 3)
        self.assertException(self.client.write_registers(10000 + 2 * V_SOLL,
                                                         words_of_float(math.nan), slave=1), 3)
        self.assertException(self.read(2 * V_SOLL, 2, COMPLEMENT), 4)
        self.assertException(self.read(2 * V_SOLL, 2, SILENT), 0x0B)
        self.assertException(self.read(2 * V_SOLL, 2, 248), 0x0B)

    def test_4_queue_full(self):
        # Requests sent back to back to a silent motor: the bus works on one,
        # the queue holds two (--queue 2), and the rest are refused at once.
        with socket.create_connection(("127.0.0.1", self.gate.port)) as s:
            s.settimeout(10)
            frames = b"".join(struct.pack(">HHHBBHH", t, 0, 6, SILENT, 3, 2 * V_SOLL, 2)
                              for t in range(1, 7))
            s.sendall(frames)
            codes = {}
            data = b""
            while len(codes) < 6:
                chunk = s.recv(256)
                self.assertTrue(chunk, "connection closed")
                data += chunk
                while len(data) >= 9:
                    tid, _, length = struct.unpack(">HHH", data[:6])
                    codes[tid] = data[8]
                    data = data[6 + length:]
        self.assertIn(6, codes.values())
        self.assertIn(0x0B, codes.values())
        self.assertLessEqual(set(codes.values()), {6, 0x0B})

    def test_5_mbpoll(self):
        r = mbpoll(self.gate.port, "-a", "1", "-t", "4:int", "-B", "-r", str(2 * V_SOLL),
                   "127.0.0.1", "777")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        r = mbpoll(self.gate.port, "-a", "1", "-t", "4:int", "-B", "-r", str(2 * V_SOLL),
                   "127.0.0.1")
        self.assertEqual(mbpoll_values(r), [777], r.stdout)
        r = mbpoll(self.gate.port, "-a", "2", "-t", "4:float", "-B", "-r",
                   str(10000 + 2 * V_SOLL), "127.0.0.1")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertAlmostEqual(mbpoll_values(r)[0], 10.0, delta=0.37)
        r = mbpoll(self.gate.port, "-a", "1", "-t", "3", "-r", "10", "-c", "2", "127.0.0.1")
        self.assertEqual(mbpoll_values(r), [self.module["type"], self.module["firmware"]])
        r = mbpoll(self.gate.port, "-a", "1", "-t", "4", "-r", "11", "-c", "1", "127.0.0.1")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("Illegal data address", r.stdout + r.stderr)

    def test_6_limits(self):
        socks = [socket.create_connection(("127.0.0.1", self.gate.port)) for _ in range(4)]
        try:
            for s in socks:
                s.settimeout(5)
            # One connection (the class's client) is already open: the 4th extra is refused.
            self.assertEqual(socks[-1].recv(1), b"")
            # Garbage costs its own connection only.
            socks[0].sendall(b"\x00\x01\x00\x00\x00\x02\x01\x63" + b"\xff" * 300)
            self.assertEqual(self.read(2 * V_SOLL, 2).isError(), False)
            # Half a frame, then nothing: it holds up no other client.
            socks[2].sendall(b"\x00\x01\x00")
            start = time.monotonic()
            self.assertEqual(self.read(2 * V_SOLL, 2).isError(), False)
            self.assertLess(time.monotonic() - start, 0.3)
            # An idle connection is closed after the timeout (2 s here).
            self.assertEqual(socks[1].recv(1), b"")
        finally:
            for s in socks:
                s.close()



class Sim:
    """qelsim with its device at a fixed path, so that a restart looks like a
    replugged adapter."""

    def __init__(self, link):
        self.proc = subprocess.Popen([QELSIM, "--motor", "1", "--link", link],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.proc.stdout.readline()

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


class LineLossTest(unittest.TestCase):
    def test_lost_line_gives_0A_then_recovers(self):
        with tempfile.TemporaryDirectory() as tmp:
            link = os.path.join(tmp, "bus")
            sim = Sim(link)
            try:
                with Gate(device=link) as gate:
                    client = ModbusTcpClient("127.0.0.1", port=gate.port, timeout=5)
                    self.assertTrue(client.connect())
                    read = lambda: client.read_holding_registers(2 * V_SOLL, 2, slave=1)
                    self.assertFalse(read().isError())
                    sim.stop()
                    lost = read()
                    self.assertTrue(lost.isError())
                    self.assertEqual(lost.exception_code, 0x0A)
                    sim = Sim(link)
                    deadline = time.monotonic() + 10
                    while read().isError() and time.monotonic() < deadline:
                        time.sleep(0.1)
                    self.assertFalse(read().isError())
                    client.close()
                    self.assertEqual(gate.stop()[0], 0)
            finally:
                sim.stop()


class ConfigTest(unittest.TestCase):
    def test_two_buses_from_a_file(self):
        ports = [free_port(), free_port()]
        with tempfile.NamedTemporaryFile("w", suffix=".yaml") as f:
            f.write(f"""buses:
  - name: demo
    listen: 127.0.0.1:{ports[0]}
  - name: watch
    listen: 127.0.0.1:{ports[1]}
    writable: false
""")
            f.flush()
            proc = subprocess.Popen([QELGATE, "--config", f.name], stderr=subprocess.PIPE, text=True)
            try:
                for _ in range(2):
                    self.assertIn("listening", proc.stderr.readline())
                clients = [ModbusTcpClient("127.0.0.1", port=p, timeout=5) for p in ports]
                for c in clients:
                    self.assertTrue(c.connect())
                    self.assertFalse(c.read_holding_registers(2 * V_SOLL, 2, slave=1).isError())
                self.assertFalse(clients[0].write_registers(2 * V_SOLL, [0, 1], slave=1).isError())
                refused = clients[1].write_registers(2 * V_SOLL, [0, 1], slave=1)
                self.assertEqual(refused.exception_code, 1)
                for c in clients:
                    c.close()
                proc.terminate()
                self.assertEqual(proc.wait(timeout=5), 0)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                proc.stderr.close()

    def test_a_bad_file_is_refused_naming_line_and_key(self):
        with tempfile.NamedTemporaryFile("w", suffix=".yaml") as f:
            f.write("buses:\n  - name: a\n    baud: fast\n")
            f.flush()
            r = subprocess.run([QELGATE, "--config", f.name], capture_output=True, text=True,
                               timeout=10)
        self.assertEqual(r.returncode, 2)
        self.assertIn(":3: key 'baud': not a whole number", r.stderr)


if __name__ == "__main__":
    print("line:", PORT, file=sys.stderr)
    result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    if result.wasSuccessful():
        # With the gateway stopped, qelctl sees what mbpoll wrote through it.
        after = qelctl("read", "1", str(V_SOLL))
        if after["registers"][0]["raw"] != 777:
            print("qelctl reads", after, "after the gateway wrote 777", file=sys.stderr)
            sys.exit(1)
    sys.exit(0 if result.wasSuccessful() else 1)
