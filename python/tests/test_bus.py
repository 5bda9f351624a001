import os
import signal
import threading
import time

import pytest

import qelcomm
from conftest import DEMO_HEX, qelsim


def test_reads_by_name_and_number_in_raw_and_user_units():
    with qelcomm.open() as bus:
        assert bus.read(1, "MODE_REG") == bus.read(1, 2) == 2
        assert bus.read(1, "groupid") == bus.read(1, 256 + 4)  # extended range, any case
        bus.write(1, "V_SOLL", 100.0, units=True)
        assert bus.read(1, "V_SOLL", units=True) == pytest.approx(100.0, rel=1e-2)
        assert bus.read(1, "V_SOLL") != 100  # the raw value is scaled
        bus.set_factors(0, 0, 2.0)
        assert bus.read(1, "V_SOLL", units=True) == pytest.approx(bus.read(1, "V_SOLL") * 2.0)


def test_named_tuples_and_module_programming():
    bus = qelcomm.open()
    s = bus.status(1)
    assert isinstance(s, qelcomm.Status) and s == (s.status, s.position, s.errors)
    assert bus.module_info(1) == qelcomm.ModuleInfo(module_type=3, firmware=17)
    events = []
    bus.program_module(1, DEMO_HEX, progress=events.append)
    assert [(e.step, e.page) for e in events] == [
        ("stop", None), ("page", 0), ("page", 1), ("page", 2), ("page", 3), ("write", None),
        ("waiting", None), ("done", None)], "pages counted as qelctl counts them, then done"
    assert len(bus.read_page(1, 0)) == 128


def test_failures_raise_qel_error_with_code_and_message():
    bus = qelcomm.open(retries=1)
    with pytest.raises(qelcomm.QelError) as timeout:
        bus.read(7, "MODE_REG")  # no motor 7
    assert timeout.value.code != 0
    assert timeout.value.message == bus.ctrl.GetLastErrorStr(timeout.value.code)
    with pytest.raises(qelcomm.QelError) as silent:
        bus.module_info(2)  # motor 2 has no module: no answer, no code
    assert silent.value.code == 0
    with pytest.raises(qelcomm.QelError) as unknown:
        bus.read(1, "NO_SUCH_REGISTER")
    assert unknown.value.code == qelcomm.ERR_OS_INVALID_PARAMETER
    with pytest.raises(qelcomm.QelError):
        qelcomm.open("/dev/qelcomm-no-such-port")
    with pytest.raises(qelcomm.QelError) as refused:  # a server line, but nobody listens
        qelcomm.open("tcp://127.0.0.1:1")
    assert "refused" in refused.value.message
    with pytest.raises(qelcomm.QelError) as unknown_host:  # the diagnosis qelctl gives
        qelcomm.open("rfc2217://no-such-host.invalid:4001")
    assert unknown_host.value.diagnosis.endswith(" does not resolve")


def test_big_addresses_use_the_big_table(qelsim_port):
    with qelcomm.open(qelsim_port, baud=19200, retries=3, big=[2]) as bus:
        bus.write(2, "V_SOLL", 100000)  # 32-bit on a big motor only
        assert bus.read(2, "V_SOLL") == 100000
        assert bus.ctrl.GetParameterType(2, 5) != bus.ctrl.GetParameterType(1, 5)
        bus.set_big(2, False)
        assert bus.ctrl.GetParameterType(2, 5) == bus.ctrl.GetParameterType(1, 5)


def test_values_in_units_are_checked_as_qelctl_checks_them():
    with qelcomm.open() as bus:
        bus.write(1, "V_SOLL", 1000.0, units=True)
        raw = bus.read(1, "V_SOLL")
        with pytest.raises(qelcomm.QelError) as refused:
            bus.write(1, "V_SOLL", 20000.0, units=True)  # raw 41946 on a 16-bit register
        assert refused.value.code == qelcomm.ERR_OS_INVALID_PARAMETER
        assert "out of range for V_SOLL" in refused.value.message
        assert bus.read(1, "V_SOLL") == raw  # nothing was sent
        shown = bus.read(1, "V_SOLL", units=True)
        bus.write(1, "V_SOLL", shown, units=True)  # a value shown writes back the same raw value
        assert bus.read(1, "V_SOLL") == raw
        bus.write(2, "V_SOLL", 20000.0, units=True)  # 32 bits on the big motor
        assert bus.read(2, "V_SOLL", units=True) == pytest.approx(20000.0, abs=0.5)


def test_qel_error_says_what_the_line_showed():
    bus = qelcomm.open(retries=1, echo=True)  # the virtual bus hands back no echo
    with pytest.raises(qelcomm.QelError) as failed:
        bus.read(1, "MODE_REG")
    assert failed.value.code == qelcomm.ERR_ECHO_MISMATCH
    assert failed.value.diagnosis == ("what came back first was not our request: if the adapter "
                                      "does not echo, leave out open(..., echo=True)")
    assert str(failed.value).endswith(failed.value.diagnosis)
    bus.ctrl.SetEcho(False)
    with pytest.raises(qelcomm.QelError) as silent:
        bus.read(7, "MODE_REG")  # nobody at 7
    assert silent.value.diagnosis != failed.value.diagnosis


@pytest.fixture
def silent_line():
    """A pseudo-terminal whose far end never answers: its slave's path."""
    master, slave = os.openpty()
    try:
        yield os.ttyname(slave)
    finally:
        os.close(slave)
        os.close(master)


