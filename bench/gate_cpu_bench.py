#!/usr/bin/python3
"""The CPU qelgate adds per request, on an immediate qelsim pty:

    gate_cpu_bench.py BIN_DIR [REQUESTS]

BIN_DIR holds qelsim and qelgate; the qelcomm package must be on the path.
First the library's own reads (C++ loop) with this process's CPU time per
read; then the same reads through qelgate from one pymodbus client, with
qelgate's CPU time (user and system, from /proc) per request. The
difference is what the gateway adds: TCP, libmodbus, the queue and the
hand-over between threads. Printed only; the goal is under 0.5 ms.
"""

import os
import socket
import subprocess
import sys
import time

import qelcomm
from pymodbus.client import ModbusTcpClient

V_SOLL = 5


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    bin_dir = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
    sim = subprocess.Popen([f"{bin_dir}/qelsim", "--motor", "1"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    gate = None
    try:
        device = sim.stdout.readline().strip()
        c = qelcomm.CQelCommCtrl()
        c.PortName = device
        if not c.OpenPort():
            sys.exit("cannot open " + device)
        c._cpp_read_loop(1, V_SOLL, 200)
        cpu0, wall0 = time.process_time(), time.perf_counter()
        if c._cpp_read_loop(1, V_SOLL, n) != n:
            sys.exit("the library's reads failed")
        lib_cpu = (time.process_time() - cpu0) / n
        lib_wall = (time.perf_counter() - wall0) / n
        c.ClosePort()

        port = free_port()
        gate = subprocess.Popen([f"{bin_dir}/qelgate", "--port", device,
                                 "--listen", f"127.0.0.1:{port}"],
                                stderr=subprocess.PIPE, text=True)
        gate.stderr.readline()
        client = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
        client.connect()
        for _ in range(200):
            client.read_holding_registers(2 * V_SOLL, 2, slave=1)
        cpu0, wall0 = cpu_seconds(gate.pid), time.perf_counter()
        for _ in range(n):
            if client.read_holding_registers(2 * V_SOLL, 2, slave=1).isError():
                sys.exit("a read through qelgate failed")
        gate_cpu = (cpu_seconds(gate.pid) - cpu0) / n
        gate_wall = (time.perf_counter() - wall0) / n
        client.close()
    finally:
        for p in (gate, sim):
            if p is not None:
                p.terminate()
                p.wait()
    print(f"qelgate CPU per request, {n} reads on an immediate pty")
    print(f"  library alone: {lib_cpu * 1e3:.3f} ms CPU, {lib_wall * 1e3:.3f} ms wall per read")
    print(f"  qelgate:       {gate_cpu * 1e3:.3f} ms CPU, {gate_wall * 1e3:.3f} ms wall per request"
          " (wall includes the Python client)")
    print(f"  added by the gateway: {(gate_cpu - lib_cpu) * 1e3:.3f} ms CPU per request "
          "(goal < 0.5 ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
