// The property page against stand-in controls that record what is written
// to them, then against the real control; and the About box. Headless:
// modal boxes are answered by a timer of this thread.
#include <olectl.h>

#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com_support.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

using Writes = std::vector<std::wstring>;
constexpr int kPort = 205, kRetries = 206, kBaud = 207, kGrpSends = 208;

// The four properties by name, typed like the control's (Baud a long, the
// rest shorts); each put is recorded as "Name=value".
class FakeControl final : public IDispatch {
 public:
  static constexpr const wchar_t* kNames[] = {L"ComPort", L"Retries", L"GrpSends", L"Baud"};
  long values[4];
  Writes writes;

  FakeControl(long port, long retries, long grp_sends, long baud) : values{port, retries, grp_sends, baud} {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_IDispatch ? this : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // owned by the test
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* id) override {
    for (*id = 0; *id < 4; ++*id) {
      if (std::wstring(kNames[*id]) == names[0]) return S_OK;
    }
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    const VARTYPE type = id == 3 ? VT_I4 : VT_I2;
    Variant v;
    if (flags == DISPATCH_PROPERTYGET) {
      result->vt = type;
      if (type == VT_I2) result->iVal = static_cast<short>(values[id]);
      else result->lVal = values[id];
      return S_OK;
    }
    const HRESULT hr = VariantChangeType(&v, &params->rgvarg[0], 0, type);
    if (FAILED(hr)) return hr;
    values[id] = type == VT_I2 ? v.iVal : v.lVal;
    writes.push_back(kNames[id] + (L"=" + std::to_wstring(values[id])));
    return S_OK;
  }
};

class StatusSite final : public IPropertyPageSite {
 public:
  int dirty_reports = 0;
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_IPropertyPageSite ? this : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP OnStatusChange(DWORD flags) override {
    dirty_reports += (flags & PROPPAGESTATUS_DIRTY) != 0;
    return S_OK;
  }
  STDMETHODIMP GetLocaleID(LCID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
};

// Answers the modal boxes this thread shows with OK, from a thread timer
// that the box's own loop dispatches; keeps what each box showed. A box that
// stays is seen again on the next tick, and ended after a few.
class ModalBoxCloser {
 public:
  struct Box {
    std::wstring caption, text;
    bool icon = false;
  };
  std::vector<Box> boxes;

  ModalBoxCloser() : timer_(SetTimer(nullptr, 0, 20, &OnTimer)) { current_ = this; }
  ~ModalBoxCloser() { KillTimer(nullptr, timer_); }

 private:
  static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    EnumThreadWindows(GetCurrentThreadId(), &OnWindow, 0);
  }
  static BOOL CALLBACK OnWindow(HWND window, LPARAM) {
    if (ClassOf(window) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    Box& box = current_->boxes.emplace_back();
    box.caption = TextOf(window);
    EnumChildWindows(window, &AddStatic, reinterpret_cast<LPARAM>(&box));
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    if (current_->boxes.size() > 3) EndDialog(window, IDCANCEL);
    return TRUE;
  }
  static BOOL CALLBACK AddStatic(HWND child, LPARAM box_param) {
    auto& box = *reinterpret_cast<Box*>(box_param);
    if (ClassOf(child) != L"Static") return TRUE;
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      box.icon = box.icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
    } else {
      box.text += TextOf(child);
    }
    return TRUE;
  }
  static std::wstring ClassOf(HWND window) {
    wchar_t name[32] = L"";
    GetClassNameW(window, name, 32);
    return name;
  }
  static std::wstring TextOf(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
  }
  static inline ModalBoxCloser* current_ = nullptr;
  UINT_PTR timer_;
};

