// CQelCommCtrl for Python: the C++ method names, properties as attributes,
// out arguments returned in a tuple after the success flag.
#include <pybind11/stl.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "bindings.h"
#include "control.h"

namespace qelcomm::python {
namespace {

using Ctrl = CQelCommCtrl;

// A bytes-like object's contents, copied while the GIL is held.
std::vector<uint8_t> BytesOf(const py::object& data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  const auto* p = static_cast<const uint8_t*>(view.buf);
  std::vector<uint8_t> bytes(p, p + view.len);
  PyBuffer_Release(&view);
  return bytes;
}

[[noreturn]] void RaiseOsError(const std::system_error& e, const std::string& path) {
  const int code = e.code().value();
  PyErr_SetObject(PyExc_OSError, py::make_tuple(code, std::strerror(code), path).ptr());
  throw py::error_already_set();
}

// A method that only takes an address and gives a bool.
template <bool (Ctrl::*Method)(int16_t)>
void DefAddressCall(py::class_<Control>& c, const char* name, const char* doc) {
  c.def(
      name, [](Control& self, int16_t a) { return self.Run([&](Ctrl& x) { return (x.*Method)(a); }); },
      py::arg("address"), doc);
}

void DefProperties(py::class_<Control>& c) {
  c.def_property(
      "ComPort", [](Control& s) { return s.Run([](Ctrl& x) { return x.ComPort(); }); },
      [](Control& s, int16_t v) { s.Run([&](Ctrl& x) { x.SetComPort(v); }); },
      "Port number to open (used when PortName is empty).");
  c.def_property(
      "Retries", [](Control& s) { return s.Run([](Ctrl& x) { return x.Retries(); }); },
      [](Control& s, int16_t v) { s.Run([&](Ctrl& x) { x.SetRetries(v); }); },
      "Attempts per exchange.");
  c.def_property(
      "Baud", [](Control& s) { return s.Run([](Ctrl& x) { return x.Baud(); }); },
      [](Control& s, int32_t v) { s.Run([&](Ctrl& x) { x.SetBaud(v); }); },
      "Bit rate applied at OpenPort.");
  c.def_property(
      "GrpSends", [](Control& s) { return s.Run([](Ctrl& x) { return x.GrpSends(); }); },
      [](Control& s, int16_t v) { s.Run([&](Ctrl& x) { x.SetGrpSends(v); }); },
      "How often WriteGroup sends its unanswered telegram.");
  c.def_property(
      "PortName", [](Control& s) { return s.Run([](Ctrl& x) { return x.PortName(); }); },
      [](Control& s, std::string v) { s.Run([&](Ctrl& x) { x.SetPortName(std::move(v)); }); },
      "Device path to open instead of the one ComPort names, or a serial server line "
      "(rfc2217://HOST:PORT, tcp://HOST:PORT); '' uses ComPort.");
  c.def_property(
      "Echo", [](Control& s) { return s.Run([](Ctrl& x) { return x.Echo(); }); },
      [](Control& s, bool on) { s.Run([&](Ctrl& x) { x.SetEcho(on); }); },
      "Whether every send expects its own bytes back first (see SetEcho).");
  c.def_property(
      "ExtraWindowMs", [](Control& s) { return s.Run([](Ctrl& x) { return x.ExtraWindowMs(); }); },
      [](Control& s, uint32_t ms) { s.Run([&](Ctrl& x) { x.SetExtraWindowMs(ms); }); },
      "Milliseconds added to every reply and accept window (see SetExtraWindowMs).");
}

void DefRegisters(py::class_<Control>& c) {
  c.def(
      "WriteParameter",
      [](Control& s, int16_t a, int16_t reg, int32_t v) {
        return s.Run([&](Ctrl& x) { return x.WriteParameter(a, reg, v); });
      },
      py::arg("address"), py::arg("param_num"), py::arg("value"),
      "Writes a raw register value. Returns ok.");
  c.def(
      "ReadParameter",
      [](Control& s, int16_t a, int16_t reg) {
        int32_t v = 0;
        const bool ok = s.Run([&](Ctrl& x) { return x.ReadParameter(a, reg, v); });
        return py::make_tuple(ok, v);
      },
      py::arg("address"), py::arg("param_num"), "Reads a raw register. Returns (ok, value).");
  c.def(
      "ReadParameterAlternate",
      [](Control& s, int16_t a, int16_t reg) {
        float v = 0;
        const bool ok = s.Run([&](Ctrl& x) { return x.ReadParameterAlternate(a, reg, v); });
        return py::make_tuple(ok, v);
      },
      py::arg("address"), py::arg("param_num"),
      "Reads a register in user units. Returns (ok, value).");
  c.def(
      "WriteParameterAlternate",
      [](Control& s, int16_t a, int16_t reg, float v) {
        return s.Run([&](Ctrl& x) { return x.WriteParameterAlternate(a, reg, v); });
      },
      py::arg("address"), py::arg("param_num"), py::arg("value"),
      "Writes a register in user units; NaN, infinities and values out of range are refused "
      "(ERR_OS_INVALID_PARAMETER, nothing sent). Returns ok.");
  c.def(
      "GetParameterType",
      [](Control& s, int16_t a, int16_t reg) {
        return s.Run([&](Ctrl& x) { return x.GetParameterType(a, reg); });
      },
      py::arg("address"), py::arg("param_num"),
      "The register's type code for the motor's size; -1 when not listed.");
  c.def(
      "GetParamNumFromName",
      [](Control& s, int16_t a, const std::string& name) {
        return s.Run([&](Ctrl& x) { return x.GetParamNumFromName(a, name); });
      },
      py::arg("address"), py::arg("name"),
      "The register number of a name in the motor's table (letter case ignored); 0 if unknown.");
  c.def(
      "SetQELType",
      [](Control& s, int16_t a, bool big) { s.Run([&](Ctrl& x) { x.SetQELType(a, big); }); },
      py::arg("address"), py::arg("big"),
      "Marks an address big or standard-size; its table and factor set follow.");
  c.def(
      "SetFactors",
      [](Control& s, float p, float acc, float vel) {
        s.Run([&](Ctrl& x) { x.SetFactors(p, acc, vel); });
      },
      py::arg("pos_factor"), py::arg("acc_factor"), py::arg("vel_factor"),
      "User-unit factors of standard motors; 0 or NaN keeps a factor.");
  c.def(
      "SetFactorsBig",
      [](Control& s, float p, float acc, float vel) {
        s.Run([&](Ctrl& x) { x.SetFactorsBig(p, acc, vel); });
      },
      py::arg("pos_factor"), py::arg("acc_factor"), py::arg("vel_factor"),
      "User-unit factors of big motors; 0 or NaN keeps a factor.");
}

void DefMotorCommands(py::class_<Control>& c) {
  DefAddressCall<&Ctrl::Reset>(c, "Reset", "Restarts the motor through its safe mode. Returns ok.");
  DefAddressCall<&Ctrl::ResetWait>(
      c, "ResetWait", "Reset, then waits (5 s at most) until the motor answers. Returns ok.");
  DefAddressCall<&Ctrl::WriteToFlash>(c, "WriteToFlash",
                                      "Saves the registers to flash. Returns ok.");
  DefAddressCall<&Ctrl::WriteToFlashWait>(
      c, "WriteToFlashWait",
      "WriteToFlash, then waits (5 s at most) until the motor answers. Returns ok.");
  c.def(
      "ReadStatus",
      [](Control& s, int16_t a) {
        int16_t status = 0, errors = 0;
        int32_t position = 0;
        const bool ok = s.Run([&](Ctrl& x) { return x.ReadStatus(a, status, position, errors); });
        return py::make_tuple(ok, status, position, errors);
      },
      py::arg("address"), "Returns (ok, status, position, errcount).");
  c.def(
      "WriteGroup",
      [](Control& s, int16_t g, int16_t reg, int32_t v) {
        return s.Run([&](Ctrl& x) { return x.WriteGroup(g, reg, v); });
      },
      py::arg("group"), py::arg("register_no"), py::arg("value"),
      "Writes a register of every motor in a group, unanswered, GrpSends times. Returns ok.");
  c.def(
      "ResetSeqCounters", [](Control& s) { s.Run([](Ctrl& x) { x.ResetSeqCounters(); }); },
      "Restarts the group sequence numbers.");
}

void DefModule(py::class_<Control>& c) {
  c.def(
      "GetModuleType",
      [](Control& s, int16_t a) {
        int16_t type = 0, firmware = 0;
        const bool ok = s.Run([&](Ctrl& x) { return x.GetModuleType(a, type, firmware); });
        return py::make_tuple(ok, type, firmware);
      },
      py::arg("address"),
      "Returns (ok, module_type, firmware). A silent module gives False with no error code.");
  DefAddressCall<&Ctrl::VemoReset>(c, "VemoReset", "Restarts the module (unanswered).");
  DefAddressCall<&Ctrl::VemoStop>(c, "VemoStop", "Stops the module's program. Returns ok.");
  DefAddressCall<&Ctrl::VemoResetWait>(
      c, "VemoResetWait", "VemoReset, then waits until the module answers. Returns ok.");
  c.def(
      "VemoDebug",
      [](Control& s, int16_t a) {
        int16_t state = 0, inputs = 0, outputs = 0, mode = 0;
        int32_t time = 0, count = 0;
        const bool ok = s.Run(
            [&](Ctrl& x) { return x.VemoDebug(a, state, inputs, outputs, time, count, mode); });
        return py::make_tuple(ok, state, inputs, outputs, time, count, mode);
      },
      py::arg("address"), "Returns (ok, state, inputs, outputs, time, count, mode_cmd).");
  c.def(
      "VemoGet",
      [](Control& s, int16_t a, int16_t page) {
        std::vector<uint8_t> data;
        const bool ok = s.Run([&](Ctrl& x) { return x.VemoGet(a, page, data); });
        if (!ok) return py::make_tuple(false, py::none());
        return py::make_tuple(true, py::bytes(reinterpret_cast<const char*>(data.data()), data.size()));
      },
      py::arg("address"), py::arg("page"),
      "Reads one 128-byte page of the module. Returns (ok, data): bytes, or None on failure.");
  c.def(
      "VemoPut",
      [](Control& s, int16_t a, int16_t page, const py::object& data) {
        const std::vector<uint8_t> bytes = BytesOf(data);
        return s.Run([&](Ctrl& x) { return x.VemoPut(a, page, bytes); });
      },
      py::arg("address"), py::arg("page"), py::arg("data"),
      "Sends the first 128 bytes of a bytes-like object as a page. Fewer than 128 bytes raise "
      "ValueError with nothing sent. Returns ok.");
  DefAddressCall<&Ctrl::VemoWrite>(
      c, "VemoWrite", "Commits the pages sent; waits up to 7 s per attempt. Returns ok.");
  c.def(
      "VemoProgram",
      [](Control& s, int16_t a, const std::string& path, const py::object& progress) {
        ProgressRelay relay(progress);
        const ProgramProgressCallback callback = relay.Callback();
        bool ok = false;
        try {
          ok = s.Run([&](Ctrl& x) { return x.VemoProgram(a, path, callback); });
        } catch (const std::system_error& e) {
          RaiseOsError(e, path);
        }
        relay.RaiseIfPending();
        return ok;
      },
      py::arg("address"), py::arg("path"), py::arg("progress") = py::none(),
      "Loads an Intel HEX file and programs the module: stop, pages 0..3, write. progress, if "
      "given, is called with each ProgramProgress. A file that cannot be read raises OSError. "
      "Returns ok.");
}

void DefQup(py::class_<Control>& c) {
  c.def(
      "QupNOOP",
      [](Control& s, int16_t a) {
        int16_t v = 0;
        const bool ok = s.Run([&](Ctrl& x) { return x.QupNOOP(a, v); });
        return py::make_tuple(ok, v);
      },
      py::arg("address"), "Returns (ok, value).");
  DefAddressCall<&Ctrl::QupStart>(c, "QupStart", "Starts the module's program. Returns ok.");
  DefAddressCall<&Ctrl::QupStop>(c, "QupStop", "Stops the module's program. Returns ok.");
  DefAddressCall<&Ctrl::QupPause>(c, "QupPause", "Pauses the module's program. Returns ok.");
  c.def(
      "QupStep",
      [](Control& s, int16_t a, int16_t lo, int16_t hi) {
        return s.Run([&](Ctrl& x) { return x.QupStep(a, lo, hi); });
      },
      py::arg("address"), py::arg("min_address"), py::arg("max_address"),
      "Single-steps the program within an address range. Returns ok.");
  c.def(
      "QupSetOutputs",
      [](Control& s, int16_t a, int16_t outputs, int16_t mask) {
        return s.Run([&](Ctrl& x) { return x.QupSetOutputs(a, outputs, mask); });
      },
      py::arg("address"), py::arg("outputs"), py::arg("mask"),
      "Switches the outputs 0..3 selected by mask. Returns ok.");
  DefAddressCall<&Ctrl::QupReset>(c, "QupReset", "Restarts the program (unanswered).");
  DefAddressCall<&Ctrl::QupResetWait>(
      c, "QupResetWait", "QupReset, then waits until the module answers. Returns ok.");
}

}  // namespace

void BindControl(py::module_& m) {
  py::class_<Control> c(m, "CQelCommCtrl", R"(The control: one serial line, its motors and modules.

CQelCommCtrl() opens the host's serial ports; CQelCommCtrl(VirtualBus())
runs on the embedded virtual bus (port 1, motor 2 marked big). Methods
carry the C++ names; out arguments come back in a tuple after the success
flag. A failed call returns False and leaves a code for GetLastError.

Every call releases the GIL while it runs. One control is meant for one
thread at a time; calls from several threads are serialised.)");
  c.def(py::init<>());
  c.def(py::init<const VirtualBus&>(), py::arg("bus"));
  DefProperties(c);
  c.def(
      "SetTrace", [](Control& s, py::object cb) { s.SetTrace(std::move(cb)); }, py::arg("callback"),
      "callback(direction, time_ms, data) for every block sent, received or discarded; "
      "direction is 'sent', 'received', 'discarded' or 'echoed', data is bytes. None switches it "
      "off. An exception raised by the callback is raised when the call that traced returns.");
  c.def(
      "SetEcho", [](Control& s, bool on) { s.Run([&](Ctrl& x) { x.SetEcho(on); }); },
      py::arg("on"),
      "For RS-485 adapters that echo what they send: every send expects its own bytes back "
      "first and takes them off the line (ERR_ECHO_MISMATCH when they differ). Off by default.");
  c.def(
      "SetExtraWindowMs",
      [](Control& s, uint32_t ms) { s.Run([&](Ctrl& x) { x.SetExtraWindowMs(ms); }); },
      py::arg("ms"),
      "Widens every reply and accept window by ms, for slow or remote lines whose replies come "
      "late. 0 (the default) keeps the standard timing.");
  c.def(
      "Cancel", [](Control& s) { s.Cancel(); },
      "Ends the call in progress at once: it fails with ERR_CANCELLED (made while no call runs, "
      "it ends the next one). Safe from any thread; Ctrl-C does it for calls on the main thread.");
  c.def(
      "OpenPort", [](Control& s) { return s.Run([](Ctrl& x) { return x.OpenPort(); }); },
      "Opens PortName, or the device of ComPort, at Baud. Returns ok.");
  c.def(
      "ClosePort", [](Control& s) { s.Run([](Ctrl& x) { x.ClosePort(); }); }, "Closes the port.");
  c.def(
      "GetLastError", [](Control& s) { return s.Run([](Ctrl& x) { return x.GetLastError(); }); },
      "Reads and clears the last error code (0 = none).");
  c.def(
      "GetLastErrorStr",
      [](Control& s, int32_t code) { return s.Run([&](Ctrl& x) { return x.GetLastErrorStr(code); }); },
      py::arg("error"), "The text of an error code; 0 takes (and clears) the last error.");
  DefRegisters(c);
  c.def(
      "_diagnosis", [](Control& s, uint32_t code) { return s.Diagnosis(code); }, py::arg("code"),
      "Why the last call that used the line failed with `code`, in one line; '' when the line "
      "shows nothing the code does not say. QelError carries it.");
  c.def(
      "_width_note", [](Control& s, int address) { return s.WidthNote(address); },
      py::arg("address"),
      "After a read of a 16-bit register that succeeded: why its reply looks like a big "
      "motor's, or ''.");
  c.def(
      "_cpp_read_loop",
      [](Control& s, int16_t a, int16_t reg, int reads) {
        return s.Run([&](Ctrl& x) {
          int32_t v = 0;
          int ok = 0;
          for (int i = 0; i < reads; ++i) ok += x.ReadParameter(a, reg, v) ? 1 : 0;
          return ok;
        });
      },
      py::arg("address"), py::arg("param_num"), py::arg("reads"),
      "The benchmark's C++ reference: `reads` ReadParameter calls in one C++ loop; gives how "
      "many succeeded.");
  DefMotorCommands(c);
  DefModule(c);
  DefQup(c);
}

}  // namespace qelcomm::python
