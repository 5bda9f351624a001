// factors: the user-unit factor sets. Each run is a new process, so the
// global --factors/--factors-big options carry sets into other commands;
// this command shows the sets in effect, after applying its own arguments.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "args.h"
#include "command.h"
#include "format.h"
#include "reading.h"
#include "session.h"

namespace qelctl {
namespace {
using json = nlohmann::ordered_json;

struct FactorArgs {
  bool big = false;
  std::vector<std::string> values;
};

int Factors(Session& s, const FactorArgs& a) {
  if (!a.values.empty()) {
    if (a.values.size() != 3) throw UsageError("factors takes POS ACC VEL, all three or none");
    std::array<double, 3> f{};
    for (size_t i = 0; i < 3; ++i) f[i] = ParseFactor(a.values[i], "factor");
    s.SetFactors(a.big, f);
  }
  if (s.json()) {
    s.PrintJson(
        {{"standard", FactorSetJson(s.Factors(false))}, {"big", FactorSetJson(s.Factors(true))}});
    return kExitOk;
  }
  for (bool big : {false, true}) {
    const auto& f = s.Factors(big);
    char line[160];
    std::snprintf(line, sizeof line, "%-9s position %-12s acceleration %-12s velocity %s\n",
                  big ? "big" : "standard", FormatUser(f.position).c_str(),
                  FormatUser(f.acceleration).c_str(), FormatUser(f.velocity).c_str());
    s.out() << line;
  }
  return kExitOk;
}

}  // namespace

void AddFactorCommands(CLI::App& root, CommandList& out) {
  auto a = std::make_shared<FactorArgs>();
  auto* app = root.add_subcommand(
      "factors",
      "Set a factor set (user units per raw unit; 0 keeps a factor, a negative one "
      "inverts the direction) and show the sets in effect. To use a set with another command, give "
      "--factors or "
      "--factors-big before it.");
  app->add_flag("--big", a->big, "Set the big-motor set");
  app->add_option("FACTORS", a->values, "Position, acceleration and velocity factors")
      ->type_name("POS ACC VEL")
      ->expected(0, 3);
  out.push_back({app, [a](Session& s) { return Factors(s, *a); }});
}

}  // namespace qelctl
