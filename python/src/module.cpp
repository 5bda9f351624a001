// _qelcomm: the native half of the qelcomm package.
#include <algorithm>
#include <cctype>
#include <string>

#include "bindings.h"
#include "bus_object.h"
#include "control.h"
#include "qelcomm/errors.h"
#include "registers/catalogue.h"

namespace qelcomm::python {
namespace {

constexpr uint32_t kErrorCodes[] = {
    ERR_PORT_INIT,      ERR_PORT_NOT_OPEN,    ERR_WRITE_SHORT,    ERR_ANSWER_LENGTH,
    ERR_BAD_ACCEPT,     ERR_START_SYNC,       ERR_ADDRESS_MISMATCH, ERR_PARAM_MISMATCH,
    ERR_LENGTH_MISMATCH, ERR_INVERSION,       ERR_END_SYNC,       ERR_UNSPECIFIED,
    ERR_SAFE_MODE,      ERR_TIMEOUT,          ERR_STATUS_ALLOC,   ERR_STATUS_NULL,
    ERR_STATUS_PURGE,   ERR_STATUS_WRITE,     ERR_STATUS_FREE,    ERR_ECHO_MISMATCH,
};

void BindErrors(py::module_& m) {
  for (uint32_t code : kErrorCodes) m.attr(ErrorName(code)) = code;
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
      .def(py::init<>());
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

void BindCatalogue(py::module_& m) {
  m.def(
      "extended_register_number",
      [](const std::string& name) {
        for (const registers::ParamInfo& e : registers::ExtendedTable()) {
          const std::string entry = e.Name;
          if (entry.size() == name.size() &&
              std::equal(entry.begin(), entry.end(), name.begin(), [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) ==
                       std::toupper(static_cast<unsigned char>(b));
              })) {
            return static_cast<int>(e.Number) + 256;
          }
        }
        return 0;
      },
      py::arg("name"),
      "The number (257 and up) of a register of the extended range, every motor has; 0 if unknown.");
}

}  // namespace
}  // namespace qelcomm::python

PYBIND11_MODULE(_qelcomm, m) {
  using namespace qelcomm::python;
  m.doc() = "The QelComm control for Python; import the qelcomm package instead.";
  BindErrors(m);
  BindVirtualBus(m);
  BindProgress(m);
  BindCatalogue(m);
  BindControl(m);
}
