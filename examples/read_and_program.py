#!/usr/bin/python3
"""Reads a few registers, moves a motor and programs its module.

    read_and_program.py                       # on the embedded virtual bus
    read_and_program.py --port /dev/ttyUSB0   # on real hardware

Needs the qelcomm package on the path (PYTHONPATH=<build>/python in a build
tree).
"""

import argparse
import pathlib
import sys

import qelcomm

DEMO_HEX = pathlib.Path(__file__).resolve().parents[1] / "tools" / "data" / "demo-module.hex"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", default="virtual", help="serial device (default: the virtual bus)")
    parser.add_argument("--baud", type=int, default=19200)
    parser.add_argument("--motor", type=int, default=1)
    parser.add_argument("--hex", default=str(DEMO_HEX), help="module program (Intel HEX)")
    args = parser.parse_args()
    motor = args.motor

    try:
        with qelcomm.open(args.port, baud=args.baud) as bus:
            for name in ("PROG_VERSION", "MODE_REG", "P_IST"):
                print(f"{name} = {bus.read(motor, name)}")
            print("status:", bus.status(motor))

            target = bus.read(motor, "P_IST") + 1000
            bus.write(motor, "P_SOLL", target)
            print(f"moving to {target}; now at {bus.status(motor).position}")

            print("module:", bus.module_info(motor))
            bus.program_module(motor, args.hex, progress=lambda p: print("  ", p))
            print("programmed", args.hex)
    except (qelcomm.QelError, OSError) as e:
        print("read_and_program:", e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
