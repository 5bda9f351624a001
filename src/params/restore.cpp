// Restoring a parameter set: what is written, what is left alone, and the
// read-back check.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "qelcomm/parameter_set.h"

namespace qelcomm::params {
namespace {
namespace reg = registers;
using json = nlohmann::ordered_json;

std::string SizeName(bool big) { return big ? "big" : "standard"; }

}  // namespace

std::string RestorePlan::SkippedText() const {
  std::string text;
  auto add = [&text](int n, const std::string& what) {
    if (n > 0) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  };
  add(live, "live (" + terms.live + " writes them)");
  add(read_only, "read-only");
  add(identity, "identity (" + terms.identity + " writes them)");
  return text.empty() ? "" : "left alone: " + text + " registers";
}

RestorePlan PlanRestore(const ParameterSet& set, const std::string& file, int address, bool big,
                        const RestoreOptions& options) {
  if (set.big && *set.big != big) {
    throw ParameterSetError(file + " holds the registers of a " + SizeName(*set.big) +
                            " motor; motor " + std::to_string(address) + " is taken as " +
                            SizeName(big) +
                            (big ? " (" + options.terms.big + ")"
                                 : " (" + options.terms.big + " selects a big one)") +
                            "; nothing was written");
  }
  RestorePlan plan;
  plan.address = address;
  plan.terms = options.terms;
  for (const Entry& e : set.entries) {
    switch (e.reg.role) {
      case reg::Role::kSetting: break;
      case reg::Role::kLive:
        if (!options.include_live) { ++plan.live; continue; }
        break;
      case reg::Role::kReadOnly: ++plan.read_only; continue;
      case reg::Role::kIdentity:
        if (!options.include_identity) { ++plan.identity; continue; }
        break;
    }
    plan.write.push_back(e);
  }
  std::stable_partition(plan.write.begin(), plan.write.end(),
                        [](const Entry& e) { return e.reg.role != reg::Role::kIdentity; });
  return plan;
}

RestoreResult Restore(const RestorePlan& plan, bool dry_run, const MotorAccess& motor,
                      const std::function<void(const Change&)>& on_change) {
  RestoreResult out;
  for (const Entry& e : plan.write) {
    Change c;
    c.reg = e.reg;
    c.from = motor.read(e.reg);
    c.to = e.raw;
    if (c.from == c.to) continue;
    if (!dry_run) {
      c.written = true;
      c.write_ok = motor.write(e.reg, e.raw);
      c.read_back = motor.read(e.reg);
      ++(c.StillDiffers() ? out.differences : out.written);
    }
    out.changes.push_back(c);
    if (on_change) on_change(c);
  }
  return out;
}

std::string RestoreResult::Json(const RestorePlan& plan, bool dry_run) const {
  json list = json::array();
  for (const Change& c : changes) {
    json j = {{"number", c.reg.number}, {"name", c.reg.name}, {"from", c.from}, {"to", c.to}};
    if (c.read_back) j["read_back"] = *c.read_back;
    list.push_back(j);
  }
  const json doc = {
      {"address", plan.address},
      {"dry_run", dry_run},
      {"changes", list},
      {"skipped", {{"live", plan.live}, {"read_only", plan.read_only}, {"identity", plan.identity}}},
      {"differences", differences},
      {"flashed", flashed}};
  return doc.dump(2) + "\n";
}

}  // namespace qelcomm::params
