#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/virtual_port.h"
#include "registers/catalogue.h"

namespace qelcomm {
namespace {

using registers::ParamInfo;
using registers::ScaleClass;

void ExpectWellFormed(std::span<const ParamInfo> table, size_t count, int32_t last,
                      const char* last_name) {
  ASSERT_EQ(table.size(), count);
  std::set<std::string> names;
  for (size_t i = 0; i < table.size(); ++i) {
    const ParamInfo& e = table[i];
    if (i > 0) {
      EXPECT_LT(table[i - 1].Number, e.Number) << e.Name;
    }
    EXPECT_TRUE(names.insert(e.Name).second) << "duplicate " << e.Name;
    const bool wide_type = e.Type == 2 || e.Type == 5 || e.Type == 6;
    EXPECT_EQ(e.Is32Bit, wide_type ? 1 : 0) << e.Name;
    EXPECT_LE(std::string(e.Name).size(), 17u);
    for (char c : std::string(e.Name)) {
      EXPECT_TRUE((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') << e.Name;
    }
  }
  EXPECT_EQ(table.back().Number, last);
  EXPECT_STREQ(table.back().Name, last_name);
}

TEST(Catalogue, TablesAreWellFormed) {
  ExpectWellFormed(registers::StandardTable(), 139, 158, "CHECKSUM");
  ExpectWellFormed(registers::BigTable(), 154, 206, "CHKSUM");
  ExpectWellFormed(registers::ExtendedTable(), 14, 102, "CAPTUREDPOSITION2");
  EXPECT_EQ(registers::LastRegister(registers::StandardTable()), 158);
  EXPECT_EQ(registers::LastRegister(registers::BigTable()), 206);
  EXPECT_EQ(registers::LastRegister(registers::ExtendedTable()), 358);
}

TEST(Catalogue, SpotEntries) {
  auto check = [](bool big, int16_t reg, int32_t is32, int16_t type, ScaleClass s, float f) {
    const auto p = registers::FindParamInfo(big, reg);
    EXPECT_TRUE(p.listed) << reg;
    EXPECT_EQ(p.Is32Bit, is32) << reg;
    EXPECT_EQ(p.Type, type) << reg;
    EXPECT_EQ(p.Scaling, s) << reg;
    EXPECT_EQ(p.Factor, f) << reg;
  };
  check(false, 3, 1, 2, ScaleClass::Position, 1.0f);         // P_SOLL
  check(false, 12, 0, 1, ScaleClass::Velocity, 0.0625f);     // V_IST
  check(false, 16, 0, 0, ScaleClass::None, 0.045454547f);    // I2T
  check(false, 124, 0, 0, ScaleClass::ElectricalAngle, 1.0f);
  check(false, 151, 0, 0, ScaleClass::None, 0.0537f);        // U_SUPPLY
  check(true, 13, 1, 5, ScaleClass::None, 1.0f);             // KVOUT
  check(true, 121, 1, 6, ScaleClass::None, 1.0f);            // KFF5
  check(true, 198, 1, 2, ScaleClass::None, 0.81324995f);     // U_BUS
  check(true, 191, 1, 2, ScaleClass::ElectricalAngle, 1.0f); // V_ELDEG
  check(false, 257, 0, 1, ScaleClass::None, 1.0f);           // VERSION
  check(true, 358, 1, 2, ScaleClass::None, 1.0f);            // CAPTUREDPOSITION2
}

TEST(Catalogue, TypeLookupThroughControl) {
  CQelCommCtrl ctrl(std::make_shared<VirtualPlatform>());
  EXPECT_EQ(ctrl.GetParameterType(5, 3), 2);
  EXPECT_EQ(ctrl.GetParameterType(5, 13), 4);
  ctrl.SetQELType(5, true);
  EXPECT_EQ(ctrl.GetParameterType(5, 13), 5);
  EXPECT_EQ(ctrl.GetParameterType(5, 4), -1);  // second half of a 32-bit register
  ctrl.SetQELType(5, false);
  for (int16_t reg : {4, 256, 0, -3, 159, 512}) EXPECT_EQ(ctrl.GetParameterType(1, reg), -1) << reg;
  for (int16_t addr : {0, 7, 255}) {
    EXPECT_EQ(ctrl.GetParameterType(addr, 257), 1);
    EXPECT_EQ(ctrl.GetParameterType(addr, 356), 2);
  }
  // Out-of-range addresses select the flag of their low byte: 300 is 44.
  ctrl.SetQELType(300, true);
  EXPECT_EQ(ctrl.GetParameterType(44, 13), 5);
  EXPECT_EQ(ctrl.GetParameterType(-212, 13), 5);  // 0xFF2C
  EXPECT_EQ(ctrl.GetLastError(), 0);
}

TEST(Catalogue, NameLookup) {
  CQelCommCtrl ctrl(std::make_shared<VirtualPlatform>());
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "p_soll"), 3);
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "P_SOLL "), 0);
  EXPECT_EQ(ctrl.GetParamNumFromName(1, ""), 0);
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "BAUDRATE"), 0);  // extended names are not searched
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "GEARF1"), 14);
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "KFF3"), 89);
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "Checksum"), 158);
  ctrl.SetQELType(1, true);
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "GEARF1"), 0);
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "gearf_1"), 14);
  EXPECT_EQ(ctrl.GetParamNumFromName(1, "KFF3"), 123);
  EXPECT_EQ(ctrl.GetLastError(), 0);
}