// A page made by the module, active on a hidden window.
class PageTest : public ::testing::Test {
 protected:
  FakeControl& Control(long port, long retries, long grp_sends, long baud) {
    return controls_.emplace_back(port, retries, grp_sends, baud);
  }
  void Open(std::vector<IUnknown*> objects) {
    ASSERT_EQ(CreateFromModule(qelcomm::com::kClsidPropPage, IID_IPropertyPage2, page_.PutVoid()), S_OK);
    parent_ = CreateWindowExW(0, L"Static", L"", WS_OVERLAPPED, 0, 0, 600, 300, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(page_->SetPageSite(&site_), S_OK);
    ASSERT_EQ(page_->SetObjects(static_cast<ULONG>(objects.size()), objects.data()), S_OK);
    RECT rect{0, 0, 500, 200};
    ASSERT_EQ(page_->Activate(parent_, &rect, TRUE), S_OK);
    dialog_ = GetWindow(parent_, GW_CHILD);
    ASSERT_NE(dialog_, nullptr);
  }
  void TearDown() override {
    page_.Reset();  // before the stand-ins it holds go
    if (parent_ != nullptr) DestroyWindow(parent_);
  }
  std::wstring Texts() {
    std::wstring all;
    for (int id : {kRetries, kGrpSends, kBaud}) {
      wchar_t text[64] = L"";
      GetDlgItemTextW(dialog_, id, text, 64);
      all += (all.empty() ? L"" : L" ") + std::wstring(text);
    }
    return all;
  }
  LRESULT PortIndex() { return SendDlgItemMessageW(dialog_, kPort, CB_GETCURSEL, 0, 0); }
  void ChoosePort(int index) {
    SendDlgItemMessageW(dialog_, kPort, CB_SETCURSEL, index, 0);
    SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(kPort, CBN_SELCHANGE), reinterpret_cast<LPARAM>(GetDlgItem(dialog_, kPort)));
  }
  void Type(int id, const wchar_t* text) { SetDlgItemTextW(dialog_, id, text); }
  HRESULT Apply(std::vector<ModalBoxCloser::Box>* warnings = nullptr) {
    ModalBoxCloser closer;
    const HRESULT hr = page_->Apply();
    if (warnings != nullptr) *warnings = closer.boxes;
    return hr;
  }

  std::list<FakeControl> controls_;
  StatusSite site_;
  ComPtr<IPropertyPage2> page_;
  HWND parent_ = nullptr;
  HWND dialog_ = nullptr;
};

TEST_F(PageTest, ShowsANewControlsValuesAsUnchanged) {
  Open({&Control(0, 5, 3, 19200)});
  EXPECT_EQ(PortIndex(), 0);
  EXPECT_EQ(Texts(), L"5 3 19200");
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  EXPECT_EQ(site_.dirty_reports, 0);
  MSG enter{GetDlgItem(dialog_, kBaud), WM_KEYDOWN, VK_RETURN, 0, 0, {}};  // the frame's OK
  EXPECT_EQ(page_->TranslateAccelerator(&enter), S_FALSE);

  PROPPAGEINFO info{};
  ASSERT_EQ(page_->GetPageInfo(&info), S_OK);
  EXPECT_STREQ(info.pszTitle, L"General");
  RECT units{0, 0, 250, 62};
  MapDialogRect(dialog_, &units);
  EXPECT_EQ(info.size.cx, units.right);
  EXPECT_EQ(info.size.cy, units.bottom);
  CoTaskMemFree(info.pszTitle);
}

// Values a field cannot take are shown as the control holds them.
TEST_F(PageTest, ShowsOutOfRangeValuesAsTheyAre) {
  Open({&Control(7, -7, -1, 19200)});
  EXPECT_EQ(PortIndex(), CB_ERR);
  EXPECT_EQ(Texts(), L"-7 -1 19200");
}

TEST_F(PageTest, WritesOnlyTheEditedFieldsToEveryObjectInOrder) {
  FakeControl &first = Control(0, 5, 3, 19200), &second = Control(0, 5, 3, 19200);
  Open({&first, &second});
  ChoosePort(3);
  EXPECT_EQ(site_.dirty_reports, 1);
  EXPECT_EQ(page_->IsPageDirty(), S_OK);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(first.writes, Writes{L"ComPort=3"});
  EXPECT_EQ(second.writes, Writes{L"ComPort=3"});
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);

  Type(kBaud, L"57600");
  Type(kGrpSends, L"0");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(first.writes, (Writes{L"ComPort=3", L"GrpSends=0", L"Baud=57600"}));
}

TEST_F(PageTest, KeepsAPortItCannotShow) {
  FakeControl& control = Control(7, 5, 3, 19200);
  Open({&control});
  Type(kBaud, L"12345");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(control.writes, Writes{L"Baud=12345"});
}

