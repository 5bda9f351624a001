// CQelCommPropPage: the control's property page, a COM object of its own.
// It edits ComPort, Retries, GrpSends and Baud of every object it is given,
// by property name through IDispatch, and writes only the fields the user
// changed, so that a value the page cannot show survives an apply.
#include "control/com/prop_page.h"

#include <ocidl.h>
#include <olectl.h>

#include <array>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "control/com/module.h"
#include "control/com/prop_page_dispatch.h"
#include "control/com/prop_page_fields.h"
#include "control/com/resource.h"

namespace qelcomm::com {
namespace {

using FieldValues = std::array<int64_t, kFieldCount>;

int FieldOfControl(int control_id) {
  for (int i = 0; i < kFieldCount; ++i) {
    if (kPageFields[i].control_id == control_id) return i;
  }
  return -1;
}

INT_PTR CALLBACK MeasuringProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The page's size in pixels, from a hidden instance of its template: the
// dialog manager turns dialog units into pixels with the template's font.
SIZE TemplateSizeInPixels() {
  HWND probe = CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_PROPPAGE_QELCOMM),
                                  GetDesktopWindow(), MeasuringProc, 0);
  RECT rect{};
  if (probe != nullptr) {
    GetWindowRect(probe, &rect);
    DestroyWindow(probe);
  }
  return {rect.right - rect.left, rect.bottom - rect.top};
}

}  // namespace

class CQelCommPropPage final : public IPropertyPage2 {
 public:
  CQelCommPropPage() { ObjectCreated(); }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override;

  // IPropertyPage
  STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
  STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  STDMETHODIMP Deactivate() override;
  STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
  STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
  STDMETHODIMP Show(UINT show) override;
  STDMETHODIMP Move(LPCRECT rect) override;
  STDMETHODIMP IsPageDirty() override;
  STDMETHODIMP Apply() override;
  STDMETHODIMP Help(LPCOLESTR help_dir) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG* msg) override;
  // IPropertyPage2
  STDMETHODIMP EditProperty(DISPID id) override;

 private:
  ~CQelCommPropPage();
  CQelCommPropPage(const CQelCommPropPage&) = delete;
  CQelCommPropPage& operator=(const CQelCommPropPage&) = delete;

  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  bool KeyLeavesPage(WPARAM key) const;
  void OnCommand(int control_id, WORD code);
  void FillPortList();
  void LoadFields();
  std::optional<FieldValues> ReadFields();
  HRESULT WriteChangedFields(const FieldValues& values);
  void Warn(const PageField& field, const std::wstring& text);
  void FocusField(int control_id);
  void ReleaseObjects();

  LONG refs_ = 1;
  IPropertyPageSite* site_ = nullptr;
  std::vector<IDispatch*> objects_;
  HWND dialog_ = nullptr;
  bool loading_ = false;  // programmatic changes are not the user's
  std::array<bool, kFieldCount> changed_{};
  int focus_on_activate_ = 0;  // control to focus once active, from EditProperty
};

CQelCommPropPage::~CQelCommPropPage() {
  if (dialog_ != nullptr) DestroyWindow(dialog_);
  ReleaseObjects();
  if (site_ != nullptr) site_->Release();
  ObjectDestroyed();
}

STDMETHODIMP CQelCommPropPage::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPropertyPage || iid == IID_IPropertyPage2) {
    *out = static_cast<IPropertyPage2*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CQelCommPropPage::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

STDMETHODIMP CQelCommPropPage::SetPageSite(IPropertyPageSite* site) {
  if (site != nullptr) site->AddRef();
  if (site_ != nullptr) site_->Release();
  site_ = site;
  return S_OK;
}

STDMETHODIMP CQelCommPropPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  if (dialog_ != nullptr) return E_UNEXPECTED;
  dialog_ = CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_PROPPAGE_QELCOMM), parent,
                               DialogProc, reinterpret_cast<LPARAM>(this));
  if (dialog_ == nullptr) return HRESULT_FROM_WIN32(::GetLastError());
  if (rect != nullptr) Move(rect);
  LoadFields();
  if (focus_on_activate_ != 0) FocusField(focus_on_activate_);
  focus_on_activate_ = 0;
  return S_OK;
}

STDMETHODIMP CQelCommPropPage::Deactivate() {
  if (dialog_ == nullptr) return E_UNEXPECTED;
  DestroyWindow(dialog_);
  dialog_ = nullptr;
  changed_.fill(false);
  return S_OK;
}

