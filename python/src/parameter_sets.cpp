// Parameter sets for the Python layer: the library's dump and restore, with
// the motor read and written through the bus's own calls, so that their
// failures raise QelError as every other call's do.
#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include <tuple>

#include "bindings.h"
#include "qelcomm/parameter_set.h"

namespace qelcomm::python {
namespace {
namespace py = pybind11;
using Factors = std::tuple<double, double, double>;  // position, acceleration, velocity

registers::ExactFactors Exact(const Factors& f) {
  return {std::get<0>(f), std::get<1>(f), std::get<2>(f)};
}

// A refused file as ValueError, its text naming the file and entry.
template <class F>
auto Refusing(F&& f) {
  try {
    return f();
  } catch (const params::ParameterSetError& e) {
    throw py::value_error(e.what());
  }
}

}  // namespace

void BindParameterSets(py::module_& m) {
  m.def(
      "dump_parameter_set",
      [](int address, bool big, const Factors& factors, const py::function& read) {
        const auto result = params::Dump(
            address, big, Exact(factors),
            [&](const registers::Register& r, int32_t& raw, std::string& why) {
              const py::object got = read(r.number, r.shape.is32);
              if (py::isinstance<py::str>(got)) {
                why = got.cast<std::string>();
                return false;
              }
              raw = got.cast<int32_t>();
              return true;
            });
        return py::make_tuple(result.text, result.read, result.missing);
      },
      py::arg("address"), py::arg("big"), py::arg("factors"), py::arg("read"),
      "Dumps a motor: read(number, is32) gives a register's raw value, or why it could not be "
      "read as a str. Gives (JSON text, registers read, registers missing).");
  m.def(
      "restore_parameter_set",
      [](const std::string& text, const std::string& file, int address, bool big,
         const Factors& factors, bool dry_run, bool include_live, bool include_identity,
         const py::function& read, const py::function& write, const py::object& flash) {
        params::RestoreOptions options;
        options.include_live = include_live;
        options.include_identity = include_identity;
        options.terms = {"include_live=True", "include_identity=True", "big="};
        const params::RestorePlan plan = Refusing([&] {
          return params::PlanRestore(
              params::ParseParameterSet(text, file, big, Exact(factors)), file, address, big,
              options);
        });
        params::MotorAccess motor{
            [&](const registers::Register& r) { return read(r.number).cast<int32_t>(); },
            [&](const registers::Register& r, int32_t raw) {
              return write(r.number, raw).cast<bool>();
            }};
        params::RestoreResult result = params::Restore(plan, dry_run, motor);
        if (result.ShouldFlash(!flash.is_none(), dry_run)) {
          flash();
          result.flashed = true;
        }
        return py::make_tuple(result.Json(plan, dry_run), plan.SkippedText());
      },
      py::arg("text"), py::arg("file"), py::arg("address"), py::arg("big"), py::arg("factors"),
      py::arg("dry_run"), py::arg("include_live"), py::arg("include_identity"), py::arg("read"),
      py::arg("write"), py::arg("flash"),
      "Restores a parameter set read from `text` (named `file` in messages): settings only "
      "unless include_live / include_identity, only what differs, each read back. read(number) "
      "gives a raw value, write(number, raw) gives ok, flash() (None: no flash) saves once "
      "everything took. Gives (JSON report, what was left alone); a refused file raises "
      "ValueError before anything is read.");
}

}  // namespace qelcomm::python
