// _DQelComm through IDispatch as automation hosts call it: names from the
// type library, properties, argument conversion and its refusals, outputs by
// typed and by variant reference, failures that come back as exceptions.
// DispatchOnBus runs against qelsim on the COM port in QELCOMM_TEST_COM.
#include <gtest/gtest.h>
#include <olectl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "com_support.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

constexpr LONG kPortNotOpen = 0x20000001, kWriteShort = 0x20000002, kAnswerLength = 0x20000003;

SAFEARRAY* Bytes(ULONG count, LONG lower = 0, uint8_t seed = 0) {
  SAFEARRAYBOUND bound{count, lower};
  SAFEARRAY* a = SafeArrayCreate(VT_UI1, 1, &bound);
  for (ULONG i = 0; i < count; ++i) static_cast<uint8_t*>(a->pvData)[i] = uint8_t(seed + 7 * i);
  return a;
}

std::vector<uint8_t> PageOf(const VARIANT& v) {
  LONG lower = -1, upper = -1;
  if (V_VT(&v) != (VT_ARRAY | VT_UI1)) return {};
  SafeArrayGetLBound(V_ARRAY(&v), 1, &lower);
  SafeArrayGetUBound(V_ARRAY(&v), 1, &upper);
  const auto* p = static_cast<const uint8_t*>(V_ARRAY(&v)->pvData);
  return lower == 0 ? std::vector<uint8_t>(p, p + upper + 1) : std::vector<uint8_t>{};
}

TEST(Dispatch, EveryNameGivesItsFixedIdAndArgumentNamesTheirPositions) {
  Control c;
  const wchar_t* names[] = {
      L"ComPort", L"Retries", L"Baud", L"GrpSends", L"OpenPort", L"WriteParameter",
      L"ReadParameter", L"ClosePort", L"GetLastError", L"GetLastErrorStr", L"GetParameterType",
      L"Reset", L"ResetWait", L"WriteToFlash", L"SetFactors", L"ReadParameterAlternate",
      L"WriteParameterAlternate", L"GetParamNumFromName", L"WriteToFlashWait", L"SetQELType",
      L"SetFactorsBig", L"GetModuleType", L"VemoProgram", L"VemoReset", L"VemoStop",
      L"VemoResetWait", L"VemoDebug", L"VemoGet", L"VemoPut", L"VemoWrite", L"QupNOOP",
      L"QupStart", L"QupStop", L"QupPause", L"QupStep", L"QupSetOutputs", L"QupReset",
      L"QupResetWait", L"ReadStatus", L"WriteGroup", L"ResetSeqCounters"};
  for (DISPID id = 1; id <= 41; ++id) EXPECT_EQ(c.Id(names[id - 1]), id);
  EXPECT_EQ(c.Id(L"AboutBox"), DISPID_ABOUTBOX);

  LPOLESTR parts[] = {const_cast<LPOLESTR>(L"vemodebug"), const_cast<LPOLESTR>(L"ModeCmd"),
                      const_cast<LPOLESTR>(L"Address")};
  DISPID ids[3] = {};
  ASSERT_EQ(c->GetIDsOfNames(IID_NULL, parts, 3, 0, ids), S_OK);
  EXPECT_EQ(ids[1], 6);
  EXPECT_EQ(ids[2], 0);
  parts[0] = const_cast<LPOLESTR>(L"NoSuchMember");
  EXPECT_EQ(c->GetIDsOfNames(IID_NULL, parts, 1, 0, ids), DISP_E_UNKNOWNNAME);
}

