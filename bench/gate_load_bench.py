#!/usr/bin/python3
"""qelgate under load: 8 pymodbus clients write and read back at once against
a paced qelsim line, against the C++ library reading the same line alone:

    gate_load_bench.py BIN_DIR [SECONDS]

BIN_DIR holds qelsim and qelgate; the qelcomm package must be on the path.
Each client owns one motor. In the first half it writes a new raw V_SOLL
and reads it back; in the second it only reads, which is what the library's
rate is measured on. A failed request or a wrong value fails the run; the
figures (reads per second against the library's, and each client's share of
the total against a fair one) only print.
"""

import socket
import struct
import subprocess
import sys
import threading
import time

import qelcomm
from pymodbus.client import ModbusTcpClient

CLIENTS = 8
BAUD = 115200
V_SOLL = 5


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def library_rate(device, seconds):
    c = qelcomm.CQelCommCtrl()
    c.PortName = device
    c.Baud = BAUD
    if not c.OpenPort():
        sys.exit("cannot open " + device)
    c._cpp_read_loop(1, V_SOLL, 50)  # warm-up
    reads, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        if c._cpp_read_loop(1, V_SOLL, 100) != 100:
            sys.exit("the library's reads failed")
        reads += 100
    rate = reads / (time.perf_counter() - start)
    c.ClosePort()
    return rate


def client_loop(port, motor, stop, counts, failures, writes):
    c = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
    c.connect()
    value = motor
    words = list(struct.unpack(">HH", struct.pack(">i", value)))
    while not stop.is_set():
        if writes:
            value = (value + 1) % 30000
            words = list(struct.unpack(">HH", struct.pack(">i", value)))
            w = c.write_registers(2 * V_SOLL, words, slave=motor)
            if w.isError():
                failures.append(f"motor {motor}: write {w}")
                break
        r = c.read_holding_registers(2 * V_SOLL, 2, slave=motor)
        if r.isError() or (writes and r.registers != words):
            failures.append(f"motor {motor}: read {r}")
            break
        counts[motor] += 1
    c.close()


def run_phase(port, seconds, writes, failures):
    stop = threading.Event()
    counts = {m: 0 for m in range(1, CLIENTS + 1)}
    threads = [threading.Thread(target=client_loop, args=(port, m, stop, counts, failures, writes))
               for m in counts]
    start = time.perf_counter()
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    return counts, time.perf_counter() - start


def main():
    bin_dir = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    motors = [str(a) for m in range(1, CLIENTS + 1) for a in ("--motor", m)]
    sim = subprocess.Popen([f"{bin_dir}/qelsim", "--pace", "--baud", str(BAUD), *motors],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    gate = None
    try:
        device = sim.stdout.readline().strip()
        alone = library_rate(device, min(5.0, seconds))
        port = free_port()
        gate = subprocess.Popen([f"{bin_dir}/qelgate", "--port", device, "--baud", str(BAUD),
                                 "--listen", f"127.0.0.1:{port}"],
                                stderr=subprocess.PIPE, text=True)
        gate.stderr.readline()
        failures = []
        run_phase(port, seconds / 2, True, failures)
        counts, elapsed = run_phase(port, seconds / 2, False, failures)
    finally:
        for p in (gate, sim):
            if p is not None:
                p.terminate()
                p.wait()
    total = sum(counts.values()) / elapsed
    fair = sum(counts.values()) / CLIENTS
    shares = [counts[m] / fair - 1 for m in counts]
    print(f"qelgate load: {CLIENTS} clients, {seconds:.0f} s at {BAUD} bit/s paced "
          "(half write and read back, half reads)")
    print(f"  library alone   {alone:7.1f} reads/s")
    print(f"  through qelgate {total:7.1f} reads/s  ({total / alone:.2f}x; goal >= 0.9x)")
    print(f"  client shares vs fair: {min(shares):+.1%} .. {max(shares):+.1%} (goal within 25%)")
    if failures:
        print("FAILED:", *failures[:5], sep="\n  ")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
