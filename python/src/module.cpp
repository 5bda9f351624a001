// _qelcomm: the native half of the qelcomm package.
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <tuple>

#include "bindings.h"
#include "bus_object.h"
#include "control.h"
#include "interrupt.h"
#include "qelcomm/errors.h"
#include "qelcomm/catalogue.h"
#include "qelcomm/telegram_text.h"

namespace qelcomm::python {
namespace {

void BindErrors(py::module_& m) {
  // The library's list is the only one: the package and its stub take theirs from it.
  for (const ErrorCode& e : ErrorCodes()) m.attr(e.name) = e.code;
  m.attr("ERR_OS_INVALID_PARAMETER") = ERR_OS_INVALID_PARAMETER;
  m.def(
      "error_name",
      [](uint32_t code) -> py::object {
        const char* name = ErrorName(code);
        return name ? py::str(name) : py::object(py::none());
      },
      py::arg("code"), "The ERR_ name of one of the control's own codes, or None.");
}

void BindVirtualBus(py::module_& m) {
  py::class_<VirtualBus>(m, "VirtualBus", R"(The embedded virtual bus, in virtual time.

A standard motor at address 1, a big motor at address 2 and a Vemo module
on motor 1, reachable as port 1 (or PortName 'sim'). Waits advance the
virtual clock and cost no real time. Controls sharing one bus take turns.)")
      .def(py::init<>())
      .def_property_readonly_static(
          "big_motor", [](py::object) { return VirtualBus::kBigMotor; },
          "The address the controls on this bus mark big.");
}

void BindProgress(py::module_& m) {
  py::class_<ProgramProgress> progress(m, "ProgramProgress",
                                       "What VemoProgram is doing: step, and page of pages.");
  py::enum_<ProgramProgress::Step>(progress, "Step")
      .value("STOP", ProgramProgress::Step::kStop, "stopping the module")
      .value("PAGE", ProgramProgress::Step::kPage, "sending page `page` of `pages` (1-based)")
      .value("WRITE", ProgramProgress::Step::kWrite, "sending the write command")
      .value("WAITING", ProgramProgress::Step::kWaiting, "waiting for the module to answer again");
  progress.def_readonly("step", &ProgramProgress::step)
      .def_readonly("page", &ProgramProgress::page)
      .def_readonly("pages", &ProgramProgress::pages)
      .def("__repr__", [](const ProgramProgress& p) {
        const std::string step = py::str(py::cast(p.step).attr("name"));
        return "ProgramProgress(step=" + step + ", page=" + std::to_string(p.page) +
               ", pages=" + std::to_string(p.pages) + ")";
      });
}

using Factors = std::tuple<double, double, double>;  // position, acceleration, velocity

registers::Register Resolved(bool big, int number) {
  const auto reg = registers::RegisterByNumber(big, number);
  if (!reg) throw py::value_error("no telegram reaches register " + std::to_string(number));
  return *reg;
}

registers::ExactFactors Exact(const Factors& f) {
  return {std::get<0>(f), std::get<1>(f), std::get<2>(f)};
}

// The catalogue's lookups and its one checked conversion, as qelctl uses them.
void BindCatalogue(py::module_& m) {
  m.def(
      "extended_register_number",
      [](const std::string& name) {
        for (const registers::ParamInfo& e : registers::ExtendedTable()) {
          if (registers::EqualIgnoringCase(e.Name, name)) {
            return static_cast<int>(e.Number) + protocol::kExtendedBase;
          }
        }
        return 0;
      },
      py::arg("name"),
      "The number (257 and up) of a register of the extended range, every motor has; 0 if unknown.");
  m.def(
      "default_factors",
      [](bool big) {
        const auto f =
            registers::ExactFactorsOf(big ? registers::kBigFactors : registers::kStandardFactors);
        return Factors{f.position, f.acceleration, f.velocity};
      },
      py::arg("big"), "The factor set a motor starts with, as the numbers it stands for.");
  m.def(
      "units_to_raw",
      [](bool big, int number, double units, const Factors& factors) {
        const registers::Register reg = Resolved(big, number);
        const registers::CheckedRaw c = registers::UnitsToRaw(units, reg, Exact(factors));
        if (!c.ok()) {
          throw py::value_error("value " + std::to_string(units) + " is out of range for " +
                                reg.Label() + " (" + c.Why() + ")");
        }
        return c.raw;
      },
      py::arg("big"), py::arg("register"), py::arg("units"), py::arg("factors"),
      "The raw value of a value in units, checked against the register's range; ValueError "
      "when it does not fit.");
  m.def(
      "check_raw",
      [](bool big, int number, int64_t raw) {
        const registers::Register reg = Resolved(big, number);
        const registers::CheckedRaw c = registers::CheckRaw(raw, reg, {1.0, 1.0, 1.0});
        if (!c.ok()) {
          throw py::value_error("raw value " + std::to_string(raw) + " is out of range for " +
                                reg.Label() + " (" + registers::RangeText(registers::RangeOf(reg)) +
                                ")");
        }
        return c.raw;
      },
      py::arg("big"), py::arg("register"), py::arg("raw"),
      "A raw value checked against the register's range; ValueError when it does not fit.");
  m.def(
      "is_register_number", [](int64_t n) { return registers::IsRegisterNumber(n); },
      py::arg("number"), "Whether a telegram can address register `number`.");
  m.def(
      "registers",
      [](bool big) {
        py::list out;
        auto add = [&](const registers::ParamInfo& e, int base) {
          const auto reg = registers::RegisterByNumber(big, e.Number + base);
          if (!reg) return;
          const registers::RawRange range = registers::RangeOf(*reg);
          out.append(py::make_tuple(reg->number, reg->name, registers::RoleName(reg->role),
                                    reg->shape.is32 ? 32 : 16, range.min, range.max,
                                    reg->Scaled()));
        };
        for (const auto& e : big ? registers::BigTable() : registers::StandardTable()) add(e, 0);
        for (const auto& e : registers::ExtendedTable()) add(e, protocol::kExtendedBase);
        return out;
      },
      py::arg("big"),
      "The catalogue of a standard or big motor: (number, name, role, bits, min, max, scaled) "
      "for each register, the extended range included.");
  m.def(
      "describe",
      [](py::bytes telegram, bool from_host, bool big) {
        const std::string b = telegram;
        return DescribeTelegram(from_host, {reinterpret_cast<const uint8_t*>(b.data()), b.size()},
                                big);
      },
      py::arg("telegram"), py::arg("from_host") = true, py::arg("big") = false,
      "One telegram in words, as qelctl's trace shows it; '' when the bytes are not one "
      "well-formed telegram.");
  m.def(
      "raw_to_units",
      [](bool big, int number, int32_t raw, const Factors& factors) {
        return registers::RawToUnits(raw, Resolved(big, number), Exact(factors));
      },
      py::arg("big"), py::arg("register"), py::arg("raw"), py::arg("factors"),
      "What a raw value means in units.");
}

}  // namespace
}  // namespace qelcomm::python

PYBIND11_MODULE(_qelcomm, m) {
  using namespace qelcomm::python;
  m.doc() = "The QelComm control for Python; import the qelcomm package instead.";
  NoteMainThread();
  BindErrors(m);
  BindVirtualBus(m);
  BindProgress(m);
  BindCatalogue(m);
  BindControl(m);
  BindParameterSets(m);
}