STDMETHODIMP CQelCommPropPage::GetPageInfo(PROPPAGEINFO* info) {
  if (info == nullptr) return E_POINTER;
  const std::wstring title = LoadResourceString(IDS_QELCOMM_PPG_CAPTION);
  const size_t bytes = (title.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (copy == nullptr) return E_OUTOFMEMORY;
  CopyMemory(copy, title.c_str(), bytes);
  *info = PROPPAGEINFO{};
  info->cb = sizeof(PROPPAGEINFO);
  info->pszTitle = copy;
  info->size = TemplateSizeInPixels();
  return S_OK;
}

STDMETHODIMP CQelCommPropPage::SetObjects(ULONG count, IUnknown** objects) {
  if (count > 0 && objects == nullptr) return E_POINTER;
  std::vector<IDispatch*> dispatches;
  for (ULONG i = 0; i < count; ++i) {
    IDispatch* dispatch = nullptr;
    if (objects[i] == nullptr ||
        FAILED(objects[i]->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
      for (IDispatch* d : dispatches) d->Release();
      return E_NOINTERFACE;
    }
    dispatches.push_back(dispatch);
  }
  ReleaseObjects();
  objects_ = std::move(dispatches);
  if (dialog_ != nullptr) LoadFields();
  return S_OK;
}

STDMETHODIMP CQelCommPropPage::Show(UINT show) {
  if (dialog_ == nullptr) return E_UNEXPECTED;
  ShowWindow(dialog_, static_cast<int>(show));
  return S_OK;
}

STDMETHODIMP CQelCommPropPage::Move(LPCRECT rect) {
  if (rect == nullptr) return E_POINTER;
  if (dialog_ == nullptr) return E_UNEXPECTED;
  MoveWindow(dialog_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

STDMETHODIMP CQelCommPropPage::IsPageDirty() {
  for (bool changed : changed_) {
    if (changed) return S_OK;
  }
  return S_FALSE;
}

// Every changed field is checked first, so that a refused apply writes
// nothing; then they go to every object in order. A field the user left
// alone is neither judged nor written: a value the page shows but would not
// accept (a negative GrpSends) must not block an apply of the others.
STDMETHODIMP CQelCommPropPage::Apply() {
  if (dialog_ == nullptr || IsPageDirty() != S_OK) return S_OK;
  const std::optional<FieldValues> values = ReadFields();
  if (!values) return E_FAIL;
  return WriteChangedFields(*values);
}

// Keys for the page's own controls. Enter and Escape belong to the frame
// (its OK and Cancel), and so does a Tab that leaves the page's last control.
STDMETHODIMP CQelCommPropPage::TranslateAccelerator(MSG* msg) {
  if (msg == nullptr) return E_POINTER;
  if (dialog_ == nullptr) return E_UNEXPECTED;
  if (msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST) return S_FALSE;
  if (msg->hwnd != dialog_ && !IsChild(dialog_, msg->hwnd)) return S_FALSE;
  if (msg->message == WM_KEYDOWN && KeyLeavesPage(msg->wParam)) return S_FALSE;
  return IsDialogMessageW(dialog_, msg) ? S_OK : S_FALSE;
}

bool CQelCommPropPage::KeyLeavesPage(WPARAM key) const {
  if (key == VK_RETURN || key == VK_ESCAPE || key == VK_CANCEL || key == VK_EXECUTE) return true;
  if (key != VK_TAB) return false;
  HWND first = GetNextDlgTabItem(dialog_, nullptr, FALSE);
  HWND last = GetNextDlgTabItem(dialog_, first, TRUE);
  return GetFocus() == (GetKeyState(VK_SHIFT) < 0 ? first : last);
}

STDMETHODIMP CQelCommPropPage::EditProperty(DISPID id) {
  if (objects_.empty()) return E_UNEXPECTED;
  for (const PageField& field : kPageFields) {
    DISPID field_id = DISPID_UNKNOWN;
    if (FAILED(DispIdOfName(objects_.front(), field.property, &field_id)) || field_id != id) continue;
    if (dialog_ != nullptr) {
      FocusField(field.control_id);
    } else {
      focus_on_activate_ = field.control_id;
    }
    return S_OK;
  }
  return E_INVALIDARG;
}

INT_PTR CALLBACK CQelCommPropPage::DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    auto* page = reinterpret_cast<CQelCommPropPage*>(lparam);
    page->dialog_ = dialog;
    page->FillPortList();
    return FALSE;  // the frame decides where the focus goes
  }
  auto* page = reinterpret_cast<CQelCommPropPage*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (page != nullptr && message == WM_COMMAND) {
    page->OnCommand(LOWORD(wparam), HIWORD(wparam));
    return TRUE;
  }
  return FALSE;
}

void CQelCommPropPage::OnCommand(int control_id, WORD code) {
  const int i = FieldOfControl(control_id);
  if (loading_ || i < 0) return;
  const bool edited = kPageFields[i].kind == FieldKind::kPortList ? code == CBN_SELCHANGE : code == EN_CHANGE;
  if (!edited) return;
  changed_[static_cast<size_t>(i)] = true;
  if (site_ != nullptr) site_->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

void CQelCommPropPage::FillPortList() {
  HWND list = GetDlgItem(dialog_, IDC_COMPORT);
  for (const wchar_t* name : kPortNames) SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
}

// Reads from the first object, as the page shows one set of values.
void CQelCommPropPage::LoadFields() {
  loading_ = true;
  for (const PageField& field : kPageFields) {
    VARIANT value;
    VariantInit(&value);
    if (!objects_.empty()) GetPropertyByName(objects_.front(), field.property, &value);
    if (field.kind == FieldKind::kPortList) {
      SendDlgItemMessageW(dialog_, field.control_id, CB_SETCURSEL, static_cast<WPARAM>(PortListIndex(value)), 0);
    } else {
      SetDlgItemTextW(dialog_, field.control_id, FieldText(field, value).c_str());
    }
    VariantClear(&value);
  }
  changed_.fill(false);
  loading_ = false;
}

std::optional<FieldValues> CQelCommPropPage::ReadFields() {
  FieldValues values{};
  for (int i = 0; i < kFieldCount; ++i) {
    if (!changed_[static_cast<size_t>(i)]) continue;
    const PageField& field = kPageFields[i];
    HWND control = GetDlgItem(dialog_, field.control_id);
    if (field.kind == FieldKind::kPortList) {
      values[static_cast<size_t>(i)] = SendMessageW(control, CB_GETCURSEL, 0, 0);
      continue;
    }
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    const std::optional<int64_t> value = ParseFieldText(field, text);
    if (!value) {
      Warn(field, NotANumberWarning(field));
      return std::nullopt;
    }
    if (*value < field.min || *value > field.max) {
      Warn(field, OutOfRangeWarning(field));
      return std::nullopt;
    }
    values[static_cast<size_t>(i)] = *value;
  }
  return values;
}

// Writes on, past a failing object, so that one refusal does not leave the
// others behind; the first failure is returned and the marks stay for a retry.
HRESULT CQelCommPropPage::WriteChangedFields(const FieldValues& values) {
  HRESULT result = S_OK;
  for (int i = 0; i < kFieldCount; ++i) {
    const PageField& field = kPageFields[i];
    const int64_t value = values[static_cast<size_t>(i)];
    if (!changed_[static_cast<size_t>(i)]) continue;
    if (field.kind == FieldKind::kPortList && value < 0) continue;  // no selection
    for (IDispatch* object : objects_) {
      const HRESULT hr = PutPropertyByName(object, field.property, FieldVariant(field, value));
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
  }
  if (SUCCEEDED(result)) changed_.fill(false);
  return result;
}

void CQelCommPropPage::Warn(const PageField& field, const std::wstring& text) {
  const std::wstring caption = LoadResourceString(IDS_QELCOMM);
  MessageBoxW(GetAncestor(dialog_, GA_ROOT), text.c_str(), caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
  FocusField(field.control_id);
}

void CQelCommPropPage::FocusField(int control_id) {
  HWND control = GetDlgItem(dialog_, control_id);
  SetFocus(control);
  if (kPageFields[FieldOfControl(control_id)].kind != FieldKind::kPortList) SendMessageW(control, EM_SETSEL, 0, -1);
}

void CQelCommPropPage::ReleaseObjects() {
  for (IDispatch* object : objects_) object->Release();
  objects_.clear();
}

HRESULT CreatePropPage(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* page = new (std::nothrow) CQelCommPropPage();
  if (page == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = page->QueryInterface(iid, out);
  page->Release();
  return hr;
}

}  // namespace qelcomm::com
