// The restore rules as the library applies them, without a motor: the order
// of writes and the read-back check. Files are tested through qelctl and
// Python.
#include <gtest/gtest.h>

#include <map>

#include "qelcomm/parameter_set.h"

namespace qelcomm::params {
namespace {

ParameterSet SetOf(std::initializer_list<std::pair<int, int32_t>> entries) {
  ParameterSet set;
  for (const auto& [number, raw] : entries) {
    set.entries.push_back({*registers::RegisterByNumber(false, number), raw});
  }
  return set;
}

TEST(ParameterSet, IdentitiesComeLastSoTheRestIsInPlaceBeforeAnAddressChanges) {
  RestoreOptions options;
  options.include_identity = true;
  // ADDRESS, then GROUPID: a new address first would leave GROUPID unwritten.
  const RestorePlan plan = PlanRestore(SetOf({{259, 1}, {260, 4}}), "f", 3, false, options);
  ASSERT_EQ(plan.write.size(), 2u);
  EXPECT_EQ(plan.write[0].reg.number, 260);
  EXPECT_EQ(plan.write[1].reg.number, 259);
}

TEST(ParameterSet, OnlyWhatDiffersIsWrittenAndWhatReadsBackWrongIsCounted) {
  std::map<int, int32_t> motor = {{260, 4}, {261, 0}, {265, 0}};
  MotorAccess access{[&](const registers::Register& r) { return motor.at(r.number); },
                     [&](const registers::Register& r, int32_t raw) {
                       if (r.number == 265) return false;                // refused
                       motor[r.number] = r.number == 261 ? raw - 1 : raw;  // takes another
                       return true;
                     }};
  const RestorePlan plan =
      PlanRestore(SetOf({{260, 4}, {261, 7}, {265, 9}}), "f", 1, false, RestoreOptions{});
  const RestoreResult dry = Restore(plan, true, access);
  EXPECT_EQ(dry.changes.size(), 2u);
  EXPECT_EQ(motor[261], 0) << "a dry run writes nothing";
  EXPECT_FALSE(dry.ShouldFlash(true, true));

  const RestoreResult result = Restore(plan, false, access);
  EXPECT_EQ(result.written, 0);
  EXPECT_EQ(result.differences, 2);
  EXPECT_FALSE(result.ShouldFlash(true, false)) << "a half-restored set is not saved";
  EXPECT_EQ(result.changes[0].read_back, 6);
  EXPECT_FALSE(result.changes[1].write_ok);
}

}  // namespace
}  // namespace qelcomm::params
