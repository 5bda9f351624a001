#!/usr/bin/python3
"""Register reads per second through Python, against the same reads in one
C++ loop, on one control and one pty with an immediate responder:

    python_read_bench.py BIN_DIR [READS]

BIN_DIR holds qelcomm_read_responder; the qelcomm package must be on the
path. Rounds alternate between the two so that both see the same machine
load (the machine may be shared); the best round of each counts. Prints the figures and the ratio.
"""

import subprocess
import sys
import time

import qelcomm

ROUNDS = 7


def python_loop(c: qelcomm.CQelCommCtrl, reads: int) -> int:
    read = c.ReadParameter
    return sum(1 for _ in range(reads) if read(1, 2)[0])


def cpp_loop(c: qelcomm.CQelCommCtrl, reads: int) -> int:
    return c._cpp_read_loop(1, 2, reads)


def reads_per_second(loop, c: qelcomm.CQelCommCtrl, reads: int) -> float:
    start = time.perf_counter()
    ok = loop(c, reads)
    secs = time.perf_counter() - start
    if ok != reads:
        sys.exit(f"only {ok} of {reads} reads succeeded")
    return reads / secs


def main() -> int:
    bin_dir = sys.argv[1]
    reads = int(sys.argv[2]) if len(sys.argv) > 2 else 1500
    tool = f"{bin_dir}/qelcomm_read_responder"
    responder = subprocess.Popen([tool, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
    try:
        c = qelcomm.CQelCommCtrl()
        c.PortName, c.Baud = responder.stdout.readline().strip(), 115200
        if not c.OpenPort():
            sys.exit(f"open failed: {c.GetLastErrorStr(0)}")
        cpp, py = [], []
        for _ in range(ROUNDS):
            cpp.append(reads_per_second(cpp_loop, c, reads))
            py.append(reads_per_second(python_loop, c, reads))
    finally:
        responder.stdin.close()
        responder.wait()
    best_cpp, best_py = max(cpp), max(py)
    print(f"register reads over a pty: C++ {best_cpp:.0f} reads/s, Python {best_py:.0f} reads/s, "
          f"ratio {best_py / best_cpp:.3f} (best of {ROUNDS} rounds of {reads})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