TEST(Catalogue, RegistersResolveByNumberOrAnyCaseOfTheirName) {
  using registers::RegisterByName;
  using registers::RegisterByNumber;
  const auto vsoll = RegisterByName(false, "v_Soll");
  ASSERT_TRUE(vsoll);
  EXPECT_EQ(vsoll->number, 5);
  EXPECT_EQ(vsoll->Label(), "V_SOLL (5)");
  EXPECT_FALSE(vsoll->shape.is32);
  EXPECT_TRUE(vsoll->shape.sign_extend);
  EXPECT_TRUE(vsoll->Scaled());
  // Extended names are found for either size; the motor's table comes first.
  for (bool big : {false, true}) {
    const auto baud = RegisterByName(big, "baudrate");
    ASSERT_TRUE(baud);
    EXPECT_EQ(baud->number, 258);
    EXPECT_EQ(baud->name, "BAUDRATE");
  }
  EXPECT_EQ(RegisterByName(true, "GEARF_1")->number, 14);
  EXPECT_FALSE(RegisterByName(false, "GEARF_1"));
  EXPECT_FALSE(RegisterByName(false, "P_SOLL "));
  EXPECT_FALSE(RegisterByName(false, ""));
  // The same number means another register, and width, on a big motor.
  EXPECT_FALSE(RegisterByNumber(false, 5)->shape.is32);
  EXPECT_TRUE(RegisterByNumber(true, 5)->shape.is32);
  // Numbers no telegram carries are refused; unlisted ones that it does are not.
  for (int n : {0, -1, 256, 512}) EXPECT_FALSE(RegisterByNumber(false, n)) << n;
  const auto unlisted = RegisterByNumber(false, 200);
  ASSERT_TRUE(unlisted);
  EXPECT_FALSE(unlisted->listed());
  EXPECT_EQ(unlisted->Label(), "200");
  EXPECT_TRUE(RegisterByNumber(false, 400)->shape.is32);
}

TEST(Catalogue, WellKnownNumbersNameTheSameRegisterInBothTables) {
  const std::pair<int16_t, const char*> known[] = {
      {registers::known::kProgVersion, "PROG_VERSION"}, {registers::known::kModeReg, "MODE_REG"},
      {registers::known::kPSoll, "P_SOLL"},   {registers::known::kVSoll, "V_SOLL"},
      {registers::known::kASoll, "A_SOLL"},   {registers::known::kTSoll, "T_SOLL"},
      {registers::known::kPIst, "P_IST"},     {registers::known::kVIst, "V_IST"},
      {registers::known::kErrStat, "ERR_STAT"}, {registers::known::kVersion, "VERSION"},
      {registers::known::kBaudrate, "BAUDRATE"}, {registers::known::kAddress, "ADDRESS"},
      {registers::known::kGroupId, "GROUPID"}, {registers::known::kTransmitDelay, "TRANSMITDELAY"}};
  for (const auto& [number, name] : known) {
    for (bool big : {false, true}) {
      const auto* e = registers::FindParamEntry(big, number);
      ASSERT_NE(e, nullptr) << name;
      EXPECT_STREQ(e->Name, name);
    }
  }
}

// The roles are our own lists of names: a misspelt name would silently make
// a live register a setting, so the share of each role is pinned per table.
TEST(Catalogue, EveryRegisterHasTheRoleItsNameGives) {
  using registers::Role;
  auto count = [](bool big, std::span<const ParamInfo> table, int offset) {
    std::map<Role, std::vector<std::string>> by_role;
    for (const ParamInfo& e : table) {
      const auto r = registers::RegisterByNumber(big, e.Number + offset);
      by_role[r->role].push_back(e.Name);
    }
    return by_role;
  };
  using Names = std::vector<std::string>;
  auto standard = count(false, registers::StandardTable(), 0);
  EXPECT_EQ(standard[Role::kIdentity], (Names{"SERIALNUMBER", "MYADDR"}));
  EXPECT_EQ(standard[Role::kReadOnly], (Names{"PROG_VERSION", "MOTORTYPE", "HWVERSION", "CHECKSUM"}));
  EXPECT_EQ(standard[Role::kLive].size(), 43u);
  auto big = count(true, registers::BigTable(), 0);
  EXPECT_EQ(big[Role::kIdentity], (Names{"MY_ADDR", "SERIAL_NUMBER"}));
  EXPECT_EQ(big[Role::kReadOnly], (Names{"PROG_VERSION", "MOTOR_TYPE", "HW_VERSION", "CHKSUM"}));
  EXPECT_EQ(big[Role::kLive].size(), 47u);
  auto extended = count(false, registers::ExtendedTable(), 256);
  EXPECT_EQ(extended[Role::kIdentity], (Names{"ADDRESS"}));
  EXPECT_EQ(extended[Role::kReadOnly], (Names{"VERSION"}));
  EXPECT_EQ(extended[Role::kLive],
            (Names{"INPUTS", "OUTPUT", "MODULECOMMAND", "CAPTUREDPOSITION1", "CAPTUREDPOSITION2"}));
  // Targets that act at once are live; what only prepares a move is a setting.
  EXPECT_EQ(registers::RegisterByName(false, "P_SOLL")->role, Role::kLive);
  EXPECT_EQ(registers::RegisterByName(false, "V_SOLL")->role, Role::kSetting);
  EXPECT_EQ(registers::RegisterByNumber(false, 200)->role, Role::kLive);  // unlisted
  EXPECT_STREQ(registers::RoleName(Role::kReadOnly), "read-only");
}

}  // namespace
}  // namespace qelcomm
