import contextlib
import os
import pathlib
import subprocess

import pytest

import qelcomm

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEMO_HEX = ROOT / "tools" / "data" / "demo-module.hex"


@pytest.fixture
def ctrl():
    """The mirror control on a fresh virtual bus, open."""
    c = qelcomm.CQelCommCtrl(qelcomm.VirtualBus())
    assert c.OpenPort()
    return c


@contextlib.contextmanager
def qelsim(*args):
    """qelsim on a pseudo-terminal with `args`: the slave's path."""
    exe = os.environ.get("QELCOMM_QELSIM", str(ROOT / "build" / "release" / "bin" / "qelsim"))
    if not os.path.exists(exe):
        pytest.skip("qelsim not built (set QELCOMM_QELSIM)")
    sim = subprocess.Popen([exe, *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           text=True)
    try:
        yield sim.stdout.readline().strip()
    finally:
        sim.terminate()
        sim.wait()


@pytest.fixture(scope="module")
def qelsim_port():
    """qelsim on a pseudo-terminal: the slave's path."""
    with qelsim() as port:
        yield port
