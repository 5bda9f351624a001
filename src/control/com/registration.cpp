#include "control/com/registration.h"

#include <oleauto.h>
#include <olectl.h>

#include <string>

#include "control/com/control_object.h"
#include "control/com/guids.h"
#include "control/com/module.h"
#include "control/com/resource.h"

namespace qelcomm::com {
namespace {

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  return StringFromGUID2(guid, text, 40) > 0 ? std::wstring(text) : std::wstring();
}

// The registry takes the short form, so that paths with blanks need no
// quoting in hosts that split the InprocServer32 value.
std::wstring ShortModulePath() {
  const std::wstring full = ModulePath();
  wchar_t path[MAX_PATH];
  const DWORD n = GetShortPathNameW(full.c_str(), path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(path, n) : full;
}

// The directory part, up to and including the last \, / or :.
std::wstring DirectoryOf(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

HRESULT RegisterOwnTypeLib() {
  const std::wstring path = ModulePath();
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadModuleTypeLib(&lib);
  if (FAILED(hr)) return hr;
  std::wstring help = DirectoryOf(path);
  hr = RegisterTypeLib(lib, const_cast<LPOLESTR>(path.c_str()),
                       help.empty() ? nullptr : const_cast<LPOLESTR>(help.c_str()));
  lib->Release();
  return hr;
}

bool SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& data) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  const LONG rc = RegSetValueExW(handle, name, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(data.c_str()), bytes);
  RegCloseKey(handle);
  return rc == ERROR_SUCCESS;
}

// A key that is not there counts as removed.
bool DeleteTree(const std::wstring& key) {
  const LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool RegisterControlClass(const std::wstring& module) {
  const std::wstring name = LoadResourceString(IDS_QELCOMM);
  const std::wstring clsid = GuidText(CLSID_QelComm);
  const std::wstring key = L"CLSID\\" + clsid;
  const std::wstring progid = kControlProgId;
  wchar_t misc[16];
  wsprintfW(misc, L"%lu", static_cast<unsigned long>(kMiscStatus));
  wchar_t version[16];
  wsprintfW(version, L"%u.%u", kTypeLibMajor, kTypeLibMinor);
  return SetValue(progid, nullptr, name) && SetValue(progid + L"\\CLSID", nullptr, clsid) &&
         SetValue(key, nullptr, name) && SetValue(key + L"\\ProgID", nullptr, progid) &&
         SetValue(key + L"\\InprocServer32", nullptr, module) &&
         SetValue(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment") &&
         SetValue(key + L"\\ToolboxBitmap32", nullptr, module + L", 1") &&
         SetValue(key + L"\\MiscStatus", nullptr, L"0") &&
         SetValue(key + L"\\MiscStatus\\1", nullptr, misc) &&
         SetValue(key + L"\\Control", nullptr, L"") &&
         SetValue(key + L"\\TypeLib", nullptr, GuidText(LIBID_QELCOMMLib)) &&
         SetValue(key + L"\\Version", nullptr, version);
}

bool RegisterPageClass(const std::wstring& module) {
  const std::wstring key = L"CLSID\\" + GuidText(kClsidPropPage);
  return SetValue(key, nullptr, LoadResourceString(IDS_QELCOMM_PPG)) &&
         SetValue(key + L"\\InprocServer32", nullptr, module);
}

// An interface key in one registry view (KEY_WOW64_32KEY or _64KEY).
bool DeleteInterfaceKey(REFGUID iid, REGSAM view) {
  HKEY interfaces = nullptr;
  LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Interface", 0, KEY_ALL_ACCESS | view, &interfaces);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) return false;
  rc = RegDeleteTreeW(interfaces, GuidText(iid).c_str());
  RegCloseKey(interfaces);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// Every version and locale under the library's key, and the interface keys
// that RegisterTypeLib made for its interfaces: a 32-bit registration
// writes them into both registry views, so both are cleaned.
bool RemoveTypeLibKeys() {
  bool ok = DeleteTree(L"TypeLib\\" + GuidText(LIBID_QELCOMMLib));
  for (const GUID* iid : {&DIID__DQelComm, &DIID__DQelCommEvents}) {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) ok = DeleteInterfaceKey(*iid, view) && ok;
  }
  return ok;
}

// Through oleaut32's own entry, looked up at run time; nothing is lost when
// it or the library cannot be found, because the keys are already gone.
void UnregisterOwnTypeLib() {
  ITypeLib* lib = nullptr;
  if (FAILED(LoadModuleTypeLib(&lib))) return;
  using UnRegisterFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
  HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
  auto fn = oleaut ? reinterpret_cast<UnRegisterFn>(
                         reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")))
                   : nullptr;
  TLIBATTR* attr = nullptr;
  if (fn != nullptr && SUCCEEDED(lib->GetLibAttr(&attr))) {
    fn(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    lib->ReleaseTLibAttr(attr);
  }
  lib->Release();
}

}  // namespace

HRESULT RegisterModule() {
  if (FAILED(RegisterOwnTypeLib())) return SELFREG_E_TYPELIB;
  const std::wstring module = ShortModulePath();
  if (module.empty() || !RegisterControlClass(module) || !RegisterPageClass(module)) {
    return SELFREG_E_CLASS;
  }
  return RegisterOwnTypeLib();
}

HRESULT UnregisterModule() {
  if (!RemoveTypeLibKeys()) return SELFREG_E_TYPELIB;
  const bool classes = DeleteTree(L"CLSID\\" + GuidText(CLSID_QelComm)) &&
                       DeleteTree(kControlProgId) &&
                       DeleteTree(L"CLSID\\" + GuidText(kClsidPropPage));
  if (!classes) return SELFREG_E_CLASS;
  UnregisterOwnTypeLib();
  return S_OK;
}

}  // namespace qelcomm::com
