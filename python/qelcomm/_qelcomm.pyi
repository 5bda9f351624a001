"""Types of the native module _qelcomm (the control, the virtual bus, the error codes)."""

import enum
from typing import Callable, Optional, Tuple, Union, overload

Buffer = Union[bytes, bytearray, memoryview]

ERR_ADDRESS_MISMATCH: int
ERR_ANSWER_LENGTH: int
ERR_BAD_ACCEPT: int
ERR_END_SYNC: int
ERR_INVERSION: int
ERR_LENGTH_MISMATCH: int
ERR_OS_INVALID_PARAMETER: int
ERR_PARAM_MISMATCH: int
ERR_PORT_INIT: int
ERR_PORT_NOT_OPEN: int
ERR_SAFE_MODE: int
ERR_START_SYNC: int
ERR_STATUS_ALLOC: int
ERR_STATUS_FREE: int
ERR_ECHO_MISMATCH: int
ERR_STATUS_NULL: int
ERR_STATUS_PURGE: int
ERR_STATUS_WRITE: int
ERR_TIMEOUT: int
ERR_UNSPECIFIED: int
ERR_WRITE_SHORT: int

def error_name(code: int) -> Optional[str]: ...
def extended_register_number(name: str) -> int: ...

class VirtualBus:
    """The embedded virtual bus, in virtual time.

A standard motor at address 1, a big motor at address 2 and a Vemo module
on motor 1, reachable as port 1 (or PortName 'sim'). Waits advance the
virtual clock and cost no real time. Controls sharing one bus take turns."""
    def __init__(self) -> None: ...

class ProgramProgress:
    """What VemoProgram is doing: step, and page of pages."""
    class Step(enum.Enum):
        STOP: int
        PAGE: int
        WRITE: int
        WAITING: int
    step: ProgramProgress.Step
    page: int
    pages: int

