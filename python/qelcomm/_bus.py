"""The Pythonic layer: a bus object whose failures raise QelError."""

from __future__ import annotations

import builtins
import inspect
import json
import os
from typing import Callable, Iterable, NamedTuple, Optional, Union

from . import _qelcomm

Register = Union[int, str]
_PROG_VERSION = 1


class QelError(Exception):
    """A failed exchange: .code is the control's error code (0 when a module
    did not answer at all), .message the control's own text for it, and
    .diagnosis what the line showed, in the words qelctl uses ('' when it
    adds nothing to the code), and .path the file the call read, if any."""

    def __init__(self, code: int, message: str, diagnosis: str = "",
                 path: Optional[str] = None) -> None:
        text = f"{message} (code {code:#x})" if code else message
        if path is not None:
            text = f"{path}: {text}"
        super().__init__(f"{text}: {diagnosis}" if diagnosis else text)
        self.code = code
        self.message = message
        self.diagnosis = diagnosis
        self.path = path


class RefusedValue(QelError, ValueError):
    """An argument refused before anything was sent: a ValueError, and a
    QelError with code ERR_OS_INVALID_PARAMETER as the control reports one.
    .path: the file refused, whose name the message starts with."""

    def __init__(self, message: str, path: Optional[str] = None) -> None:
        super().__init__(_qelcomm.ERR_OS_INVALID_PARAMETER, message)
        self.path = path


class RestoreDifference(QelError):
    """A restore that wrote registers which still read back otherwise:
    .report is what bus.restore() returns, its 'differences' above 0."""

    def __init__(self, report: dict) -> None:
        super().__init__(0, f"motor {report['address']}: {report['differences']} registers "
                            "still differ after the restore")
        self.report = report


def _whole(value: object, what: str) -> int:
    """An integer argument; bools, fractions and non-numbers are refused."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise RefusedValue(f"{what} must be an integer, not {value!r}")
    if isinstance(value, float) and not value.is_integer():
        raise RefusedValue(f"{what} must be an integer, not {value!r}")
    return int(value)


def _takes_four(callback: Callable[..., None]) -> bool:
    try:
        inspect.signature(callback).bind(None, None, None, None)
    except (TypeError, ValueError):
        return False
    return True


def _address(address: object) -> int:
    a = _whole(address, "a motor address")
    if not 0 <= a <= 255:
        raise RefusedValue(f"motor address {a} is outside 0..255")
    return a


class RegisterEntry(NamedTuple):
    """One register of the catalogue. role: 'setting', 'live', 'read-only' or
    'identity'; min and max bound its raw values; scaled: values in user
    units differ from raw ones."""
    number: int
    name: str
    role: str
    bits: int
    min: int
    max: int
    scaled: bool


def registers(big: bool = False) -> list[RegisterEntry]:
    """The catalogue of a standard (or big) motor, with each register's role."""
    return [RegisterEntry(*entry) for entry in _qelcomm.registers(big)]


def describe(telegram: bytes, from_host: bool = True, big: bool = False) -> str:
    """One telegram in words, as qelctl's trace shows it ('' when malformed)."""
    return _qelcomm.describe(bytes(telegram), from_host, big)


class ProgramEvent(NamedTuple):
    """One step of programming a module. step: 'stop', 'page', 'write',
    'waiting', then 'done' once the module answers again; page: the page
    being sent (0..3, as qelctl shows it), else None; pages: pages sent in all."""
    step: str
    page: Optional[int]
    pages: int


class ScanEntry(NamedTuple):
    """A motor that answered a scan: its PROG_VERSION, whether the bus marks
    it big, and its module (None without one)."""
    address: int
    prog_version: int
    big: bool
    module: Optional[ModuleInfo]


def _is_reply_error(code: int) -> bool:
    """Something answered, but not properly (rather than the port failing)."""
    return _qelcomm.ERR_ANSWER_LENGTH <= code <= _qelcomm.ERR_END_SYNC


class Status(NamedTuple):
    status: int
    position: int
    errors: int


class ModuleInfo(NamedTuple):
    module_type: int
    firmware: int