TEST(Dispatch, PropertiesStoreAnyConvertibleValueAndRefusedPutsStoreNothing) {
  Control c;
  EXPECT_EQ(c.Properties(), L"0 5 3 19200");
  Bstr ninety_nine(L"99"), text(L"many");
  VARIANT baud = Of(VT_R8);
  V_R8(&baud) = 57600.0;
  EXPECT_EQ(c.Put(c.Id(L"Retries"), I4(-7)).hr, S_OK);
  EXPECT_EQ(c.Put(1, Of(VT_BSTR, ninety_nine.b)).hr, S_OK);
  EXPECT_EQ(c.Put(3, baud).hr, S_OK);
  EXPECT_EQ(c.Put(4, Of(VT_BSTR, text.b)).arg_err, 0u);
  EXPECT_EQ(c.Put(4, I4(70000)).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(c.Call(4, {I2(1)}, {}, DISPATCH_PROPERTYPUT).hr, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(c.Call(4, {I2(1)}, {}, DISPATCH_PROPERTYGET).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(c.Properties(), L"99 -7 3 57600");
}

TEST(Dispatch, RefusedArgumentsGiveTheStandardErrorAndTheirIndex) {
  Control c;
  Bstr text(L"x");
  LONG value = 0;
  SHORT small = 0;
  VARIANT omitted = Of(VT_ERROR);
  V_ERROR(&omitted) = DISP_E_PARAMNOTFOUND;
  const VARIANT out = Of(VT_I4 | VT_BYREF, &value);
  // rgvarg holds the named arguments first, then the positional ones last
  // to first: arg_err is an index into it.
  const struct {
    DISPID id;
    std::vector<VARIANT> args;
    std::vector<std::pair<DISPID, VARIANT>> named;
    HRESULT hr;
    UINT arg_err;
  } refused[] = {
      {6, {I2(1), I2(2)}, {}, DISP_E_BADPARAMCOUNT, 0xFFFF},
      {6, {I2(1), Of(VT_BSTR, text.b), I4(3)}, {}, DISP_E_TYPEMISMATCH, 1},
      {7, {I2(1), I2(2), I4(3)}, {}, DISP_E_TYPEMISMATCH, 0},  // an output by value
      {7, {I2(1), I2(2), Of(VT_I2 | VT_BYREF, &small)}, {}, DISP_E_TYPEMISMATCH, 0},
      {7, {I2(1), I2(2), Of(VT_I4 | VT_BYREF)}, {}, DISP_E_TYPEMISMATCH, 0},
      {7, {Of(VT_I2 | VT_BYREF), I2(2), out}, {}, DISP_E_TYPEMISMATCH, 2},
      {29, {I2(1), I2(2), omitted}, {}, DISP_E_PARAMNOTOPTIONAL, 0},
      {7, {I2(1)}, {{2, out}, {1, Of(VT_BSTR, text.b)}}, DISP_E_TYPEMISMATCH, 1},
      {7, {I2(1)}, {{2, out}, {2, out}}, DISP_E_PARAMNOTFOUND, 1},
      {7, {I2(1), I2(2)}, {{7, out}}, DISP_E_PARAMNOTFOUND, 0},
      {1000, {}, {}, DISP_E_MEMBERNOTFOUND, 0xFFFF},
  };
  for (const auto& r : refused) {
    const Outcome& o = c.Call(r.id, r.args, r.named);
    EXPECT_EQ(o.hr, r.hr) << &r - refused;
    EXPECT_EQ(o.arg_err, r.arg_err) << &r - refused;
  }
  EXPECT_EQ(c.Call(5, {}, {}, DISPATCH_PROPERTYPUT).hr, DISP_E_MEMBERNOTFOUND);
  // Named arguments, at the positions their names give.
  EXPECT_EQ(c.Call(7, {I2(1)}, {{2, out}, {1, I2(2)}}).Bool(), 0);

  // Malformed calls are refused, never followed.
  Variant result;
  DISPID named = 0;
  DISPPARAMS no_args{nullptr, nullptr, 2, 0}, too_many_named{&result, &named, 1, 2}, none{};
  for (DISPPARAMS* p : {static_cast<DISPPARAMS*>(nullptr), &no_args, &too_many_named}) {
    EXPECT_EQ(c->Invoke(12, IID_NULL, 0, DISPATCH_METHOD, p, &result, nullptr, nullptr),
              E_INVALIDARG);
  }
  EXPECT_EQ(c->Invoke(9, IID_IDispatch, 0, 1, &none, &result, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(c->Invoke(9, IID_NULL, 0, 1, &none, nullptr, nullptr, nullptr), S_OK);
}

TEST(Dispatch, OfflineMembersConvertAndClosedPortsLeaveOutputsAlone) {
  Control c;
  // SetQELType takes its flag as a bool: whatever converts to true makes
  // the motor big, which GEARF1's type (1 standard, 2 big) shows.
  Bstr yes(L"True"), no(L"False");
  VARIANT fraction = Of(VT_R8);
  V_R8(&fraction) = 0.4;
  const std::pair<VARIANT, SHORT> flags[] = {{I4(5), 2}, {I4(0), 1}, {fraction, 2},
                                             {Of(VT_BSTR, no.b), 1}, {Of(VT_BSTR, yes.b), 2}};
  for (const auto& [flag, type] : flags) {
    EXPECT_EQ(c.Call(L"SetQELType", {I2(2), flag}).hr, S_OK) << type;
    EXPECT_EQ(V_I2(&c.Call(11, {I2(2), I2(14)}).result), type) << V_VT(&flag);
  }
  Bstr name(L"gearf_1");
  VARIANT held = Of(VT_BSTR, name.b);
  for (const VARIANT& arg : {held, Of(VT_BSTR | VT_BYREF, &name.b), ByRef(&held)}) {
    EXPECT_EQ(V_I2(&c.Call(18, {I2(2), arg}).result), 14);
  }
  c.Call(20, {I2(2), I4(0)});
  EXPECT_EQ(V_I2(&c.Call(18, {I2(2), held}).result), 0);

  EXPECT_EQ(c.Call(L"OpenPort", {}).Bool(), 0);  // ComPort 0 names no device
  const LONG open_error = c.LastError();
  EXPECT_NE(open_error, 0);
  EXPECT_GT(SysStringLen(V_BSTR(&c.Call(10, {I4(open_error)}).result)), 0u);
  LONG value = 77;
  EXPECT_EQ(c.Call(7, {I2(1), I2(2), Of(VT_I4 | VT_BYREF, &value)}).Bool(), 0);
  EXPECT_EQ(c.Call(7, {I2(1), I2(2), ByRef(&held)}).Bool(), 0);
  EXPECT_EQ(value, 77);
  EXPECT_EQ(V_VT(&held), VT_BSTR);
  EXPECT_EQ(c.LastError(), kPortNotOpen);
  EXPECT_EQ(Text(V_BSTR(&c.Call(10, {I4(kPortNotOpen)}).result)), L"Serial port is not open");
  SHORT noop = 0;
  EXPECT_EQ(c.Call(31, {I2(1), Of(VT_I2 | VT_BYREF, &noop)}).Bool(), 0);  // a Boolean
}

TEST(Dispatch, VemoPutRefusesDataThatIsNotAPageArrayBeforeSending) {
  Control c;
  SAFEARRAYBOUND square[2] = {{128, 0}, {2, 0}};
  SAFEARRAY* page = Bytes(128);
  Variant holder;
  V_VT(&holder) = VT_ARRAY | VT_UI1;
  V_ARRAY(&holder) = Bytes(128);
  const VARIANT refused[] = {I4(5), Of(VT_ARRAY | VT_UI1, Bytes(64)),
                             Of(VT_ARRAY | VT_UI1, Bytes(128, 1)),
                             Of(VT_ARRAY | VT_I2, SafeArrayCreateVector(VT_I2, 0, 128)),
                             Of(VT_ARRAY | VT_UI1, SafeArrayCreate(VT_UI1, 2, square)),
                             Of(VT_ARRAY | VT_UI1 | VT_BYREF, &page), Of(VT_ARRAY | VT_UI1)};
  for (const VARIANT& data : refused) {
    const Outcome& o = c.Call(29, {I2(1), I2(0), data});
    EXPECT_EQ(o.hr, DISP_E_EXCEPTION) << V_VT(&data);
    EXPECT_EQ(o.excep.scode, E_INVALIDARG);
    EXPECT_EQ(Text(o.excep.bstrSource), L"QELCOMM.QelCommCtrl.1");
    EXPECT_EQ(Text(o.excep.bstrDescription).find(L"VemoPut: Data "), 0u);
    if (V_VT(&data) & VT_ARRAY && !(V_VT(&data) & VT_BYREF)) SafeArrayDestroy(V_ARRAY(&data));
  }
  EXPECT_EQ(c.LastError(), 0) << "nothing was sent";
  // An array is taken as it is, or from the variable a script passes.
  EXPECT_EQ(c.Call(29, {I2(1), I2(0), Of(VT_ARRAY | VT_UI1, page)}).Bool(), 0);
  EXPECT_EQ(c.Call(29, {I2(1), I2(0), ByRef(&holder)}).Bool(), 0);
  EXPECT_EQ(c.LastError(), kWriteShort) << "sent, to a closed port";
  SafeArrayDestroy(page);
}

// The bus that tests/com/CMakeLists.txt gives qelsim.
class DispatchOnBus : public ::testing::Test {
 protected:
  static constexpr SHORT kMotor = 1, kNobody = 9, kModule = 1, kFreePage = 9;
  void SetUp() override {
    const char* com = std::getenv("QELCOMM_TEST_COM");
    if (com == nullptr) GTEST_SKIP() << "no QELCOMM_TEST_COM: run through run-with-pty.sh";
    ASSERT_EQ(c.Put(c.Id(L"ComPort"), I2(SHORT(std::atoi(com)))).hr, S_OK);
    ASSERT_EQ(c.Call(L"OpenPort", {}).Bool(), -1);
  }
  void TearDown() override { c.Call(L"ClosePort", {}); }
  Control c;
};

TEST_F(DispatchOnBus, MotorMembersReturnBoolsAndFillOutputs) {
  LONG value = 0;
  EXPECT_EQ(c.Call(L"WriteParameter", {I2(kMotor), I2(14), I4(-5)}).Bool(), -1);
  EXPECT_EQ(c.Call(7, {I2(kMotor), I2(14), Of(VT_I4 | VT_BYREF, &value)}).Bool(), -1);
  EXPECT_EQ(value, -5);
  VARIANT held = Of(VT_BSTR, SysAllocString(L"old"));  // the control frees it
  EXPECT_EQ(c.Call(L"ReadParameter", {I2(kMotor), I2(14), ByRef(&held)}).Bool(), -1);
  EXPECT_EQ(V_VT(&held), VT_I4);
  EXPECT_EQ(V_I4(&held), -5);

  EXPECT_EQ(c.Call(17, {I2(kMotor), I2(6), R4(24832.09f)}).Bool(), -1);  // A_SOLL, raw 100
  float user = 0;
  EXPECT_EQ(c.Call(16, {I2(kMotor), I2(6), Of(VT_R4 | VT_BYREF, &user)}).Bool(), -1);
  EXPECT_EQ(user, 100.0f * 248.32089f);
  c.Call(L"SetFactors", {R4(1), R4(2), R4(1)});
  c.Call(L"SetFactorsBig", {R4(1), R4(3), R4(1)});
  EXPECT_EQ(c.Call(16, {I2(kMotor), I2(6), ByRef(&held)}).Bool(), -1);
  EXPECT_EQ(V_VT(&held), VT_R4);
  EXPECT_EQ(V_R4(&held), 200.0f);

  SHORT status = -1, errors = -1;
  const VARIANT status_ref = Of(VT_I2 | VT_BYREF, &status);
  const VARIANT errors_ref = Of(VT_I2 | VT_BYREF, &errors);
  EXPECT_EQ(c.Call(L"ReadStatus", {I2(kMotor), status_ref, ByRef(&held), errors_ref}).Bool(), -1);
  EXPECT_EQ(V_VT(&held), VT_I4);
  EXPECT_EQ(c.Call(40, {I2(3), I2(14), I4(42)}).Bool(), -1);  // group 3 holds motor 1
  c.Call(7, {I2(kMotor), I2(14), Of(VT_I4 | VT_BYREF, &value)});
  EXPECT_EQ(value, 42);
  EXPECT_EQ(V_VT(&c.Call(41, {}).result), VT_EMPTY);
  EXPECT_EQ(c.LastError(), 0);
  for (DISPID id : {12, 13, 14, 19}) EXPECT_EQ(c.Call(id, {I2(kMotor)}).Bool(), -1) << id;

  value = 5;
  EXPECT_EQ(c.Call(7, {I2(kNobody), I2(2), Of(VT_I4 | VT_BYREF, &value)}).Bool(), 0);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(c.LastError(), kAnswerLength);
}

// What the system says about an error; the runtime library's own text for
// a Windows error number is not it.
std::wstring SystemMessage(DWORD code) {
  wchar_t text[512] = {};
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x400,
                 text, 512, nullptr);
  std::wstring s(text);
  while (!s.empty() && iswspace(s.back())) s.pop_back();
  return s;
}

TEST_F(DispatchOnBus, ModuleMembersMovePagesAndRunPrograms) {
  SHORT type = 0;
  VARIANT firmware = Of(VT_EMPTY);
  EXPECT_EQ(c.Call(22, {I2(kModule), Of(VT_I2 | VT_BYREF, &type), ByRef(&firmware)}).Bool(), -1);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(V_I2(&firmware), 17);

  SAFEARRAY* sent = Bytes(130, 0, 0x31);  // the first 128 bytes go
  const VARIANT data = Of(VT_ARRAY | VT_UI1, sent);
  EXPECT_EQ(c.Call(L"VemoPut", {I2(kModule), I2(kFreePage), data}).Bool(), -1);
  Variant page, untouched;
  EXPECT_EQ(c.Call(L"VemoGet", {I2(kModule), I2(kFreePage), ByRef(&page)}).Bool(), -1);
  const auto* bytes = static_cast<const uint8_t*>(sent->pvData);
  EXPECT_EQ(PageOf(page), std::vector<uint8_t>(bytes, bytes + 128));
  SafeArrayDestroy(sent);
  V_VT(&untouched) = VT_I4;
  EXPECT_EQ(c.Call(28, {I2(kNobody), I2(0), ByRef(&untouched)}).Bool(), 0);
  EXPECT_EQ(V_VT(&untouched), VT_I4);

  for (DISPID id : {30, 25, 24, 26, 32, 34}) EXPECT_EQ(c.Call(id, {I2(kModule)}).Bool(), -1) << id;
  EXPECT_EQ(c.Call(35, {I2(kModule), I2(0), I2(10)}).Bool(), -1);  // QupStep
  EXPECT_EQ(c.Call(36, {I2(kModule), I2(5), I2(15)}).Bool(), -1);  // QupSetOutputs
  for (DISPID id : {33, 37, 38}) EXPECT_EQ(c.Call(id, {I2(kModule)}).Bool(), -1) << id;
  SHORT noop = 0;
  EXPECT_EQ(c.Call(L"QupNOOP", {I2(kModule), Of(VT_I2 | VT_BYREF, &noop)}).Bool(), -1);
  EXPECT_EQ(noop, 0x1234);
  Variant debug[6];
  std::vector<VARIANT> debug_args{I2(kModule)};
  for (Variant& v : debug) debug_args.push_back(ByRef(&v));
  EXPECT_EQ(c.Call(27, debug_args).Bool(), -1);
  EXPECT_EQ(V_VT(&debug[3]), VT_I4);  // Time
  EXPECT_EQ(V_VT(&debug[5]), VT_I2);  // ModeCmd
  EXPECT_EQ(c.LastError(), 0);

  // The demo program fills pages 0 and 1 and a part of page 2.
  const char* demo = std::getenv("QELCOMM_DEMO_HEX");
  ASSERT_NE(demo, nullptr) << "QELCOMM_DEMO_HEX: the path of tools/data/demo-module.hex";
  Bstr file(std::wstring(demo, demo + std::strlen(demo)));
  EXPECT_EQ(c.Call(23, {I2(kModule), Of(VT_BSTR | VT_BYREF, &file.b)}).Bool(), -1);
  const std::vector<uint8_t> starts[] = {{'Q', 'E', 'L', 'D', 'E', 'M', 'O'}, {0x3B, 0x60, 0x85},
                                         {0, 1, 4, 9}};
  for (SHORT p = 0; p < 3; ++p) {
    c.Call(28, {I2(kModule), I2(p), ByRef(&page)});
    const std::vector<uint8_t> got = PageOf(page);
    ASSERT_EQ(got.size(), 128u);
    EXPECT_TRUE(std::equal(starts[p].begin(), starts[p].end(), got.begin())) << "page " << p;
  }

  Bstr missing(L"C:\\no such dir\\missing.hex");
  const Outcome& e = c.Call(L"VemoProgram", {I2(kModule), Of(VT_BSTR, missing.b)});
  EXPECT_EQ(e.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(e.excep.scode, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Text(e.excep.bstrDescription),
            L"cannot read HEX file C:\\no such dir\\missing.hex: " +
                SystemMessage(ERROR_PATH_NOT_FOUND));
}

// A line that hands every byte back: the identification request, echoed,
// is a reply that ends before its module type (tests/com/CMakeLists.txt).
TEST(DispatchOnEcho, OutputsTheReplyNeverReachedKeepTheirValueAndType) {
  const char* com = std::getenv("QELCOMM_TEST_COM");
  if (com == nullptr) GTEST_SKIP() << "no QELCOMM_TEST_COM: run through run-with-pty.sh";
  Control c;
  ASSERT_EQ(c.Put(1, I2(SHORT(std::atoi(com)))).hr, S_OK);
  ASSERT_EQ(c.Call(L"OpenPort", {}).Bool(), -1);
  SHORT type = 77;
  Variant firmware;
  EXPECT_EQ(c.Call(22, {I2(0), Of(VT_I2 | VT_BYREF, &type), ByRef(&firmware)}).Bool(), -1);
  EXPECT_EQ(type, 77);
  EXPECT_EQ(V_VT(&firmware), VT_EMPTY);
  EXPECT_EQ(c.LastError(), 0);
  c.Call(L"ClosePort", {});
}

}  // namespace
}  // namespace qelcomm::comtest
