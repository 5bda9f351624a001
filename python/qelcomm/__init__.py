"""QelComm: Qel servo motors and Vemo modules over a serial line.

Two layers:

* qelcomm.CQelCommCtrl, the control with its C++ method names: properties
  as attributes, out arguments in a tuple after the success flag
  (``ok, value = c.ReadParameter(1, 2)``), failures as False plus
  GetLastError(). qelcomm.CQelCommCtrl(qelcomm.VirtualBus()) runs on the
  embedded virtual bus.
* qelcomm.open(), a Bus whose methods return values and raise QelError::

      with qelcomm.open("/dev/ttyUSB0") as bus:   # open() alone: the virtual bus
          bus.read(1, "MODE_REG")

Blocking calls release the GIL. A control (or bus) is meant for one thread
at a time.
"""

from . import _qelcomm
from ._qelcomm import CQelCommCtrl, ProgramProgress, VirtualBus, error_name
from ._bus import Bus, ModuleInfo, QelError, Status, open

from ._qelcomm import (  # the error codes
    ERR_PORT_INIT, ERR_PORT_NOT_OPEN, ERR_WRITE_SHORT,
    ERR_ANSWER_LENGTH, ERR_BAD_ACCEPT, ERR_START_SYNC,
    ERR_ADDRESS_MISMATCH, ERR_PARAM_MISMATCH, ERR_LENGTH_MISMATCH,
    ERR_INVERSION, ERR_END_SYNC, ERR_UNSPECIFIED,
    ERR_SAFE_MODE, ERR_TIMEOUT, ERR_STATUS_ALLOC,
    ERR_STATUS_NULL, ERR_STATUS_PURGE, ERR_STATUS_WRITE,
    ERR_STATUS_FREE, ERR_ECHO_MISMATCH, ERR_OS_INVALID_PARAMETER,
)

__all__ = ["Bus", "CQelCommCtrl", "ModuleInfo", "ProgramProgress", "QelError", "Status",
           "VirtualBus", "error_name", "open"] + [k for k in dir() if k.startswith("ERR_")]