class Bus:
    """One serial line (or the virtual bus) with its motors and modules.

    Made by qelcomm.open(). Every method blocks until its exchange ends
    (never forever) and releases the GIL meanwhile. A bus is meant for one
    thread at a time. The mirror control is bus.ctrl.
    """

    def __init__(self, ctrl: _qelcomm.CQelCommCtrl, big: Iterable[int] = ()) -> None:
        self.ctrl = ctrl
        self._big: set[int] = set()
        # Values in units convert through the catalogue with these, in double
        # precision, as qelctl converts them.
        self._factors = {False: _qelcomm.default_factors(False), True: _qelcomm.default_factors(True)}
        for address in big:
            self.set_big(address)

    # -- setup -------------------------------------------------------------
    def set_big(self, address: int, big: bool = True) -> None:
        """Marks an address big (big register table and factor set) or standard."""
        self.ctrl.SetQELType(address, big)
        # The control flags an address by its low byte.
        (self._big.add if big else self._big.discard)(address & 0xFF)

    def set_factors(self, position: float, acceleration: float, velocity: float,
                    big: bool = False) -> None:
        """User-unit factors of standard (or big) motors; 0 keeps a factor."""
        setter = self.ctrl.SetFactorsBig if big else self.ctrl.SetFactors
        setter(position, acceleration, velocity)
        given = (position, acceleration, velocity)
        self._factors[big] = tuple(old if not new or new != new else float(new)
                                   for old, new in zip(self._factors[big], given))

    def set_trace(self, callback: Optional[Callable[..., None]]) -> None:
        """callback(direction, time_ms, data) for every block on the line; None
        stops it. A callback that takes a fourth argument also gets the block
        in words, as qelctl's trace shows it ('' for what is not one telegram)."""
        if callback is None or not _takes_four(callback):
            self.ctrl.SetTrace(callback)
            return

        def with_text(direction: str, time_ms: int, data: bytes) -> None:
            from_host = direction in ("sent", "echoed")
            big = len(data) > 3 and data[3] in self._big
            callback(direction, time_ms, data, describe(data, from_host, big))
        self.ctrl.SetTrace(with_text)

    def close(self) -> None:
        """Closes the port; the bus can be opened again with reopen()."""
        self.ctrl.ClosePort()

    def reopen(self) -> None:
        """Opens the port again (after close() or a changed setting)."""
        self._check(self.ctrl.OpenPort(), "opening the port")

    def __enter__(self) -> "Bus":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -- registers ---------------------------------------------------------
    def register(self, address: int, reg: Register) -> int:
        """The number of a register given by number or name (motor's table, then
        the extended range). An unknown name raises QelError (ERR_OS_INVALID_PARAMETER)."""
        address = _address(address)
        if not isinstance(reg, str):
            number = _whole(reg, "a register number")
            if not _qelcomm.is_register_number(number):
                raise RefusedValue(f"register {number} is outside 1..255 and 257..511")
            return number
        number = self.ctrl.GetParamNumFromName(address, reg) or _qelcomm.extended_register_number(reg)
        if not number:
            raise QelError(_qelcomm.ERR_OS_INVALID_PARAMETER,
                           f"unknown register {reg!r} for motor {address}")
        return number

    def read(self, address: int, reg: Register, units: bool = False) -> Union[int, float]:
        """A register's value: raw int, or float in user units with units=True."""
        number = self.register(address, reg)
        address = _address(address)
        ok, value = self.ctrl.ReadParameter(address, number)
        self._check(ok, f"reading register {reg} of motor {address}")
        if units:
            big = (address & 0xFF) in self._big
            return _qelcomm.raw_to_units(big, number, value, self._factors[big])
        return value

    def write(self, address: int, reg: Register, value: Union[int, float],
              units: bool = False) -> None:
        """Writes a register: raw int, or in user units with units=True. A value
        whose raw form does not fit the register, or a raw value that is not
        an integer, raises RefusedValue (a ValueError and a QelError with
        ERR_OS_INVALID_PARAMETER) and sends nothing."""
        number = self.register(address, reg)
        address = _address(address)
        big = address in self._big
        try:
            if units:
                value = _qelcomm.units_to_raw(big, number, float(value), self._factors[big])
            else:
                value = _qelcomm.check_raw(big, number, _whole(value, "a raw value"))
        except (ValueError, TypeError) as refused:
            raise RefusedValue(str(refused)) from None
        ok = self.ctrl.WriteParameter(address, number, value)
        self._check(ok, f"writing register {reg} of motor {address}")

    def write_group(self, group: int, reg: Register, value: int) -> None:
        """Writes a raw register of every motor in a group (unanswered); a name is
        looked up in the table of address 0."""
        number = reg if isinstance(reg, int) else self.register(0, reg)
        self._check(self.ctrl.WriteGroup(group, number, value), f"writing group {group}")

    # -- parameter sets ----------------------------------------------------
    def dump(self, address: int, path: Union[str, os.PathLike, None] = None) -> dict:
        """Every catalogued register of a motor, as qelctl dump writes it: the
        address, table, factor sets, and per register its number, name, raw
        value, value in units and role. A register that does not answer is
        listed with its 'error'. With path, also written to that file. A reply
        wider than a standard motor sends raises QelError (mark it big=), as
        does a motor of which no register answers."""
        address = _address(address)
        big = address in self._big

        def read(number: int, is32: bool) -> Union[int, str]:
            ok, value = self.ctrl.ReadParameter(address, number)
            code = self.ctrl.GetLastError()
            if not ok:
                return self.ctrl.GetLastErrorStr(code) if code else "no answer"
            note = "" if big or is32 else self.ctrl._width_note(address)
            if note:
                raise QelError(0, f"reading register {number} of motor {address}: {note}")
            return value
        text, answered, missing = _qelcomm.dump_parameter_set(address, big, self._factors[big], read)
        if not answered:
            raise QelError(0, f"dumping motor {address}: none of its {missing} registers answered")
        if path is not None:
            with builtins.open(os.fspath(path), "w", encoding="utf-8") as f:
                f.write(text)
        return json.loads(text)

    def restore(self, address: int, source: Union[str, os.PathLike, dict], dry_run: bool = False,
                flash: bool = False, include_live: bool = False,
                include_identity: bool = False) -> dict:
        """Writes a parameter set back, by qelctl restore's rules: source is a
        file dump wrote (or one edited by hand), or what bus.dump() returned.
        Settings only: live registers with include_live (targets such as
        P_SOLL move the motor), identities (ADDRESS, SERIALNUMBER) with
        include_identity; read-only ones never. Only registers that differ are
        written, each read back; flash saves them once all took. A file that
        cannot be used (bad JSON, a name that is not its number's, raw and
        value that disagree, the other motor size) raises RefusedValue before
        anything is sent; a register still different afterwards raises
        RestoreDifference. Gives the report: 'changes' (number, name, from,
        to, read_back), 'skipped' counts, 'differences', 'flashed'."""
        address = _address(address)
        big = address in self._big
        path = None
        if isinstance(source, dict):
            name, text = "the parameter set", json.dumps(source)
        else:
            path = name = os.fspath(source)
            with builtins.open(path, encoding="utf-8") as f:
                text = f.read()

        def read(number: int) -> int:
            ok, value = self.ctrl.ReadParameter(address, number)
            self._check(ok, f"reading register {number} of motor {address}", path)
            return value

        def write(number: int, raw: int) -> bool:
            ok = self.ctrl.WriteParameter(address, number, raw)
            self.ctrl.GetLastError()  # the read back says what took
            return ok
        try:
            report, _ = _qelcomm.restore_parameter_set(
                text, name, address, big, self._factors[big], dry_run, include_live,
                include_identity, read, write,
                (lambda: self.save_to_flash(address)) if flash else None)
        except ValueError as refused:
            raise RefusedValue(str(refused), path) from None
        result = json.loads(report)
        if result["differences"]:
            raise RestoreDifference(result)
        return result

    # -- motor commands ----------------------------------------------------
    def status(self, address: int) -> Status:
        """The motor's (status, position, errors)."""
        ok, *values = self.ctrl.ReadStatus(address)
        self._check(ok, f"reading the status of motor {address}")
        return Status(*values)

    def reset(self, address: int, wait: bool = True) -> None:
        """Restarts the motor; with wait, returns once it answers again (5 s at most)."""
        call = self.ctrl.ResetWait if wait else self.ctrl.Reset
        self._check(call(address), f"resetting motor {address}")

    def save_to_flash(self, address: int, wait: bool = True) -> None:
        """Saves the motor's registers to flash; with wait, until it answers again."""
        call = self.ctrl.WriteToFlashWait if wait else self.ctrl.WriteToFlash
        self._check(call(address), f"saving motor {address} to flash")

    def scan(self, first: int = 1, last: int = 255) -> list[ScanEntry]:
        """The motors that answer at addresses first..last, as qelctl scan finds
        them: one attempt per address, so a silent one costs one reply window.
        A garbled reply skips its address; a failing port raises QelError."""
        first, last = _address(first), _address(last)
        if first > last:
            raise RefusedValue(f"first address {first} is above last {last}")
        retries = self.ctrl.Retries
        self.ctrl.Retries = 1
        try:
            return [e for e in (self._probe(a) for a in range(first, last + 1)) if e]
        finally:
            self.ctrl.Retries = retries

    def _probe(self, address: int) -> Optional[ScanEntry]:
        ok, version = self.ctrl.ReadParameter(address, _PROG_VERSION)
        code = self.ctrl.GetLastError()
        if not ok:
            if code and not _is_reply_error(code):
                self._check(ok, f"scanning address {address}")
            return None
        # A reply 32 bits wide comes from a big motor, marked so or not.
        big = address in self._big or bool(self.ctrl._width_note(address))
        ok, module_type, firmware = self.ctrl.GetModuleType(address)
        code = self.ctrl.GetLastError()
        if not ok and code and not _is_reply_error(code):
            self._check(ok, f"scanning address {address}, module")
        module = ModuleInfo(module_type, firmware) if ok else None
        return ScanEntry(address, version, big, module)

    # -- modules -----------------------------------------------------------
    def module_info(self, address: int) -> ModuleInfo:
        """The (module_type, firmware) of the module on a motor."""
        ok, *values = self.ctrl.GetModuleType(address)
        self._check(ok, f"asking the module on motor {address}")
        return ModuleInfo(*values)

    def read_page(self, address: int, page: int) -> bytes:
        """One 128-byte page (0..3) of the module's memory."""
        address = _address(address)
        if _whole(page, "a page") not in range(4):
            raise RefusedValue(f"page {page} is outside 0..3")
        ok, data = self.ctrl.VemoGet(address, page)
        self._check(ok, f"reading page {page} of the module on motor {address}")
        return data

    def program_module(self, address: int, path: Union[str, os.PathLike],
                       progress: Optional[Callable[[ProgramEvent], None]] = None) -> None:
        """Programs the module from an Intel HEX file; progress(ProgramEvent) on
        each step, and a last 'done' event once it succeeded. A file that
        cannot be read raises OSError."""
        address = _address(address)
        relay = None
        pages = []
        if progress is not None:
            def relay(p: _qelcomm.ProgramProgress) -> None:
                step = p.step.name.lower()
                pages[:] = [p.pages]
                progress(ProgramEvent(step, p.page - 1 if step == "page" else None, p.pages))
        ok = self.ctrl.VemoProgram(address, os.fspath(path), relay)
        self._check(ok, f"programming the module on motor {address}", os.fspath(path))
        if progress is not None:
            progress(ProgramEvent("done", None, pages[0] if pages else 0))

    # -- errors ------------------------------------------------------------
    def _check(self, ok: bool, what: str, path: Optional[str] = None) -> None:
        # Always taken, so that a retried success does not leave its code
        # for the next call.
        code = self.ctrl.GetLastError()
        if ok:
            return
        diagnosis = self.ctrl._diagnosis(code)
        if code == 0:
            raise QelError(0, f"{what}: no answer", diagnosis, path)
        raise QelError(code, self.ctrl.GetLastErrorStr(code), diagnosis, path)