class CQelCommCtrl:
    """The control: one serial line, its motors and modules.

CQelCommCtrl() opens the host's serial ports; CQelCommCtrl(VirtualBus())
runs on the embedded virtual bus (port 1, motor 2 marked big). Methods
carry the C++ names; out arguments come back in a tuple after the success
flag. A failed call returns False and leaves a code for GetLastError.

Every call releases the GIL while it runs. One control is meant for one
thread at a time; calls from several threads are serialised."""

    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self, bus: VirtualBus) -> None: ...

    ComPort: int
    """Port number to open (used when PortName is empty)."""
    Retries: int
    """Attempts per exchange."""
    Baud: int
    """Bit rate applied at OpenPort."""
    GrpSends: int
    """How often WriteGroup sends its unanswered telegram."""
    PortName: str
    """Device path to open instead of the one ComPort names; '' uses ComPort."""

    def OpenPort(self) -> bool:
        """Opens PortName, or the device of ComPort, at Baud. Returns ok."""
    def ClosePort(self) -> None:
        """Closes the port."""
    def SetTrace(self, callback: Optional[Callable[[str, int, bytes], None]]) -> None:
        """callback(direction, time_ms, data) for every block sent, received or discarded; direction is 'sent', 'received', 'discarded' or 'echoed', data is bytes. None switches it off. An exception raised by the callback is raised when the call that traced returns."""
    def SetEcho(self, on: bool) -> None:
        """For RS-485 adapters that echo what they send: every send expects its own bytes back first and takes them off the line (ERR_ECHO_MISMATCH when they differ). Off by default."""
    def GetLastError(self) -> int:
        """Reads and clears the last error code (0 = none)."""
    def GetLastErrorStr(self, error: int) -> str:
        """The text of an error code; 0 takes (and clears) the last error."""
    def WriteParameter(self, address: int, param_num: int, value: int) -> bool:
        """Writes a raw register value. Returns ok."""
    def ReadParameter(self, address: int, param_num: int) -> Tuple[bool, int]:
        """Reads a raw register. Returns (ok, value)."""
    def ReadParameterAlternate(self, address: int, param_num: int) -> Tuple[bool, float]:
        """Reads a register in user units. Returns (ok, value)."""
    def WriteParameterAlternate(self, address: int, param_num: int, value: float) -> bool:
        """Writes a register in user units; NaN, infinities and values out of range are refused (ERR_OS_INVALID_PARAMETER, nothing sent). Returns ok."""
    def _cpp_read_loop(self, address: int, param_num: int, reads: int) -> int:
        """The benchmark's C++ reference: `reads` ReadParameter calls in one C++ loop; gives how many succeeded."""
    def GetParameterType(self, address: int, param_num: int) -> int:
        """The register's type code for the motor's size; -1 when not listed."""
    def GetParamNumFromName(self, address: int, name: str) -> int:
        """The register number of a name in the motor's table (letter case ignored); 0 if unknown."""
    def SetQELType(self, address: int, big: bool) -> None:
        """Marks an address big or standard-size; its table and factor set follow."""
    def SetFactors(self, pos_factor: float, acc_factor: float, vel_factor: float) -> None:
        """User-unit factors of standard motors; 0 or NaN keeps a factor."""
    def SetFactorsBig(self, pos_factor: float, acc_factor: float, vel_factor: float) -> None:
        """User-unit factors of big motors; 0 or NaN keeps a factor."""
    def ReadStatus(self, address: int) -> Tuple[bool, int, int, int]:
        """Returns (ok, status, position, errcount)."""
    def WriteGroup(self, group: int, register_no: int, value: int) -> bool:
        """Writes a register of every motor in a group, unanswered, GrpSends times. Returns ok."""
    def ResetSeqCounters(self) -> None:
        """Restarts the group sequence numbers."""
    def GetModuleType(self, address: int) -> Tuple[bool, int, int]:
        """Returns (ok, module_type, firmware). A silent module gives False with no error code."""
    def VemoDebug(self, address: int) -> Tuple[bool, int, int, int, int, int, int]:
        """Returns (ok, state, inputs, outputs, time, count, mode_cmd)."""
    def VemoGet(self, address: int, page: int) -> Tuple[bool, Optional[bytes]]:
        """Reads one 128-byte page of the module. Returns (ok, data): bytes, or None on failure."""
    def VemoPut(self, address: int, page: int, data: Buffer) -> bool:
        """Sends the first 128 bytes of a bytes-like object as a page. Fewer than 128 bytes raise ValueError with nothing sent. Returns ok."""
    def VemoProgram(self, address: int, path: str, progress: Optional[Callable[[ProgramProgress], None]] = None) -> bool:
        """Loads an Intel HEX file and programs the module: stop, pages 0..3, write. progress, if given, is called with each ProgramProgress. A file that cannot be read raises OSError. Returns ok."""
    def QupNOOP(self, address: int) -> Tuple[bool, int]:
        """Returns (ok, value)."""
    def QupStep(self, address: int, min_address: int, max_address: int) -> bool:
        """Single-steps the program within an address range. Returns ok."""
    def QupSetOutputs(self, address: int, outputs: int, mask: int) -> bool:
        """Switches the outputs 0..3 selected by mask. Returns ok."""
    def Reset(self, address: int) -> bool:
        """Restarts the motor through its safe mode. Returns ok."""
    def ResetWait(self, address: int) -> bool:
        """Reset, then waits (5 s at most) until the motor answers. Returns ok."""
    def WriteToFlash(self, address: int) -> bool:
        """Saves the registers to flash. Returns ok."""
    def WriteToFlashWait(self, address: int) -> bool:
        """WriteToFlash, then waits (5 s at most) until the motor answers. Returns ok."""
    def VemoReset(self, address: int) -> bool:
        """Restarts the module (unanswered)."""
    def VemoStop(self, address: int) -> bool:
        """Stops the module's program. Returns ok."""
    def VemoResetWait(self, address: int) -> bool:
        """VemoReset, then waits until the module answers. Returns ok."""
    def VemoWrite(self, address: int) -> bool:
        """Commits the pages sent; waits up to 7 s per attempt. Returns ok."""
    def QupStart(self, address: int) -> bool:
        """Starts the module's program. Returns ok."""
    def QupStop(self, address: int) -> bool:
        """Stops the module's program. Returns ok."""
    def QupPause(self, address: int) -> bool:
        """Pauses the module's program. Returns ok."""
    def QupReset(self, address: int) -> bool:
        """Restarts the program (unanswered)."""
    def QupResetWait(self, address: int) -> bool:
        """QupReset, then waits until the module answers. Returns ok."""
