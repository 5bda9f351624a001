#include "qelcomm/QelCommCtrl.h"

#include <utility>

#include "commands/reset_flash.h"
#include "commands/status.h"
#include "control/control_state.h"
#include "link/register_transfer.h"
#include "link/telegram.h"
#include "module/module.h"
#include "module/program.h"
#include "module/qup.h"
#include "registers/catalogue.h"

namespace qelcomm {

CQelCommCtrl::CQelCommCtrl() : CQelCommCtrl(NativePlatform()) {}

CQelCommCtrl::CQelCommCtrl(std::shared_ptr<Platform> platform)
    : state_(std::make_unique<ControlState>(std::move(platform))) {}

// Releases an open port and also a device still held after a failed open.
CQelCommCtrl::~CQelCommCtrl() { link::ClosePort(state_->link); }

int16_t CQelCommCtrl::ComPort() const { return state_->link.com_port; }
void CQelCommCtrl::SetComPort(int16_t v) { state_->link.com_port = v; }
int16_t CQelCommCtrl::Retries() const { return state_->link.retries; }
void CQelCommCtrl::SetRetries(int16_t v) { state_->link.retries = v; }
int32_t CQelCommCtrl::Baud() const { return state_->link.baud; }
void CQelCommCtrl::SetBaud(int32_t v) { state_->link.baud = v; }
int16_t CQelCommCtrl::GrpSends() const { return state_->link.grp_sends; }
void CQelCommCtrl::SetGrpSends(int16_t v) { state_->link.grp_sends = v; }
const std::string& CQelCommCtrl::PortName() const { return state_->link.port_name; }
void CQelCommCtrl::SetPortName(std::string v) { state_->link.port_name = std::move(v); }
void CQelCommCtrl::SetTrace(TraceCallback callback) { state_->link.trace = std::move(callback); }
bool CQelCommCtrl::Echo() const { return state_->link.echo; }
void CQelCommCtrl::SetEcho(bool on) { state_->link.echo = on; }
void CQelCommCtrl::Cancel() { state_->link.wakeup->Wake(); }
uint32_t CQelCommCtrl::ExtraWindowMs() const { return state_->link.extra_window_ms; }
void CQelCommCtrl::SetExtraWindowMs(uint32_t ms) { state_->link.extra_window_ms = ms; }

bool CQelCommCtrl::OpenPort() { return link::EndCall(state_->link, link::OpenPort(state_->link)); }
void CQelCommCtrl::ClosePort() { link::ClosePort(state_->link); }

bool CQelCommCtrl::WriteParameter(int16_t Address, int16_t ParamNum, int32_t Value) {
  const auto shape = registers::WireShape(state_->IsBig(Address), ParamNum);
  return link::EndCall(state_->link,
                       link::WriteParameter(state_->link, shape, Address, ParamNum, Value));
}

bool CQelCommCtrl::ReadParameter(int16_t Address, int16_t ParamNum, int32_t& Value) {
  const auto shape = registers::WireShape(state_->IsBig(Address), ParamNum);
  return link::EndCall(state_->link,
                       link::ReadParameter(state_->link, shape, Address, ParamNum, Value));
}

int32_t CQelCommCtrl::GetLastError() {
  const uint32_t code = state_->link.last_error;
  state_->link.last_error = 0;
  return static_cast<int32_t>(code);
}

std::string CQelCommCtrl::GetLastErrorStr(int32_t Error) {
  const uint32_t code =
      Error == 0 ? static_cast<uint32_t>(GetLastError()) : static_cast<uint32_t>(Error);
  if (code == ERR_UNSPECIFIED && !state_->link.stored_error_text.empty()) {
    return std::exchange(state_->link.stored_error_text, std::string());
  }
  if (const char* message = ErrorMessage(code)) return message;
  return state_->link.platform->ErrorText(code);
}

int16_t CQelCommCtrl::GetParameterType(int16_t Address, int16_t ParamNum) {
  return registers::FindParamInfo(state_->IsBig(Address), ParamNum).Type;
}

int16_t CQelCommCtrl::GetParamNumFromName(int16_t Address, const std::string& Name) {
  return registers::ParamNumFromName(state_->IsBig(Address), Name);
}

void CQelCommCtrl::SetQELType(int16_t Address, bool Big) {
  state_->big[static_cast<uint8_t>(Address)] = Big;
}

void CQelCommCtrl::SetFactors(float PosFactor, float AccFactor, float VelFactor) {
  registers::UpdateFactors(state_->standard_factors, PosFactor, AccFactor, VelFactor);
}

void CQelCommCtrl::SetFactorsBig(float PosFactor, float AccFactor, float VelFactor) {
  registers::UpdateFactors(state_->big_factors, PosFactor, AccFactor, VelFactor);
}

bool CQelCommCtrl::ReadParameterAlternate(int16_t Address, int16_t Parameter, float& Value) {
  const bool big = state_->IsBig(Address);
  const registers::ParamLookup info = registers::FindParamInfo(big, Parameter);
  int32_t raw = 0;
  if (!ReadParameter(Address, Parameter, raw)) return false;
  Value = registers::RawToUser(raw, info, state_->FactorsFor(Address), big);
  return true;
}

bool CQelCommCtrl::WriteParameterAlternate(int16_t Address, int16_t ParamNum, float Value) {
  const bool big = state_->IsBig(Address);
  const registers::ParamLookup info = registers::FindParamInfo(big, ParamNum);
  const auto raw = registers::UserToRaw(Value, info, state_->FactorsFor(Address), big);
  if (!raw) {
    // A closed port is reported first, as for every other refusal.
    state_->link.last_error = state_->link.open ? ERR_OS_INVALID_PARAMETER : ERR_PORT_NOT_OPEN;
    return false;
  }
  return link::EndCall(state_->link, WriteParameter(Address, ParamNum, *raw));
}

bool CQelCommCtrl::Reset(int16_t Address) {
  return link::EndCall(state_->link,
                       commands::Reset(state_->link, {Address, state_->IsBig(Address)}));
}
bool CQelCommCtrl::ResetWait(int16_t Address) {
  return link::EndCall(state_->link,
                       commands::ResetWait(state_->link, {Address, state_->IsBig(Address)}));
}
bool CQelCommCtrl::WriteToFlash(int16_t Address) {
  return link::EndCall(state_->link,
                       commands::WriteToFlash(state_->link, {Address, state_->IsBig(Address)}));
}
bool CQelCommCtrl::WriteToFlashWait(int16_t Address) {
  return link::EndCall(state_->link,
                       commands::WriteToFlashWait(state_->link, {Address, state_->IsBig(Address)}));
}

bool CQelCommCtrl::ReadStatus(int16_t Address, int16_t& Status, int32_t& Position,
                              int16_t& ErrCount) {
  return link::EndCall(state_->link,
                       commands::ReadStatus(state_->link, Address, Status, Position, ErrCount));
}

bool CQelCommCtrl::WriteGroup(int16_t Group, int16_t RegisterNo, int32_t Value) {
  const bool big = state_->IsBig(protocol::kGroupTableAddress);
  return link::EndCall(state_->link, commands::WriteGroup(state_->link, state_->sequence, big,
                                                          Group, RegisterNo, Value));
}

void CQelCommCtrl::ResetSeqCounters() { state_->sequence.fill(0); }

bool CQelCommCtrl::GetModuleType(int16_t Address, int16_t& ModuleType, int16_t& FirmWareVersion) {
  return link::EndCall(state_->link,
                       module::GetModuleType(state_->link, Address, ModuleType, FirmWareVersion));
}
bool CQelCommCtrl::VemoReset(int16_t Address) {
  return link::EndCall(state_->link, module::Reset(state_->link, Address));
}
bool CQelCommCtrl::VemoStop(int16_t Address) {
  return link::EndCall(state_->link, module::Stop(state_->link, Address));
}
bool CQelCommCtrl::VemoResetWait(int16_t Address) {
  return link::EndCall(state_->link, module::ResetWait(state_->link, Address));
}

bool CQelCommCtrl::VemoDebug(int16_t Address, int16_t& State, int16_t& Inputs, int16_t& Outputs,
                             int32_t& Time, int32_t& Count, int16_t& ModeCmd) {
  return link::EndCall(state_->link, module::Debug(state_->link, Address,
                                                   {State, Inputs, Outputs, Time, Count, ModeCmd}));
}
bool CQelCommCtrl::VemoGet(int16_t Address, int16_t Page, std::vector<uint8_t>& Data) {
  return link::EndCall(state_->link, module::GetPage(state_->link, Address, Page, Data));
}
bool CQelCommCtrl::VemoPut(int16_t Address, int16_t Page, std::span<const uint8_t> Data) {
  return link::EndCall(state_->link, module::PutPage(state_->link, Address, Page, Data));
}
bool CQelCommCtrl::VemoWrite(int16_t Address) {
  return link::EndCall(state_->link, module::Write(state_->link, Address));
}
bool CQelCommCtrl::VemoProgram(int16_t Address, const std::string& FileName,
                               const ProgramProgressCallback& Progress) {
  return link::EndCall(state_->link, module::Program(state_->link, Address, FileName, Progress));
}

namespace {

bool Qup(link::Link& link, int16_t address, std::initializer_list<uint8_t> payload) {
  module::QupData data{};
  return module::QupCommand(link, address, payload, data);
}

}  // namespace

bool CQelCommCtrl::QupNOOP(int16_t Address, int16_t& Value) {
  module::QupData data{};
  const uint8_t payload[] = {protocol::qup::kNoop};
  if (!link::EndCall(state_->link, module::QupCommand(state_->link, Address, payload, data))) {
    return false;
  }
  Value = static_cast<int16_t>(data[6] | (data[7] << 8));
  return true;
}
bool CQelCommCtrl::QupStart(int16_t Address) {
  return link::EndCall(state_->link, Qup(state_->link, Address, {protocol::qup::kStart}));
}
bool CQelCommCtrl::QupStop(int16_t Address) {
  return link::EndCall(state_->link, Qup(state_->link, Address, {protocol::qup::kStop}));
}
bool CQelCommCtrl::QupPause(int16_t Address) {
  return link::EndCall(state_->link, Qup(state_->link, Address, {protocol::qup::kPause}));
}
bool CQelCommCtrl::QupStep(int16_t Address, int16_t MinAddress, int16_t MaxAddress) {
  return link::EndCall(state_->link, Qup(state_->link, Address,
                                         {protocol::qup::kStep, link::LowByte(MinAddress),
                                          link::LowByte(MinAddress >> 8), link::LowByte(MaxAddress),
                                          link::LowByte(MaxAddress >> 8)}));
}
bool CQelCommCtrl::QupSetOutputs(int16_t Address, int16_t Outputs, int16_t Mask) {
  return link::EndCall(
      state_->link,
      Qup(state_->link, Address, {protocol::qup::kOutputs, module::OutputByte(Outputs, Mask)}));
}
bool CQelCommCtrl::QupReset(int16_t Address) {
  return link::EndCall(state_->link, module::QupReset(state_->link, Address));
}
bool CQelCommCtrl::QupResetWait(int16_t Address) {
  return link::EndCall(state_->link, module::QupResetWait(state_->link, Address));
}

}  // namespace qelcomm
