// The property page on controls, through SetObjects, Activate and Apply;
// and the About box. Headless: modal boxes are answered by a timer of this
// thread.
#include <olectl.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com_support.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

constexpr int kPort = 205, kRetries = 206, kBaud = 207, kGrpSends = 208;

class StatusSite final : public Unowned<IPropertyPageSite> {
 public:
  int dirty_reports = 0;
  STDMETHODIMP OnStatusChange(DWORD flags) override {
    return dirty_reports += (flags & PROPPAGESTATUS_DIRTY) != 0, S_OK;
  }
  STUB(HRESULT, GetLocaleID(LCID*), E_NOTIMPL) STUB(HRESULT, TranslateAccelerator(MSG*), S_FALSE)
  STUB(HRESULT, GetPageContainer(IUnknown**), E_NOTIMPL)
};

// Answers the modal boxes this thread shows with OK, from a thread timer
// that the box's own loop dispatches; keeps what each box showed. A box that
// stays is seen again on the next tick, and ended after a few.
class ModalBoxCloser {
 public:
  struct Box { std::wstring caption, text; bool icon = false; };
  std::vector<Box> boxes;

  ModalBoxCloser() : timer_(SetTimer(nullptr, 0, 20, &OnTimer)) { current_ = this; }
  ~ModalBoxCloser() { KillTimer(nullptr, timer_); }

 private:
  static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    EnumThreadWindows(GetCurrentThreadId(), &OnWindow, 0);
  }
  static BOOL CALLBACK OnWindow(HWND window, LPARAM) {
    if (ClassOf(window) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    Box& box = current_->boxes.emplace_back(Box{TextOf(window), L"", false});
    EnumChildWindows(window, &AddStatic, reinterpret_cast<LPARAM>(&box));
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    if (current_->boxes.size() > 3) EndDialog(window, IDCANCEL);
    return TRUE;
  }
  static BOOL CALLBACK AddStatic(HWND child, LPARAM box_param) {
    auto& box = *reinterpret_cast<Box*>(box_param);
    if (ClassOf(child) != L"Static") return TRUE;
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) box.text += TextOf(child);
    else box.icon = box.icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
    return TRUE;
  }
  static std::wstring ClassOf(HWND window) {
    wchar_t name[32] = L"";
    return std::wstring(name, GetClassNameW(window, name, 32));
  }
  static std::wstring TextOf(HWND window) {
    wchar_t text[256] = L"";
    return std::wstring(text, GetWindowTextW(window, text, 256));
  }
  static inline ModalBoxCloser* current_ = nullptr;
  UINT_PTR timer_;
};

// A page made by the module, active on a hidden window.
class PageTest : public ::testing::Test {
 protected:
  void Open(std::vector<IUnknown*> objects) {
    page_ = New<IPropertyPage2>(qelcomm::com::kClsidPropPage);
    parent_ = CreateWindowExW(0, L"Static", L"", WS_OVERLAPPED, 0, 0, 600, 300, nullptr, nullptr,
                              nullptr, nullptr);
    ASSERT_EQ(page_->SetPageSite(&site_), S_OK);
    ASSERT_EQ(page_->SetObjects(static_cast<ULONG>(objects.size()), objects.data()), S_OK);
    RECT rect{0, 0, 500, 200};
    ASSERT_EQ(page_->Activate(parent_, &rect, TRUE), S_OK);
    dialog_ = GetWindow(parent_, GW_CHILD);
    ASSERT_NE(dialog_, nullptr);
  }
  void TearDown() override {
    page_.Reset();
    if (parent_ != nullptr) DestroyWindow(parent_);
  }
  // The port list's selection (-1 for none), Retries, Group Sends and Baud
  // rate as "0 5 3 19200".
  std::wstring Shown() {
    std::wstring all = std::to_wstring(SendDlgItemMessageW(dialog_, kPort, CB_GETCURSEL, 0, 0));
    for (int id : {kRetries, kGrpSends, kBaud}) {
      wchar_t text[64] = L"";
      all += L" " + std::wstring(text, GetDlgItemTextW(dialog_, id, text, 64));
    }
    return all;
  }
  void ChoosePort(int index) {
    SendDlgItemMessageW(dialog_, kPort, CB_SETCURSEL, index, 0);
    SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(kPort, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog_, kPort)));
  }
  void Type(int id, const wchar_t* text) { SetDlgItemTextW(dialog_, id, text); }
  HRESULT Apply() {  // keeps the boxes it showed in warnings_
    ModalBoxCloser closer;
    const HRESULT hr = page_->Apply();
    warnings_ = closer.boxes;
    return hr;
  }

  StatusSite site_;
  ComPtr<IPropertyPage2> page_;
  HWND parent_ = nullptr, dialog_ = nullptr;
  std::vector<ModalBoxCloser::Box> warnings_;
};

