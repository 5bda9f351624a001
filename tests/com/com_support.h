// Test access to QELCOMM.OCX: the module beside the test program, loaded
// without registration, and small COM helpers shared by the tests.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <string>

namespace qelcomm::comtest {

// Objects made through the module's own DllGetClassObject.
HRESULT CreateFromModule(REFCLSID clsid, REFIID iid, void** out);
HMODULE OcxModule();
std::wstring OcxPath();

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A VARIANT that clears itself.
struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

}  // namespace qelcomm::comtest
