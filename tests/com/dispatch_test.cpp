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

// A variant holding a pointer: a reference, a BSTR or an array (they share it).
VARIANT Of(VARTYPE vt, void* p = nullptr) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = vt;
  V_BYREF(&v) = p;
  return v;
}
VARIANT I2(SHORT x) { VARIANT v = Of(VT_I2); V_I2(&v) = x; return v; }
VARIANT I4(LONG x) { VARIANT v = Of(VT_I4); V_I4(&v) = x; return v; }
VARIANT R4(float x) { VARIANT v = Of(VT_R4); V_R4(&v) = x; return v; }
// How scripting hosts pass their variables.
VARIANT ByRef(VARIANT* v) { return Of(VT_VARIANT | VT_BYREF, v); }

struct Bstr {
  explicit Bstr(const std::wstring& s) : b(SysAllocString(s.c_str())) {}
  ~Bstr() { SysFreeString(b); }
  BSTR b;
};

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

std::wstring Text(BSTR b) { return b != nullptr ? b : L""; }

struct Outcome {
  HRESULT hr = E_FAIL;
  Variant result;
  UINT arg_err = 0xFFFF;
  EXCEPINFO excep{};
  ~Outcome() { Reset(); }
  void Reset() {
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    excep = EXCEPINFO{};
    arg_err = 0xFFFF;
  }
};

// One control and its last call. Arguments in declaration order; named
// ones as (position, value), stored first as hosts store them.
class Control {
 public:
  Control() { EXPECT_EQ(CreateFromModule(CLSID_QelComm, IID_IDispatch, d_.PutVoid()), S_OK); }
  IDispatch* operator->() { return d_.Get(); }
  DISPID Id(const wchar_t* name) {
    DISPID id = 12345;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    EXPECT_EQ(d_->GetIDsOfNames(IID_NULL, &n, 1, 0, &id), S_OK) << name;
    return id;
  }
  Outcome& Call(DISPID id, std::vector<VARIANT> args,
                std::vector<std::pair<DISPID, VARIANT>> named = {}, WORD flags = DISPATCH_METHOD) {
    std::vector<VARIANT> rgvarg;
    std::vector<DISPID> ids;
    for (auto& [position, v] : named) ids.push_back(position), rgvarg.push_back(v);
    rgvarg.insert(rgvarg.end(), args.rbegin(), args.rend());
    DISPPARAMS p{rgvarg.data(), ids.data(), UINT(rgvarg.size()), UINT(ids.size())};
    last_.Reset();
    last_.hr = d_->Invoke(id, IID_NULL, 0, flags, &p, &last_.result, &last_.excep, &last_.arg_err);
    return last_;
  }
  Outcome& Call(const wchar_t* name, std::vector<VARIANT> args) { return Call(Id(name), args); }
  Outcome& Get(DISPID id) { return Call(id, {}, {}, DISPATCH_PROPERTYGET); }
  Outcome& Put(DISPID id, VARIANT v) {
    return Call(id, {}, {{DISPID_PROPERTYPUT, v}}, DISPATCH_PROPERTYPUT);
  }
  // A bool result: -1 or 0, and 99 for anything but a VT_BOOL.
  int Bool(const Outcome& o) { return V_VT(&o.result) == VT_BOOL ? V_BOOL(&o.result) : 99; }
  LONG LastError() { return V_I4(&Call(9, {}).result); }

 private:
  ComPtr<IDispatch> d_;
  Outcome last_;
};

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