def test_ctrl_c_ends_a_call_at_once(silent_line):
    bus = qelcomm.open(silent_line, retries=5)  # a read would take 500 ms
    threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        bus.read(1, "MODE_REG")
    assert time.monotonic() - start < 0.3

    threading.Timer(0.1, bus.ctrl.Cancel).start()  # from another thread, no signal
    start = time.monotonic()
    with pytest.raises(qelcomm.QelError) as cancelled:
        bus.read(1, "MODE_REG")
    assert cancelled.value.code == qelcomm.ERR_CANCELLED
    assert time.monotonic() - start < 0.3
    assert bus.ctrl.ReadParameter(1, 2)[0] is False  # the next call runs its full course again
    assert bus.ctrl.GetLastError() == qelcomm.ERR_ANSWER_LENGTH


def test_extra_window_is_set_at_open():
    assert qelcomm.open(extra_window_ms=80).ctrl.ExtraWindowMs == 80
    assert qelcomm.open().ctrl.ExtraWindowMs == 0


def test_values_and_arguments_are_refused_before_anything_is_sent():
    bus = qelcomm.open()
    sent = []
    bus.set_trace(lambda direction, t, data: sent.append(direction))
    before = bus.read(1, "V_SOLL")
    sent.clear()
    refused = [
        lambda: bus.write(1, "V_SOLL", 20000, units=True),  # raw 41946 on 16 bits
        lambda: bus.write(1, "V_SOLL", 99999),  # raw beyond 16 bits
        lambda: bus.write(1, "V_SOLL", 12.5),  # not an integer
        lambda: bus.write(1, "V_SOLL", "12"),
        lambda: bus.write(256, "V_SOLL", 1),
        lambda: bus.read(-1, "MODE_REG"),
        lambda: bus.read(1, 0),
        lambda: bus.read(1, 256),
        lambda: bus.read(1, 512),
        lambda: bus.read_page(1, 4),
    ]
    for call in refused:
        with pytest.raises(ValueError) as why:
            call()
        assert isinstance(why.value, qelcomm.QelError)
        assert why.value.code == qelcomm.ERR_OS_INVALID_PARAMETER
    assert sent == [], "a refused call sent something"
    assert bus.read(1, "V_SOLL") == before
    bus.write(1, "V_SOLL", 50.0)  # an integral float is the integer
    assert bus.read(1, "V_SOLL") == 50


def test_an_unset_port_never_selects_the_virtual_bus():
    for port in (None, "", b""):
        with pytest.raises(ValueError):
            qelcomm.open(port)
    for retries in (0, 101):
        with pytest.raises(ValueError):
            qelcomm.open("virtual", retries=retries)
    assert qelcomm.open("virtual").read(1, "MODE_REG") == 2


def test_the_catalogue_with_roles_and_telegrams_in_words():
    standard = {r.name: r for r in qelcomm.registers()}
    assert standard["P_SOLL"].role == "live" and standard["P_SOLL"].bits == 32
    assert standard["ADDRESS"].number == 259 and standard["ADDRESS"].role == "identity"
    assert (standard["V_SOLL"].min, standard["V_SOLL"].max) == (-32768, 32767)
    assert {r.role for r in qelcomm.registers(big=True)} <= {"setting", "live", "read-only",
                                                            "identity"}
    request = bytes([0x50, 0x50, 0x50, 0x01, 0xFE, 0x03, 0xFC, 0xAA, 0xAA])
    assert qelcomm.describe(request) == "read motor 1 register P_SOLL (3)"
    assert qelcomm.describe(b"\x01\x02") == ""


def test_a_trace_callback_with_four_arguments_gets_the_telegram_in_words():
    bus = qelcomm.open()
    lines, blocks = [], []
    bus.set_trace(lambda direction, t, data, text: lines.append((direction, text)))
    bus.read(1, "P_SOLL")
    assert lines[0] == ("sent", "read motor 1 register P_SOLL (3)")
    assert lines[-1][0] == "received" and lines[-1][1]
    bus.set_trace(lambda direction, t, data: blocks.append(data))  # three still work
    bus.read(1, "P_SOLL")
    assert len(blocks) == 2


def test_scan_finds_the_motors_as_qelctl_does():
    bus = qelcomm.open(retries=5)
    found = bus.scan()
    assert [(e.address, e.big) for e in found] == [(1, False), (2, True)]
    assert found[0].module == qelcomm.ModuleInfo(3, 17) and found[1].module is None
    assert found[0].prog_version == bus.read(1, "PROG_VERSION")
    assert bus.ctrl.Retries == 5, "the scan's single attempt is not left behind"
    assert bus.scan(3, 9) == []
    with pytest.raises(ValueError):
        bus.scan(9, 3)


def test_scan_takes_a_reply_32_bits_wide_for_a_big_motor():
    with qelsim("--set", "2:PROG_VERSION=0x10312") as port, qelcomm.open(port) as bus:
        assert [(e.address, e.big) for e in bus.scan(1, 2)] == [(1, False), (2, True)]


def test_a_refused_file_is_named(tmp_path):
    bad = tmp_path / "bad.hex"
    bad.write_text(":zz\n")
    with pytest.raises(qelcomm.QelError) as refused:
        qelcomm.open().program_module(1, bad)
    assert refused.value.path == str(bad)
    assert str(bad) in str(refused.value)
