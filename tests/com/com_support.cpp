#include "com_support.h"

// The one test unit that defines the module's identifiers.
#include <initguid.h>

#include "control/com/guids.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace qelcomm::comtest {

std::wstring OcxPath() {
  wchar_t path[MAX_PATH];
  std::wstring dir(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"QELCOMM.OCX";
}

HMODULE OcxModule() {
  static HMODULE module = LoadLibraryW(OcxPath().c_str());
  return module;
}

HRESULT CanUnloadNow() { return Export<HRESULT(WINAPI*)()>("DllCanUnloadNow")(); }

HRESULT CreateFromModule(REFCLSID clsid, REFIID iid, void** out) {
  if (OcxModule() == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  auto get = Export<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
  if (get == nullptr) return E_FAIL;
  ComPtr<IClassFactory> factory;
  const HRESULT hr = get(clsid, IID_IClassFactory, factory.PutVoid());
  return FAILED(hr) ? hr : factory->CreateInstance(nullptr, iid, out);
}

void Require(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw std::runtime_error(what + (" failed: " + std::to_string(hr)));
}

void Outcome::Reset() {
  VariantClear(&result);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  excep = EXCEPINFO{};
  arg_err = 0xFFFF;
}

Control::Control(IUnknown* object) {
  Require(object != nullptr ? object->QueryInterface(IID_IDispatch, d_.PutVoid())
                            : CreateFromModule(CLSID_QelComm, IID_IDispatch, d_.PutVoid()),
          "a control's IDispatch");
}

DISPID Control::Id(const wchar_t* name) {
  DISPID id = 12345;
  LPOLESTR n = const_cast<LPOLESTR>(name);
  EXPECT_EQ(d_->GetIDsOfNames(IID_NULL, &n, 1, 0, &id), S_OK) << name;
  return id;
}

Outcome& Control::Call(DISPID id, std::vector<VARIANT> args,
                       std::vector<std::pair<DISPID, VARIANT>> named, WORD flags) {
  std::vector<VARIANT> rgvarg;
  std::vector<DISPID> ids;
  for (auto& [position, v] : named) ids.push_back(position), rgvarg.push_back(v);
  rgvarg.insert(rgvarg.end(), args.rbegin(), args.rend());
  DISPPARAMS p{rgvarg.data(), ids.data(), UINT(rgvarg.size()), UINT(ids.size())};
  last_.Reset();
  last_.hr = d_->Invoke(id, IID_NULL, 0, flags, &p, &last_.result, &last_.excep, &last_.arg_err);
  return last_;
}

std::wstring Control::Properties() {
  std::wstring all;
  for (DISPID id : {1, 2, 4, 3}) {
    const VARIANT& v = Get(id).result;
    all += all.empty() ? L"" : L" ";
    if (V_VT(&v) != (id == 3 ? VT_I4 : VT_I2)) all += L"?";
    else all += std::to_wstring(id == 3 ? V_I4(&v) : V_I2(&v));
  }
  return all;
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
