// The module of QELCOMM.OCX: its instance handle, its object count, the two
// class factories and the four exports.
#include "control/com/module.h"

#include <new>

#include "control/com/com_object.h"
#include "control/com/control_object.h"
#include "control/com/guids.h"
#include "control/com/prop_page.h"
#include "control/com/registration.h"

namespace qelcomm::com {
namespace {

HINSTANCE g_instance = nullptr;
LONG g_objects = 0;
LONG g_locks = 0;

using CreateFn = HRESULT (*)(IUnknown*, REFIID, void**);

// A class factory is itself a module object while a client holds it, so
// DllCanUnloadNow says S_FALSE until it is released.
class ClassFactory final : public SingleInterfaceObject<IClassFactory> {
 public:
  explicit ClassFactory(CreateFn create)
      : SingleInterfaceObject(IID_IClassFactory), create_(create) {}

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    return create_(outer, iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    LockModule(lock != FALSE);
    return S_OK;
  }

 private:
  CreateFn create_;
};

}  // namespace

HINSTANCE ModuleInstance() { return g_instance; }
void ObjectCreated() { InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { InterlockedDecrement(&g_objects); }
void LockModule(bool lock) {
  if (lock) {
    InterlockedIncrement(&g_locks);
  } else {
    InterlockedDecrement(&g_locks);
  }
}
bool ModuleInUse() { return g_objects > 0 || g_locks > 0; }

HRESULT LoadTypeInfo(REFGUID guid, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_QELCOMMLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLcid, &lib);
  if (FAILED(hr)) hr = LoadModuleTypeLib(&lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(guid, info);
  lib->Release();
  return hr;
}

std::wstring ModulePath() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

// The type library inside the module file, else in the .tlb of the same
// name beside it.
HRESULT LoadModuleTypeLib(ITypeLib** lib) {
  const std::wstring path = ModulePath();
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib);
  if (SUCCEEDED(hr)) return hr;
  std::wstring tlb = path;
  const size_t dot = tlb.find_last_of(L'.');
  const size_t slash = tlb.find_last_of(L"\\/:");
  if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) tlb.resize(dot);
  tlb += L".tlb";
  return LoadTypeLibEx(tlb.c_str(), REGKIND_NONE, lib);
}

std::wstring LoadResourceString(UINT id) {
  const wchar_t* text = nullptr;
  // With a zero buffer size LoadStringW hands out a pointer into the
  // resource itself, which is not terminated.
  const int n = LoadStringW(g_instance, id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 ? std::wstring(text, static_cast<size_t>(n)) : std::wstring();
}

}  // namespace qelcomm::com

using namespace qelcomm::com;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_instance = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllCanUnloadNow() { return ModuleInUse() ? S_FALSE : S_OK; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  CreateFn create = nullptr;
  if (clsid == CLSID_QelComm) {
    create = &ControlObject::Create;
  } else if (clsid == kClsidPropPage) {
    create = &CreatePropPage;
  } else {
    if (out != nullptr) *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* factory = new (std::nothrow) ClassFactory(create);
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, out);
  factory->Release();
  return hr;
}

STDAPI DllRegisterServer() { return RegisterModule(); }
STDAPI DllUnregisterServer() { return UnregisterModule(); }

}  // extern "C"
