#!/usr/bin/python3
"""Register reads per second through Python, against the same reads in one
C++ loop, on one control and one pty with an immediate responder:

    python_read_bench.py BIN_DIR [READS]

BIN_DIR holds qelcomm_read_responder; the qelcomm package must be on the
path. Both loops run in this process, on the same control, line and
responder, so that they differ only in where the loop is. After a warm-up
of each, short blocks alternate as C++, Python, Python, C++, so that a
change of machine load (the machine may be shared) falls on both alike.
Each group of four gives both rates and their ratio; the medians of those
are the figures, which one disturbed block cannot move.
"""

import statistics
import subprocess
import sys
import time

import qelcomm

BLOCK = 250  # reads per block: short, so that both see the same load


def python_loop(c: qelcomm.CQelCommCtrl, reads: int) -> int:
    read = c.ReadParameter
    return sum(1 for _ in range(reads) if read(1, 2)[0])


def cpp_loop(c: qelcomm.CQelCommCtrl, reads: int) -> int:
    return c._cpp_read_loop(1, 2, reads)


def seconds(loop, c: qelcomm.CQelCommCtrl, reads: int) -> float:
    start = time.perf_counter()
    ok = loop(c, reads)
    secs = time.perf_counter() - start
    if ok != reads:
        sys.exit(f"only {ok} of {reads} reads succeeded")
    return secs


def measure(c: qelcomm.CQelCommCtrl, reads: int):
    for loop in (cpp_loop, python_loop):
        seconds(loop, c, BLOCK)  # warm-up: caches, branch predictors, the tty's buffers
    cpp, py, ratios = [], [], []
    for _ in range(max(1, reads // (4 * BLOCK))):
        a = seconds(cpp_loop, c, BLOCK)
        p = seconds(python_loop, c, BLOCK) + seconds(python_loop, c, BLOCK)
        a += seconds(cpp_loop, c, BLOCK)
        cpp.append(2 * BLOCK / a)
        py.append(2 * BLOCK / p)
        ratios.append(a / p)  # Python's rate over C++'s
    median = statistics.median
    return median(cpp), median(py), median(ratios), len(ratios)


def main() -> int:
    bin_dir = sys.argv[1]
    reads = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    tool = f"{bin_dir}/qelcomm_read_responder"
    responder = subprocess.Popen([tool, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
    try:
        c = qelcomm.CQelCommCtrl()
        c.PortName, c.Baud = responder.stdout.readline().strip(), 115200
        if not c.OpenPort():
            sys.exit(f"open failed: {c.GetLastErrorStr(0)}")
        cpp, py, ratio, pairs = measure(c, reads)
    finally:
        responder.stdin.close()
        responder.wait()
    print(f"register reads over a pty: C++ {cpp:.0f} reads/s, Python {py:.0f} reads/s, "
          f"ratio {ratio:.3f} (medians of {pairs} groups of 4 interleaved blocks of {BLOCK} reads)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