TEST(Dispatch, PropertiesStoreAnyConvertibleValueAndMarkTheControlModified) {
  Control c;
  EXPECT_EQ(V_VT(&c.Get(1).result), VT_I2);
  EXPECT_EQ(V_I2(&c.Get(c.Id(L"Retries")).result), 5);
  EXPECT_EQ(V_VT(&c.Get(3).result), VT_I4);
  EXPECT_EQ(V_I4(&c.Get(3).result), 19200);
  Bstr ninety_nine(L"99"), text(L"many");
  VARIANT baud = Of(VT_R8);
  V_R8(&baud) = 57600.0;
  EXPECT_EQ(c.Put(c.Id(L"Retries"), I4(-7)).hr, S_OK);
  EXPECT_EQ(c.Put(1, Of(VT_BSTR, ninety_nine.b)).hr, S_OK);
  EXPECT_EQ(c.Put(3, baud).hr, S_OK);
  EXPECT_EQ(V_I2(&c.Get(2).result), -7);
  EXPECT_EQ(V_I2(&c.Get(1).result), 99);
  EXPECT_EQ(V_I4(&c.Get(3).result), 57600);
  ComPtr<IPersistStreamInit> persist;
  c->QueryInterface(IID_IPersistStreamInit, persist.PutVoid());
  if (persist && persist->IsDirty() != E_NOTIMPL) {
    EXPECT_EQ(persist->IsDirty(), S_OK);
  }
  EXPECT_EQ(c.Put(4, Of(VT_BSTR, text.b)).arg_err, 0u);
  EXPECT_EQ(c.Put(4, I4(70000)).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(c.Call(4, {I2(1)}, {}, DISPATCH_PROPERTYPUT).hr, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(c.Call(4, {I2(1)}, {}, DISPATCH_PROPERTYGET).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(V_I2(&c.Get(4).result), 3) << "refused puts store nothing";
}

TEST(Dispatch, RefusedArgumentsGiveTheStandardErrorAndTheirIndex) {
  Control c;
  Bstr text(L"x");
  LONG value = 0;
  SHORT small = 0;
  EXPECT_EQ(c.Call(6, {I2(1), I2(2)}).hr, DISP_E_BADPARAMCOUNT);
  Outcome& o = c.Call(6, {I2(1), Of(VT_BSTR, text.b), I4(3)});
  EXPECT_EQ(o.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(o.arg_err, 1u);  // rgvarg holds the arguments last to first
  EXPECT_EQ(c.Call(7, {I2(1), I2(2), I4(3)}).arg_err, 0u) << "an output by value";
  EXPECT_EQ(c.Call(7, {I2(1), I2(2), Of(VT_I2 | VT_BYREF, &small)}).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c.Call(7, {I2(1), I2(2), Of(VT_I4 | VT_BYREF)}).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c.Call(7, {Of(VT_I2 | VT_BYREF), I2(2), Of(VT_I4 | VT_BYREF, &value)}).arg_err, 2u);
  VARIANT omitted = Of(VT_ERROR);
  V_ERROR(&omitted) = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(c.Call(29, {I2(1), I2(2), omitted}).hr, DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(c.Call(42, {}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(c.Call(5, {}, {}, DISPATCH_PROPERTYPUT).hr, DISP_E_MEMBERNOTFOUND);

  // Named arguments, at the positions their names give.
  const VARIANT out = Of(VT_I4 | VT_BYREF, &value);
  EXPECT_EQ(c.Bool(c.Call(7, {I2(1)}, {{2, out}, {1, I2(2)}})), 0);
  EXPECT_EQ(c.Call(7, {I2(1)}, {{2, out}, {1, Of(VT_BSTR, text.b)}}).arg_err, 1u);
  EXPECT_EQ(c.Call(7, {I2(1)}, {{2, out}, {2, out}}).hr, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(c.Call(7, {I2(1), I2(2)}, {{7, out}}).arg_err, 0u);

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
  EXPECT_EQ(V_I2(&c.Call(11, {I2(2), I2(14)}).result), 1);  // GEARF1 on a standard motor
  c.Call(L"SetQELType", {I2(2), I4(5)});                      // any non-zero long is big
  EXPECT_EQ(V_I2(&c.Call(11, {I2(2), I2(14)}).result), 2);
  Bstr name(L"gearf_1");
  VARIANT held = Of(VT_BSTR, name.b);
  for (const VARIANT& arg : {held, Of(VT_BSTR | VT_BYREF, &name.b), ByRef(&held)}) {
    EXPECT_EQ(V_I2(&c.Call(18, {I2(2), arg}).result), 14);
  }
  c.Call(20, {I2(2), I4(0)});
  EXPECT_EQ(V_I2(&c.Call(18, {I2(2), held}).result), 0);

  EXPECT_EQ(c.Bool(c.Call(L"OpenPort", {})), 0);  // ComPort 0 names no device
  const LONG open_error = c.LastError();
  EXPECT_NE(open_error, 0);
  EXPECT_GT(SysStringLen(V_BSTR(&c.Call(10, {I4(open_error)}).result)), 0u);
  LONG value = 77;
  EXPECT_EQ(c.Bool(c.Call(7, {I2(1), I2(2), Of(VT_I4 | VT_BYREF, &value)})), 0);
  EXPECT_EQ(c.Bool(c.Call(7, {I2(1), I2(2), ByRef(&held)})), 0);
  EXPECT_EQ(value, 77);
  EXPECT_EQ(V_VT(&held), VT_BSTR);
  EXPECT_EQ(c.LastError(), kPortNotOpen);
  EXPECT_EQ(Text(V_BSTR(&c.Call(10, {I4(kPortNotOpen)}).result)), L"Serial port is not open");
  SHORT noop = 0;
  Outcome& o = c.Call(31, {I2(1), Of(VT_I2 | VT_BYREF, &noop)});
  EXPECT_EQ(V_VT(&o.result), VT_I2);
  EXPECT_EQ(V_I2(&o.result), 0);
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
    Outcome& o = c.Call(29, {I2(1), I2(0), data});
    EXPECT_EQ(o.hr, DISP_E_EXCEPTION) << V_VT(&data);
    EXPECT_EQ(o.excep.scode, E_INVALIDARG);
    EXPECT_EQ(Text(o.excep.bstrSource), L"QELCOMM.QelCommCtrl.1");
    EXPECT_EQ(Text(o.excep.bstrDescription).find(L"VemoPut: Data "), 0u);
    if (V_VT(&data) & VT_ARRAY && !(V_VT(&data) & VT_BYREF)) SafeArrayDestroy(V_ARRAY(&data));
  }
  EXPECT_EQ(c.LastError(), 0) << "nothing was sent";
  // An array is taken as it is, or from the variable a script passes.
  EXPECT_EQ(c.Bool(c.Call(29, {I2(1), I2(0), Of(VT_ARRAY | VT_UI1, page)})), 0);
  EXPECT_EQ(c.Bool(c.Call(29, {I2(1), I2(0), ByRef(&holder)})), 0);
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
    ASSERT_EQ(c.Bool(c.Call(L"OpenPort", {})), -1);
  }
  void TearDown() override { c.Call(L"ClosePort", {}); }
  Control c;
};

TEST_F(DispatchOnBus, MotorMembersReturnBoolsAndFillOutputs) {
  LONG value = 0;
  EXPECT_EQ(c.Bool(c.Call(L"WriteParameter", {I2(kMotor), I2(14), I4(-5)})), -1);
  EXPECT_EQ(c.Bool(c.Call(7, {I2(kMotor), I2(14), Of(VT_I4 | VT_BYREF, &value)})), -1);
  EXPECT_EQ(value, -5);
  VARIANT held = Of(VT_BSTR, SysAllocString(L"old"));  // the control frees it
  EXPECT_EQ(c.Bool(c.Call(L"ReadParameter", {I2(kMotor), I2(14), ByRef(&held)})), -1);
  EXPECT_EQ(V_VT(&held), VT_I4);
  EXPECT_EQ(V_I4(&held), -5);

  EXPECT_EQ(c.Bool(c.Call(17, {I2(kMotor), I2(6), R4(24832.09f)})), -1);  // A_SOLL, raw 100
  float user = 0;
  EXPECT_EQ(c.Bool(c.Call(16, {I2(kMotor), I2(6), Of(VT_R4 | VT_BYREF, &user)})), -1);
  EXPECT_EQ(user, 100.0f * 248.32089f);
  c.Call(L"SetFactors", {R4(1), R4(2), R4(1)});
  c.Call(L"SetFactorsBig", {R4(1), R4(3), R4(1)});
  EXPECT_EQ(c.Bool(c.Call(16, {I2(kMotor), I2(6), ByRef(&held)})), -1);
  EXPECT_EQ(V_VT(&held), VT_R4);
  EXPECT_EQ(V_R4(&held), 200.0f);

  SHORT status = -1, errors = -1;
  const VARIANT status_ref = Of(VT_I2 | VT_BYREF, &status);
  const VARIANT errors_ref = Of(VT_I2 | VT_BYREF, &errors);
  EXPECT_EQ(c.Bool(c.Call(L"ReadStatus", {I2(kMotor), status_ref, ByRef(&held), errors_ref})), -1);
  EXPECT_EQ(V_VT(&held), VT_I4);
  EXPECT_EQ(c.Bool(c.Call(40, {I2(3), I2(14), I4(42)})), -1);  // group 3 holds motor 1
  c.Call(7, {I2(kMotor), I2(14), Of(VT_I4 | VT_BYREF, &value)});
  EXPECT_EQ(value, 42);
  EXPECT_EQ(V_VT(&c.Call(41, {}).result), VT_EMPTY);
  EXPECT_EQ(c.LastError(), 0);
  for (DISPID id : {12, 13, 14, 19}) EXPECT_EQ(c.Bool(c.Call(id, {I2(kMotor)})), -1) << id;

  value = 5;
  EXPECT_EQ(c.Bool(c.Call(7, {I2(kNobody), I2(2), Of(VT_I4 | VT_BYREF, &value)})), 0);
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
  EXPECT_EQ(c.Bool(c.Call(22, {I2(kModule), Of(VT_I2 | VT_BYREF, &type), ByRef(&firmware)})), -1);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(V_I2(&firmware), 17);

  SAFEARRAY* sent = Bytes(130, 0, 0x31);  // the first 128 bytes go
  const VARIANT data = Of(VT_ARRAY | VT_UI1, sent);
  EXPECT_EQ(c.Bool(c.Call(L"VemoPut", {I2(kModule), I2(kFreePage), data})), -1);
  Variant page, untouched;
  EXPECT_EQ(c.Bool(c.Call(L"VemoGet", {I2(kModule), I2(kFreePage), ByRef(&page)})), -1);
  const auto* bytes = static_cast<const uint8_t*>(sent->pvData);
  EXPECT_EQ(PageOf(page), std::vector<uint8_t>(bytes, bytes + 128));
  SafeArrayDestroy(sent);
  V_VT(&untouched) = VT_I4;
  EXPECT_EQ(c.Bool(c.Call(28, {I2(kNobody), I2(0), ByRef(&untouched)})), 0);
  EXPECT_EQ(V_VT(&untouched), VT_I4);

  const std::pair<DISPID, std::vector<VARIANT>> commands[] = {
      {30, {I2(kModule)}}, {25, {I2(kModule)}}, {24, {I2(kModule)}}, {26, {I2(kModule)}},
      {32, {I2(kModule)}}, {34, {I2(kModule)}}, {35, {I2(kModule), I2(0), I2(10)}},
      {36, {I2(kModule), I2(5), I2(15)}}, {33, {I2(kModule)}}, {37, {I2(kModule)}},
      {38, {I2(kModule)}}};
  for (const auto& [id, args] : commands) EXPECT_EQ(c.Bool(c.Call(id, args)), -1) << id;
  SHORT noop = 0;
  Outcome& o = c.Call(L"QupNOOP", {I2(kModule), Of(VT_I2 | VT_BYREF, &noop)});
  EXPECT_EQ(V_VT(&o.result), VT_I2);
  EXPECT_EQ(V_I2(&o.result), -1);
  EXPECT_EQ(noop, 0x1234);
  Variant debug[6];
  std::vector<VARIANT> debug_args{I2(kModule)};
  for (Variant& v : debug) debug_args.push_back(ByRef(&v));
  EXPECT_EQ(c.Bool(c.Call(27, debug_args)), -1);
  EXPECT_EQ(V_VT(&debug[3]), VT_I4);  // Time
  EXPECT_EQ(V_VT(&debug[5]), VT_I2);  // ModeCmd
  EXPECT_EQ(c.LastError(), 0);

  // The demo program fills pages 0 and 1 and a part of page 2.
  const char* demo = std::getenv("QELCOMM_DEMO_HEX");
  ASSERT_NE(demo, nullptr) << "QELCOMM_DEMO_HEX: the path of tools/data/demo-module.hex";
  Bstr file(std::wstring(demo, demo + std::strlen(demo)));
  EXPECT_EQ(c.Bool(c.Call(23, {I2(kModule), Of(VT_BSTR | VT_BYREF, &file.b)})), -1);
  const std::vector<uint8_t> starts[] = {{'Q', 'E', 'L', 'D', 'E', 'M', 'O'}, {0x3B, 0x60, 0x85},
                                         {0, 1, 4, 9}};
  for (SHORT p = 0; p < 3; ++p) {
    c.Call(28, {I2(kModule), I2(p), ByRef(&page)});
    const std::vector<uint8_t> got = PageOf(page);
    ASSERT_EQ(got.size(), 128u);
    EXPECT_TRUE(std::equal(starts[p].begin(), starts[p].end(), got.begin())) << "page " << p;
  }

  Bstr missing(L"C:\\no such dir\\missing.hex");
  Outcome& e = c.Call(L"VemoProgram", {I2(kModule), Of(VT_BSTR, missing.b)});
  EXPECT_EQ(e.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(e.excep.scode, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Text(e.excep.bstrDescription),
            L"cannot read HEX file C:\\no such dir\\missing.hex: " +
                SystemMessage(ERROR_PATH_NOT_FOUND));
}

}  // namespace
}  // namespace qelcomm::comtest
