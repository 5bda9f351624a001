// The member table of _DQelComm. Each entry only hands converted arguments
// to the portable control and takes its results back.
#include "control/com/dispatch_table.h"

#include <algorithm>

#include "control/com/control_object.h"

namespace qelcomm::com::dispatch {
namespace {

using A = ArgType;
using R = ResultType;

constexpr A S = A::kShort;
constexpr A L = A::kLong;
constexpr A F = A::kFloat;
constexpr A SO = A::kShortOut;
constexpr A LO = A::kLongOut;
constexpr A FO = A::kFloatOut;

CQelCommCtrl& C(ControlObject& object) { return object.Control(); }
Value Bool(bool b) { return {b ? 1 : 0, {}}; }

// The window of the container's site, to own the About box; none without a
// site or when the site has no window.
HWND SiteWindow(ControlObject& object) {
  IOleClientSite* site = nullptr;
  HWND window = nullptr;
  if (SUCCEEDED(object.GetClientSite(&site)) && site != nullptr) {
    IOleWindow* ole_window = nullptr;
    if (SUCCEEDED(site->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&ole_window)))) {
      if (FAILED(ole_window->GetWindow(&window))) window = nullptr;
      ole_window->Release();
    }
    site->Release();
  }
  return window;
}

constexpr Member kMembers[] = {
    {1, "ComPort", true, R::kShort, {}, nullptr},
    {2, "Retries", true, R::kShort, {}, nullptr},
    {3, "Baud", true, R::kLong, {}, nullptr},
    {4, "GrpSends", true, R::kShort, {}, nullptr},
    {5, "OpenPort", false, R::kBool, {},
     [](ControlObject& o, Args&) { return Bool(C(o).OpenPort()); }},
    {6, "WriteParameter", false, R::kBool, {S, S, L},
     [](ControlObject& o, Args& a) {
       return Bool(C(o).WriteParameter(a.Short(0), a.Short(1), a.number[2]));
     }},
    {7, "ReadParameter", false, R::kBool, {S, S, LO},
     [](ControlObject& o, Args& a) {
       return Bool(C(o).ReadParameter(a.Short(0), a.Short(1), a.number[2]));
     }},
    {8, "ClosePort", false, R::kNone, {},
     [](ControlObject& o, Args&) {
       C(o).ClosePort();
       return Value{};
     }},
    {9, "GetLastError", false, R::kLong, {},
     [](ControlObject& o, Args&) { return Value{C(o).GetLastError(), {}}; }},
    {10, "GetLastErrorStr", false, R::kText, {L},
     [](ControlObject& o, Args& a) { return Value{0, C(o).GetLastErrorStr(a.number[0])}; }},
    {11, "GetParameterType", false, R::kShort, {S, S},
     [](ControlObject& o, Args& a) {
       return Value{C(o).GetParameterType(a.Short(0), a.Short(1)), {}};
     }},
    {12, "Reset", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).Reset(a.Short(0))); }},
    {13, "ResetWait", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).ResetWait(a.Short(0))); }},
    {14, "WriteToFlash", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).WriteToFlash(a.Short(0))); }},
    {15, "SetFactors", false, R::kNone, {F, F, F},
     [](ControlObject& o, Args& a) {
       C(o).SetFactors(a.real[0], a.real[1], a.real[2]);
       return Value{};
     }},
    {16, "ReadParameterAlternate", false, R::kBool, {S, S, FO},
     [](ControlObject& o, Args& a) {
       return Bool(C(o).ReadParameterAlternate(a.Short(0), a.Short(1), a.real[2]));
     }},
    {17, "WriteParameterAlternate", false, R::kBool, {S, S, F},
     [](ControlObject& o, Args& a) {
       return Bool(C(o).WriteParameterAlternate(a.Short(0), a.Short(1), a.real[2]));
     }},
    {18, "GetParamNumFromName", false, R::kShort, {S, A::kText},
     [](ControlObject& o, Args& a) {
       return Value{C(o).GetParamNumFromName(a.Short(0), a.text), {}};
     }},
    {19, "WriteToFlashWait", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).WriteToFlashWait(a.Short(0))); }},
    {20, "SetQELType", false, R::kNone, {S, A::kLongAsBool},
     [](ControlObject& o, Args& a) {
       C(o).SetQELType(a.Short(0), a.number[1] != 0);
       return Value{};
     }},
    {21, "SetFactorsBig", false, R::kNone, {F, F, F},
     [](ControlObject& o, Args& a) {
       C(o).SetFactorsBig(a.real[0], a.real[1], a.real[2]);
       return Value{};
     }},
    {22, "GetModuleType", false, R::kBool, {S, SO, SO},
     [](ControlObject& o, Args& a) {
       // A short reply that still passes leaves one or both unwritten; a
       // written one holds a reply byte, never this.
       constexpr int16_t kUnwritten = -1;
       int16_t type = kUnwritten;
       int16_t firmware = kUnwritten;
       const bool ok = C(o).GetModuleType(a.Short(0), type, firmware);
       a.number[1] = type;
       a.number[2] = firmware;
       a.unreached[1] = type == kUnwritten;
       a.unreached[2] = firmware == kUnwritten;
       return Bool(ok);
     }},
    {23, "VemoProgram", false, R::kBool, {S, A::kText},
     [](ControlObject& o, Args& a) { return Bool(C(o).VemoProgram(a.Short(0), a.text)); }},
    {24, "VemoReset", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).VemoReset(a.Short(0))); }},
    {25, "VemoStop", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).VemoStop(a.Short(0))); }},
    {26, "VemoResetWait", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).VemoResetWait(a.Short(0))); }},
    {27, "VemoDebug", false, R::kBool, {S, SO, SO, SO, LO, LO, SO},
     [](ControlObject& o, Args& a) {
       int16_t state = 0;
       int16_t inputs = 0;
       int16_t outputs = 0;
       int16_t mode_cmd = 0;
       const bool ok = C(o).VemoDebug(a.Short(0), state, inputs, outputs, a.number[4],
                                      a.number[5], mode_cmd);
       a.number[1] = state;
       a.number[2] = inputs;
       a.number[3] = outputs;
       a.number[6] = mode_cmd;
       return Bool(ok);
     }},
    {28, "VemoGet", false, R::kBool, {S, S, A::kPageOut},
     [](ControlObject& o, Args& a) { return Bool(C(o).VemoGet(a.Short(0), a.Short(1), a.page)); }},
    {29, "VemoPut", false, R::kBool, {S, S, A::kPageIn},
     [](ControlObject& o, Args& a) { return Bool(C(o).VemoPut(a.Short(0), a.Short(1), a.page)); }},
    {30, "VemoWrite", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).VemoWrite(a.Short(0))); }},
    {31, "QupNOOP", false, R::kBool, {S, SO},
     [](ControlObject& o, Args& a) {
       int16_t value = 0;
       const bool ok = C(o).QupNOOP(a.Short(0), value);
       a.number[1] = value;
       return Bool(ok);
     }},
    {32, "QupStart", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).QupStart(a.Short(0))); }},
    {33, "QupStop", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).QupStop(a.Short(0))); }},
    {34, "QupPause", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).QupPause(a.Short(0))); }},
    {35, "QupStep", false, R::kBool, {S, S, S},
     [](ControlObject& o, Args& a) {
       return Bool(C(o).QupStep(a.Short(0), a.Short(1), a.Short(2)));
     }},
    {36, "QupSetOutputs", false, R::kBool, {S, S, S},
     [](ControlObject& o, Args& a) {
       return Bool(C(o).QupSetOutputs(a.Short(0), a.Short(1), a.Short(2)));
     }},
    {37, "QupReset", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).QupReset(a.Short(0))); }},
    {38, "QupResetWait", false, R::kBool, {S},
     [](ControlObject& o, Args& a) { return Bool(C(o).QupResetWait(a.Short(0))); }},
    {39, "ReadStatus", false, R::kBool, {S, SO, LO, SO},
     [](ControlObject& o, Args& a) {
       int16_t status = 0;
       int16_t errors = 0;
       const bool ok = C(o).ReadStatus(a.Short(0), status, a.number[2], errors);
       a.number[1] = status;
       a.number[3] = errors;
       return Bool(ok);
     }},
    {40, "WriteGroup", false, R::kBool, {S, S, L},
     [](ControlObject& o, Args& a) {
       return Bool(C(o).WriteGroup(a.Short(0), a.Short(1), a.number[2]));
     }},
    {41, "ResetSeqCounters", false, R::kNone, {},
     [](ControlObject& o, Args&) {
       C(o).ResetSeqCounters();
       return Value{};
     }},
    {DISPID_ABOUTBOX, "AboutBox", false, R::kNone, {},
     [](ControlObject& o, Args&) {
       o.ShowAboutBox(SiteWindow(o));
       return Value{};
     }},
};

}  // namespace

std::span<const Member> Members() { return kMembers; }

const Member* FindMember(DISPID id) {
  const auto* found = std::find_if(std::begin(kMembers), std::end(kMembers),
                                   [id](const Member& m) { return m.id == id; });
  return found == std::end(kMembers) ? nullptr : found;
}

size_t ArgCount(const Member& member) {
  return static_cast<size_t>(
      std::find(member.args.begin(), member.args.end(), ArgType::kNone) - member.args.begin());
}

int32_t GetProperty(const ControlObject& object, DISPID id) {
  const PersistedProperties p = object.Properties();
  switch (id) {
    case 1: return p.com_port;
    case 2: return p.retries;
    case 3: return p.baud;
    default: return p.grp_sends;
  }
}

void PutProperty(ControlObject& object, DISPID id, int32_t value) {
  PersistedProperties p = object.Properties();
  switch (id) {
    case 1: p.com_port = static_cast<int16_t>(value); break;
    case 2: p.retries = static_cast<int16_t>(value); break;
    case 3: p.baud = value; break;
    default: p.grp_sends = static_cast<int16_t>(value); break;
  }
  object.SetProperties(p);
}

}  // namespace qelcomm::com::dispatch
