// Shows one dialog of QELCOMM.OCX for docs/screenshots.sh: the property
// page inside the system's property frame, or the About box. Once the
// dialog is up it writes the window's screen rectangle ("W H X Y") to
// RECT_FILE, and it closes the dialog when RECT_FILE.done appears (or after
// a minute). The module is taken from beside this program, unregistered.
//
//   screenshot_host.exe page|about RECT_FILE
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <string>

#include <initguid.h>

#include "control/com/guids.h"

namespace {

std::wstring g_rect_file;
int g_ticks = 0;
bool g_rect_written = false;
constexpr UINT kTickMs = 200;
constexpr int kGiveUpTicks = 60 * 1000 / kTickMs;

HRESULT ModuleFactory(REFCLSID clsid, IClassFactory** factory) {
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  HMODULE module = LoadLibraryW(L"QELCOMM.OCX");
  if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  auto get = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  return get == nullptr ? E_FAIL : get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory));
}

BOOL CALLBACK TakeShownDialog(HWND window, LPARAM out) {
  wchar_t name[16] = L"";
  GetClassNameW(window, name, 16);
  if (std::wstring(name) != L"#32770" || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(out) = window;
  return FALSE;
}

HWND ShownDialog() {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), &TakeShownDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

void WriteRect(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  FILE* f = _wfopen(g_rect_file.c_str(), L"w");
  if (f == nullptr) return;
  std::fprintf(f, "%ld %ld %ld %ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
  std::fclose(f);
  g_rect_written = true;
}

// Runs inside the dialog's own message loop.
void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD) {
  HWND dialog = ShownDialog();
  if (dialog == nullptr) return;
  ++g_ticks;
  if (!g_rect_written && g_ticks >= 3) WriteRect(dialog);  // painted by now
  const bool done = GetFileAttributesW((g_rect_file + L".done").c_str()) != INVALID_FILE_ATTRIBUTES;
  if (done || g_ticks > kGiveUpTicks) PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
}

HRESULT NewControl(IDispatch** control) {
  IClassFactory* factory = nullptr;
  HRESULT hr = ModuleFactory(CLSID_QelComm, &factory);
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(control));
  factory->Release();
  if (FAILED(hr)) return hr;
  IPersistStreamInit* persist = nullptr;
  if (SUCCEEDED((*control)->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist)))) {
    persist->InitNew();
    persist->Release();
  }
  // COM1 rather than the empty entry, so the picture shows a port.
  LPOLESTR name = const_cast<LPOLESTR>(L"ComPort");
  DISPID id = 0;
  VARIANT port;
  port.vt = VT_I2;
  port.iVal = 1;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&port, &named, 1, 1};
  if (SUCCEEDED((*control)->GetIDsOfNames(IID_NULL, &name, 1, 0, &id))) {
    (*control)->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
  }
  return S_OK;
}

// The frame makes its pages with CoCreateInstance; the page's factory is
// registered for this process only, so nothing goes into the registry.
HRESULT ShowPropertyFrame(IDispatch* control) {
  IClassFactory* factory = nullptr;
  HRESULT hr = ModuleFactory(qelcomm::com::kClsidPropPage, &factory);
  if (FAILED(hr)) return hr;
  DWORD cookie = 0;
  hr = CoRegisterClassObject(qelcomm::com::kClsidPropPage, factory, CLSCTX_INPROC_SERVER,
                             REGCLS_MULTIPLEUSE, &cookie);
  factory->Release();
  if (FAILED(hr)) return hr;
  IUnknown* objects[] = {control};
  CLSID page = qelcomm::com::kClsidPropPage;
  hr = OleCreatePropertyFrame(nullptr, 40, 40, L"QelComm Control", 1, objects, 1, &page,
                              LOCALE_USER_DEFAULT, 0, nullptr);
  CoRevokeClassObject(cookie);
  return hr;
}

HRESULT ShowAboutBox(IDispatch* control) {
  DISPPARAMS none{};
  return control->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: screenshot_host page|about RECT_FILE\n");
    return 2;
  }
  const std::wstring mode = argv[1];
  g_rect_file = argv[2];
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  IDispatch* control = nullptr;
  HRESULT hr = NewControl(&control);
  if (SUCCEEDED(hr)) {
    SetTimer(nullptr, 0, kTickMs, &OnTick);
    hr = mode == L"page" ? ShowPropertyFrame(control) : ShowAboutBox(control);
    control->Release();
  }
  CoUninitialize();
  if (FAILED(hr)) std::fprintf(stderr, "screenshot_host: failed, 0x%08lx\n", static_cast<unsigned long>(hr));
  return SUCCEEDED(hr) && g_rect_written ? 0 : 1;
}
