// A parameter set as a user may have edited it: any text is either read or
// refused with ParameterSetError, and what is read holds only raw values its
// registers can hold, which the restore plan then sorts by role.
#include <cstdint>
#include <string>

#include "check.h"
#include "qelcomm/parameter_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace params = qelcomm::params;
  namespace reg = qelcomm::registers;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool big = size % 2 == 1;
  try {
    const params::ParameterSet set =
        params::ParseParameterSet(text, "f", big, reg::ExactFactorsOf(reg::kStandardFactors));
    for (const params::Entry& e : set.entries) {
      const reg::RawRange range = reg::RangeOf(e.reg);
      const int64_t raw = e.reg.shape.is32 || range.min < 0 ? e.raw : int64_t(uint16_t(e.raw));
      FUZZ_CHECK(raw >= range.min && raw <= range.max);
    }
    params::RestoreOptions options;
    options.include_live = size % 3 == 0;
    const params::RestorePlan plan = params::PlanRestore(set, "f", 1, big, options);
    FUZZ_CHECK(plan.write.size() + size_t(plan.live + plan.read_only + plan.identity) ==
               set.entries.size());
  } catch (const params::ParameterSetError&) {
  }
  return 0;
}
