#include "com_support.h"

// The one test unit that defines the module's identifiers.
#include <initguid.h>

#include "control/com/guids.h"

#include <gtest/gtest.h>

namespace qelcomm::comtest {

std::wstring OcxPath() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  return dir + L"QELCOMM.OCX";
}

HMODULE OcxModule() {
  static HMODULE module = LoadLibraryW(OcxPath().c_str());
  return module;
}

HRESULT CreateFromModule(REFCLSID clsid, REFIID iid, void** out) {
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  HMODULE module = OcxModule();
  if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  auto get = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  if (get == nullptr) return E_FAIL;
  IClassFactory* factory = nullptr;
  HRESULT hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, iid, out);
  factory->Release();
  return hr;
}

}  // namespace qelcomm::comtest

// COM is initialised once, apartment-threaded like the hosts the control
// is registered for.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  const int rc = RUN_ALL_TESTS();
  CoUninitialize();
  return rc;
}