TEST_F(PageTest, ShowsTheControlsValuesAsUnchangedAndReloadsThemWithNewObjects) {
  Control control;
  Open({control.Get()});
  EXPECT_EQ(Shown(), L"0 5 3 19200");
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  EXPECT_EQ(site_.dirty_reports, 0);
  MSG enter{GetDlgItem(dialog_, kBaud), WM_KEYDOWN, VK_RETURN, 0, 0, {}};  // the frame's OK
  EXPECT_EQ(page_->TranslateAccelerator(&enter), S_FALSE);
  PROPPAGEINFO info{};
  ASSERT_EQ(page_->GetPageInfo(&info), S_OK);
  EXPECT_STREQ(info.pszTitle, L"General");
  CoTaskMemFree(info.pszTitle);
  RECT units{0, 0, 250, 62};
  MapDialogRect(dialog_, &units);
  EXPECT_EQ(std::make_pair(info.size.cx, info.size.cy), std::make_pair(units.right, units.bottom));
  control.Put(1, I2(2)), control.Put(3, I4(57600));
  IUnknown* objects[] = {control.Get()};
  ASSERT_EQ(page_->SetObjects(1, objects), S_OK);
  EXPECT_EQ(Shown(), L"2 5 3 57600");
}

// Values a field cannot take are shown as the control holds them; fields
// left alone are not judged, so they block no apply of the others, and a
// port the list cannot show survives one.
TEST_F(PageTest, ShowsOutOfRangeValuesAsTheyAreAndKeepsThem) {
  Control control;
  control.Put(1, I2(7)), control.Put(2, I2(-7)), control.Put(4, I2(-1));
  Open({control.Get()});
  EXPECT_EQ(Shown(), L"-1 -7 -1 19200");
  Type(kBaud, L"57600");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_TRUE(warnings_.empty());
  EXPECT_EQ(control.Properties(), L"7 -7 -1 57600");
  Type(kRetries, L"5");
  Type(kGrpSends, L"3");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(control.Properties(), L"7 5 3 57600");
}

// The page shows the first object's values; applying writes the fields
// edited since the last apply to every object, and leaves the others alone.
TEST_F(PageTest, WritesOnlyTheEditedFieldsToEveryObject) {
  Control first, second;
  second.Put(2, I2(9));
  Open({first.Get(), second.Get()});
  ChoosePort(3);
  EXPECT_EQ(site_.dirty_reports, 1);
  EXPECT_EQ(page_->IsPageDirty(), S_OK);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  EXPECT_EQ(first.Properties(), L"3 5 3 19200");
  EXPECT_EQ(second.Properties(), L"3 9 3 19200");
  second.Put(1, I2(4));
  Type(kBaud, L"57600");
  Type(kGrpSends, L"0");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(second.Properties(), L"4 9 0 57600");
}

// Each refused value gets one warning that names its field (and the range,
// for a number outside it), the focus goes to that field, and nothing is
// written until every field holds a value its property can take: a value
// the type cannot hold is refused rather than wrapped. Fields are checked
// in order, so each refusal also shows that the accepted values of the
// fields before it pass.
TEST_F(PageTest, RefusesWhatAFieldOrItsPropertyCannotHoldAndWritesNothing) {
  Control control;
  Open({control.Get()});
  const struct {
    int id;
    const wchar_t *refused, *accepted, *warning;
  } inputs[] = {{kRetries, L"101", L"100", L"Retries must be from 0 to 100"},
                {kGrpSends, L"32768", L"7", L"Group Sends must be from 0 to 32767"},
                {kRetries, L"5x", L"0", L"whole number without sign for Retries"},
                {kGrpSends, L"-1", L" 32767 ", L"whole number without sign for Group Sends"},
                {kBaud, L"4294967296", L"-19200", L"Baud rate must be from -2147483648 to"},
                {kBaud, L"", L"-19200", L"whole number for Baud rate"}};
  for (const auto& input : inputs) {
    Type(input.id, input.refused);
    EXPECT_EQ(Apply(), E_FAIL) << input.refused;
    ASSERT_EQ(warnings_.size(), 1u) << input.refused;
    EXPECT_NE(warnings_[0].text.find(input.warning), std::wstring::npos) << warnings_[0].text;
    EXPECT_TRUE(warnings_[0].icon);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog_, input.id)) << input.refused;
    Type(input.id, input.accepted);
  }
  EXPECT_EQ(control.Properties(), L"0 5 3 19200");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_TRUE(warnings_.empty());
  EXPECT_EQ(control.Properties(), L"0 0 32767 -19200");
}

TEST(AboutBox, ShowsTheVersionAndClosesOnOk) {
  Control control;
  ModalBoxCloser closer;
  EXPECT_EQ(control.Call(DISPID_ABOUTBOX, {}).hr, S_OK);
  ASSERT_EQ(closer.boxes.size(), 1u);
  EXPECT_EQ(closer.boxes[0].caption, L"About QelComm Control");
  EXPECT_EQ(closer.boxes[0].text, L"QelComm Control, Version 1.06");
  EXPECT_TRUE(closer.boxes[0].icon);
}

}  // namespace
}  // namespace qelcomm::comtest
