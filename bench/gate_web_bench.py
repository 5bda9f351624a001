#!/usr/bin/python3
"""qelgate's web API on a paced qelsim line at 115200 bit/s:

    gate_web_bench.py BIN_DIR [SECONDS]

BIN_DIR holds qelsim and qelgate; the qelcomm package must be on the path
(gate_load_bench.py, next to this file, measures the library alone).

- Plotting: a plot stream samples 4 registers as fast as the bus allows
  (period_ms=0), against the C++ library reading the same line alone (its
  reads per second over 4: one sample is 4 reads of the same length).
- Requests that need no bus (the page, the last scan, the bus list) are
  timed meanwhile, with the bus kept busy by the plot.

A plot that gives no samples fails the run; the figures and their ratios to
the goals only print.
"""

import http.client
import json
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from gate_load_bench import BAUD, free_port, library_rate  # the same line, read alone

SIGNALS = "1:P_IST,1:V_IST,2:P_IST,2:V_IST"
TOKEN = "0badc0ffee0ddf00d0badc0ffee0ddf0"


def plot_samples_per_s(port, seconds, started):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.request("GET", f"/api/buses/bus0/plot?period_ms=0&signals={SIGNALS}",
              headers={"Authorization": "Bearer " + TOKEN})
    r = c.getresponse()
    if r.status != 200:
        sys.exit(f"plot: {r.status} {r.read()!r}")
    times = []
    while True:
        line = r.fp.readline().decode()
        if not line:
            sys.exit("the plot stream ended")
        if not line.startswith("data: ") or '"values"' not in line:
            continue
        sample = json.loads(line[6:])
        if None in sample["values"]:
            sys.exit("a sample's read failed: " + line)
        times.append(sample["t"])
        if len(times) == 20:
            started.set()  # the bus is busy from here on
        if times[-1] - times[0] > seconds * 1000 and len(times) > 20:
            break
    c.close()
    # Samples after the first twenty, over the time they took.
    return (len(times) - 21) / ((times[-1] - times[20]) / 1000)


def time_requests(port, stop, latencies):
    paths = ["/", "/api/buses/bus0/motors", "/api/buses"]
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    i = 0
    while not stop.is_set():
        path = paths[i % len(paths)]
        i += 1
        start = time.perf_counter()
        c.request("GET", path, headers={"Authorization": "Bearer " + TOKEN})
        r = c.getresponse()
        r.read()
        latencies.append((time.perf_counter() - start) * 1000)
        if r.status != 200:
            sys.exit(f"{path}: {r.status}")
        time.sleep(0.01)
    c.close()


def main():
    bin_dir = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    sim = subprocess.Popen([f"{bin_dir}/qelsim", "--pace", "--baud", str(BAUD),
                            "--motor", "1", "--motor", "2"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    gate = None
    token = tempfile.NamedTemporaryFile("w", suffix=".token")
    try:
        token.write(TOKEN)
        token.flush()
        device = sim.stdout.readline().strip()
        alone = library_rate(device, min(5.0, seconds)) / 4  # a sample is 4 reads of one length
        port = free_port()
        gate = subprocess.Popen([f"{bin_dir}/qelgate", "--port", device, "--baud", str(BAUD),
                                 "--listen", f"127.0.0.1:{free_port()}",
                                 "--http", f"127.0.0.1:{port}", "--token-file", token.name],
                                stderr=subprocess.PIPE, text=True)
        for _ in range(3):
            if "web page" in gate.stderr.readline():
                break
        started, stop, latencies = threading.Event(), threading.Event(), []
        timer = threading.Thread(
            target=lambda: (started.wait(10), time_requests(port, stop, latencies)))
        timer.start()
        try:
            plotted = plot_samples_per_s(port, seconds, started)
        finally:
            stop.set()
            timer.join()
    finally:
        for p in (gate, sim):
            if p is not None:
                p.terminate()
                p.wait()
        token.close()
    p95 = statistics.quantiles(latencies, n=20)[18] if len(latencies) >= 20 else float("nan")
    print(f"qelgate web: plot of 4 registers at the bus's limit, {BAUD} bit/s paced, {seconds:.0f} s")
    print(f"  library alone     {alone:7.1f} samples/s")
    print(f"  qelgate's plot    {plotted:7.1f} samples/s  ({plotted / alone:.2f}x; goal >= 0.9x)")
    print(f"  requests without the bus, while it plots: p95 {p95:.1f} ms over {len(latencies)} "
          f"({p95 / 50:.2f}x the 50 ms goal; goal <= 1x)")


if __name__ == "__main__":
    main()