TEST_F(PageTest, RefusesRetriesOutsideTheRangeAndWritesNothing) {
  FakeControl& control = Control(0, 5, 3, 19200);
  Open({&control});
  Type(kBaud, L"9600");
  Type(kRetries, L"101");
  std::vector<ModalBoxCloser::Box> warnings;
  EXPECT_EQ(Apply(&warnings), E_FAIL);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find(L"0 to 100"), std::wstring::npos) << warnings[0].text;
  EXPECT_TRUE(warnings[0].icon);
  EXPECT_EQ(GetFocus(), GetDlgItem(dialog_, kRetries));
  EXPECT_TRUE(control.writes.empty());

  Type(kRetries, L"100");
  ASSERT_EQ(Apply(&warnings), S_OK);
  EXPECT_TRUE(warnings.empty());
  Type(kRetries, L"0");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(control.writes, (Writes{L"Retries=100", L"Baud=9600", L"Retries=0"}));
}

// A value the property's type cannot hold is refused rather than wrapped
// (GrpSends 70000 would arrive as 4464), as is text that is no number.
TEST_F(PageTest, RefusesWhatThePropertyCannotHold) {
  FakeControl& control = Control(0, 5, 3, 19200);
  Open({&control});
  const struct {
    int id;
    const wchar_t *refused, *accepted;
  } inputs[] = {{kGrpSends, L"70000", L" 32767 "}, {kGrpSends, L"-1", L"32767"},
                {kRetries, L"5x", L"7"}, {kBaud, L"4294967296", L"-19200"}, {kBaud, L"", L"-19200"}};
  for (const auto& input : inputs) {
    Type(input.id, input.refused);
    std::vector<ModalBoxCloser::Box> warnings;
    EXPECT_EQ(Apply(&warnings), E_FAIL) << input.refused;
    EXPECT_EQ(warnings.size(), 1u) << input.refused;
    Type(input.id, input.accepted);
  }
  EXPECT_TRUE(control.writes.empty());
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(control.writes, (Writes{L"Retries=7", L"GrpSends=32767", L"Baud=-19200"}));
}

TEST_F(PageTest, EditsTheRealControl) {
  ComPtr<IPersistStreamInit> control;
  ASSERT_EQ(CreateFromModule(CLSID_QelComm, IID_IPersistStreamInit, control.PutVoid()), S_OK);
  ASSERT_EQ(control->InitNew(), S_OK);
  Open({control.Get()});
  EXPECT_EQ(PortIndex(), 0);
  EXPECT_EQ(Texts(), L"5 3 19200");
  ChoosePort(2);
  Type(kBaud, L"57600");
  ASSERT_EQ(Apply(), S_OK);

  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(control->QueryInterface(IID_IDispatch, dispatch.PutVoid()), S_OK);
  IUnknown* objects[] = {dispatch.Get()};
  ASSERT_EQ(page_->SetObjects(1, objects), S_OK);
  EXPECT_EQ(PortIndex(), 2);  // loaded again from the control
  EXPECT_EQ(Texts(), L"5 3 57600");
  EXPECT_EQ(control->IsDirty(), S_OK);
}

TEST(AboutBox, ShowsTheVersionAndClosesOnOk) {
  ComPtr<IDispatch> control;
  ASSERT_EQ(CreateFromModule(CLSID_QelComm, IID_IDispatch, control.PutVoid()), S_OK);
  ModalBoxCloser closer;
  DISPPARAMS none{};
  EXPECT_EQ(control->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), S_OK);
  ASSERT_EQ(closer.boxes.size(), 1u);
  EXPECT_EQ(closer.boxes[0].caption, L"About QelComm Control");
  EXPECT_EQ(closer.boxes[0].text, L"QelComm Control, Version 1.06");
  EXPECT_TRUE(closer.boxes[0].icon);
}

TEST(PropPageObject, RefusesAggregationAndKeepsTheModuleLoaded) {
  auto get = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
      reinterpret_cast<void*>(GetProcAddress(OcxModule(), "DllGetClassObject")));
  auto can_unload = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(OcxModule(), "DllCanUnloadNow")));
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(get(qelcomm::com::kClsidPropPage, IID_IClassFactory, factory.PutVoid()), S_OK);
  ComPtr<IUnknown> page;
  StatusSite outer;
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, page.PutVoid()), CLASS_E_NOAGGREGATION);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, page.PutVoid()), S_OK);
  factory.Reset();
  EXPECT_EQ(can_unload(), S_FALSE);
  page.Reset();
  EXPECT_EQ(can_unload(), S_OK);
}

}  // namespace
}  // namespace qelcomm::comtest
