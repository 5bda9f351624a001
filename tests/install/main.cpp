// Links against the installed library and uses its public headers.
#include <cstdio>

#include <qelcomm/QelCommCtrl.h>
#include <qelcomm/parameter_set.h>

int main() {
  qelcomm::CQelCommCtrl ctrl;
  if (ctrl.Retries() != 5 || ctrl.Baud() != 19200) return 1;
  if (ctrl.GetParamNumFromName(1, "P_SOLL") != 3) return 1;
  // Parameter sets are read without the user needing a JSON library.
  const auto set = qelcomm::params::ParseParameterSet(
      R"({"table": "standard", "registers": [{"number": 260, "raw": 4}]})", "set.json", false,
      qelcomm::registers::ExactFactorsOf(qelcomm::registers::kStandardFactors));
  if (set.entries.size() != 1 || set.entries[0].raw != 4) return 1;
  std::puts("installed qelcomm: ok");
  return 0;
}