VIRTUAL = "virtual"


def open(port: Union[str, int, os.PathLike] = VIRTUAL, baud: int = 19200, retries: int = 5,
         big: Iterable[int] = (), grp_sends: int = 3, echo: bool = False,
         extra_window_ms: int = 0) -> Bus:
    """Opens a bus: a device path ('/dev/ttyUSB0'), a line on a serial server
    ('rfc2217://host:4001', 'tcp://host:4001'), a port number, or "virtual"
    (the default) for the embedded virtual bus (motor 1 standard, motor 2
    big, a module on motor 1). None and "" raise ValueError, so that an unset
    setting never selects the virtual bus. Addresses in big use the big
    table and factor set. retries is 1..100, as in qelctl. Raises
    QelError when the port cannot be opened. echo: the adapter hands back
    what it sends (RS-485 without echo suppression), see SetEcho.
    extra_window_ms: added to every reply window, for slow or remote lines."""
    if port is None or isinstance(port, bool) or (
            not isinstance(port, int) and not os.fspath(port)):
        raise RefusedValue(f"no port given ({port!r}); name a device, or \"virtual\" for the "
                           "embedded virtual bus")
    if not 1 <= _whole(retries, "retries") <= 100:
        raise RefusedValue(f"retries {retries} is outside 1..100")
    if port == VIRTUAL:
        ctrl = _qelcomm.CQelCommCtrl(_qelcomm.VirtualBus())
        big = (*big, _qelcomm.VirtualBus.big_motor)  # the control marks it already
    else:
        ctrl = _qelcomm.CQelCommCtrl()
        if isinstance(port, int):
            ctrl.ComPort = port
        else:
            ctrl.PortName = os.fspath(port)
    ctrl.Baud = baud
    ctrl.Retries = retries
    ctrl.GrpSends = grp_sends
    ctrl.SetEcho(echo)
    ctrl.SetExtraWindowMs(extra_window_ms)
    bus = Bus(ctrl, big)
    bus.reopen()
    return bus
