// Dumping a motor's registers into a parameter set.
#include <nlohmann/json.hpp>

#include "qelcomm/parameter_set.h"

namespace qelcomm::params {
namespace {
namespace reg = registers;
using json = nlohmann::ordered_json;

json FactorsJson(const reg::ExactFactors& f) {
  return {{"position", reg::ShownUnits(f.position)},
          {"acceleration", reg::ShownUnits(f.acceleration)},
          {"velocity", reg::ShownUnits(f.velocity)}};
}

// As a reading shows it: the value in units and the raw value where the
// register is scaled, else the raw value alone.
json EntryJson(const reg::Register& r, int32_t raw, const reg::ExactFactors& factors) {
  json j = {{"number", r.number}, {"name", r.name.empty() ? json() : json(r.name)}};
  if (r.Scaled()) {
    j["value"] = reg::ShownUnits(reg::RawToUnits(raw, r, factors));
    j["raw"] = raw;
  } else {
    j["value"] = raw;
  }
  j["scaled"] = r.Scaled();
  j["role"] = reg::RoleName(r.role);
  return j;
}

}  // namespace

std::vector<reg::Register> DumpRegisters(bool big) {
  std::vector<reg::Register> out;
  for (const reg::ParamInfo& e : big ? reg::BigTable() : reg::StandardTable()) {
    if (auto r = reg::RegisterByNumber(big, e.Number)) out.push_back(*r);
  }
  for (const reg::ParamInfo& e : reg::ExtendedTable()) {
    if (auto r = reg::RegisterByNumber(big, e.Number + protocol::kExtendedBase)) out.push_back(*r);
  }
  return out;
}

DumpResult Dump(int address, bool big, const reg::ExactFactors& factors, const DumpRead& read) {
  DumpResult out;
  json regs = json::array();
  for (const reg::Register& r : DumpRegisters(big)) {
    int32_t raw = 0;
    std::string why;
    if (read(r, raw, why)) {
      ++out.read;
      regs.push_back(EntryJson(r, raw, factors));
      continue;
    }
    ++out.missing;
    regs.push_back(
        {{"number", r.number}, {"name", r.name}, {"role", reg::RoleName(r.role)}, {"error", why}});
  }
  const json doc = {{"address", address},
                    {"table", big ? "big" : "standard"},
                    {"factors", FactorsJson(factors)},
                    {"registers", regs}};
  out.text = doc.dump(2) + "\n";
  return out;
}

}  // namespace qelcomm::params
