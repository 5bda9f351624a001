// Which role each register plays. The catalogue does not say; these lists
// are the project's own reading of the names, chosen so that a parameter
// set never moves a motor, copies another motor's identity or writes what
// the firmware owns:
//   identity  - the motor's address and serial number;
//   read-only - firmware and hardware versions, motor type, checksums;
//   live      - actual values (_IST and the like), status and mode, error
//               counters and accumulators, measured voltages, currents and
//               temperatures, recorder samples, controller outputs, the
//               inputs and outputs, captured positions, and the targets
//               that act at once when written (P_SOLL, T_SOLL, the manual
//               current and angle, the module command);
//   setting   - everything else: gains, limits, modes, offsets, stored
//               positions, velocities and accelerations, line settings.
#include <string_view>

#include "registers/roles.h"

namespace qelcomm::registers {
namespace {

constexpr std::string_view kIdentity[] = {"ADDRESS", "MYADDR", "MY_ADDR", "SERIALNUMBER",
                                          "SERIAL_NUMBER"};

constexpr std::string_view kReadOnly[] = {"PROG_VERSION", "VERSION",    "HWVERSION", "HW_VERSION",
                                          "MOTORTYPE",    "MOTOR_TYPE", "CHECKSUM",  "CHKSUM"};

constexpr std::string_view kLive[] = {
    "MODE_REG",  "P_SOLL",    "T_SOLL",    "P_SIM",    "P_IST",    "V_IST",    "V_IST_16",
    "KVOUT",     "I2T",       "UIT",       "FLWERR",   "FNCERR",   "ERR_STAT", "GFERR",
    "U_24V",     "DEGC",      "SAMPLE1",   "SAMPLE2",  "SAMPLE3",  "SAMPLE4",  "REC_CNT",
    "FNC_OUT",   "FF_OUT",    "VB_OUT",    "VF_OUT",   "V_EXT",    "ANINP",    "MAN_I_NOM",
    "MAN_ALPHA", "UMEAS",     "PHI_SOLL",  "IA_SOLL",  "IB_SOLL",  "IC_SOLL",  "IA_IST",
    "IB_IST",    "IC_IST",    "ELDEG_IST", "V_ELDEG",  "UA_VAL",   "UB_VAL",   "UC_VAL",
    "PWMA_VAL",  "PWMB_VAL",  "PWMC_VAL",  "U_SUPPLY", "EMK_A",    "EMK_B",    "EMK_C",
    "U_BUS",     "TC0_CV1",   "TC0_CV2",   "INPUTS",   "OUTPUT",   "MODULECOMMAND",
    "CAPTUREDPOSITION1",      "CAPTUREDPOSITION2"};

bool Contains(std::span<const std::string_view> list, std::string_view name) {
  for (std::string_view n : list) {
    if (n == name) return true;
  }
  return false;
}

}  // namespace

Role RoleOf(const ParamInfo* entry) {
  if (entry == nullptr) return Role::kLive;
  const std::string_view name = entry->Name;
  if (Contains(kIdentity, name)) return Role::kIdentity;
  if (Contains(kReadOnly, name)) return Role::kReadOnly;
  if (Contains(kLive, name)) return Role::kLive;
  return Role::kSetting;
}

const char* RoleName(Role role) {
  switch (role) {
    case Role::kSetting: return "setting";
    case Role::kLive: return "live";
    case Role::kReadOnly: return "read-only";
    case Role::kIdentity: return "identity";
  }
  return "live";
}

}  // namespace qelcomm::registers
