import threading
import time

import pytest

import qelcomm
from conftest import DEMO_HEX


def test_out_arguments_come_back_as_tuples(ctrl):
    assert ctrl.ReadParameter(1, ctrl.GetParamNumFromName(1, "MODE_REG")) == (True, 2)
    ok, status, position, errcount = ctrl.ReadStatus(1)
    assert ok and all(isinstance(v, int) for v in (status, position, errcount))
    assert ctrl.GetModuleType(1) == (True, 3, 17)
    assert len(ctrl.VemoDebug(1)) == 7 and ctrl.VemoDebug(1)[0]
    assert ctrl.QupNOOP(1) == (True, 0x1234)
    ok, page = ctrl.VemoGet(1, 0)
    assert ok and isinstance(page, bytes) and len(page) == 128
    assert ctrl.VemoGet(9, 0) == (False, None) and ctrl.GetLastError() == 0


def test_properties_and_error_contract():
    c = qelcomm.CQelCommCtrl(qelcomm.VirtualBus())
    c.Retries, c.Baud, c.GrpSends, c.PortName = 2, 115200, 4, "nowhere"
    assert (c.ComPort, c.Retries, c.Baud, c.GrpSends, c.PortName) == (1, 2, 115200, 4, "nowhere")
    assert not c.OpenPort()
    code = c.GetLastError()
    assert code != 0 and c.GetLastError() == 0  # read and cleared
    assert isinstance(c.GetLastErrorStr(code), str)
    assert c.GetLastErrorStr(qelcomm.ERR_TIMEOUT) == c.GetLastErrorStr(0x2000000D)
    assert qelcomm.error_name(qelcomm.ERR_ANSWER_LENGTH) == "ERR_ANSWER_LENGTH"


def test_vemo_put_takes_bytes_like_and_refuses_short_pages(ctrl):
    sent = []
    ctrl.SetTrace(lambda d, t, data: sent.append(data) if d == "sent" else None)
    with pytest.raises(ValueError):
        ctrl.VemoPut(1, 0, bytes(127))
    with pytest.raises(TypeError):
        ctrl.VemoPut(1, 0, "not bytes")
    assert sent == []
    assert ctrl.VemoPut(1, 0, memoryview(bytearray(range(128))))
    assert ctrl.VemoGet(1, 0) == (True, bytes(range(128)))


def test_trace_reports_both_directions_and_can_be_switched_off(ctrl):
    events = []
    ctrl.SetTrace(lambda *e: events.append(e))
    ctrl.ReadParameter(1, 2)
    assert [e[0] for e in events] == ["sent", "received"]
    assert all(isinstance(t, int) and isinstance(d, bytes) and d for _, t, d in events)
    ctrl.SetTrace(None)
    ctrl.ReadParameter(1, 2)
    assert len(events) == 2


def test_echo_expects_the_request_back(ctrl):
    # The virtual bus does not echo: with echo on, every attempt misses it.
    ctrl.SetEcho(True)
    assert ctrl.ReadParameter(1, 2) == (False, 0)
    assert ctrl.GetLastError() == qelcomm.ERR_ECHO_MISMATCH
    ctrl.SetEcho(False)
    assert ctrl.ReadParameter(1, 2) == (True, 2)


def test_callback_exception_is_raised_after_the_call(ctrl):
    calls = []

    def failing(*event):
        calls.append(event)
        raise KeyError("from the trace")

    ctrl.SetTrace(failing)
    with pytest.raises(KeyError, match="from the trace"):
        ctrl.ReadParameter(1, 2)
    assert len(calls) == 1  # later events of that call are not delivered
    ctrl.SetTrace(None)
    assert ctrl.ReadParameter(1, 2) == (True, 2)


def test_vemo_program_reports_progress_and_maps_file_errors(ctrl, tmp_path):
    events = []
    assert ctrl.VemoProgram(1, str(DEMO_HEX), events.append)
    steps = [e.step for e in events]
    S = qelcomm.ProgramProgress.Step
    assert steps[0] == S.STOP and steps[-1] == S.WAITING and steps.count(S.PAGE) == 4
    assert [e.page for e in events if e.step == S.PAGE] == [1, 2, 3, 4]
    with pytest.raises(OSError) as missing:
        ctrl.VemoProgram(1, str(tmp_path / "absent.hex"))
    assert missing.value.errno == 2 and missing.value.filename.endswith("absent.hex")
    with pytest.raises(ZeroDivisionError):
        ctrl.VemoProgram(1, str(DEMO_HEX), lambda e: 1 / 0)


def test_blocking_call_releases_the_gil(qelsim_port):
    c = qelcomm.CQelCommCtrl()
    c.PortName, c.Retries = qelsim_port, 1
    assert c.OpenPort()
    ticks, done = [0], threading.Event()

    def watchdog():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0.01)

    thread = threading.Thread(target=watchdog)
    thread.start()
    start = time.monotonic()
    ok = c.ResetWait(9)  # nobody answers address 9: the whole 5 s wait
    elapsed = time.monotonic() - start
    done.set()
    thread.join()
    assert not ok and c.GetLastError() == qelcomm.ERR_TIMEOUT
    assert elapsed > 4.5 and ticks[0] > 100
