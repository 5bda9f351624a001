// Test access to QELCOMM.OCX: the module beside the test program, loaded
// without registration, and the COM scaffolding the tests share.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <string>
#include <utility>
#include <vector>

namespace qelcomm::comtest {

std::wstring OcxPath();
HMODULE OcxModule();
template <typename Fn>
Fn Export(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(OcxModule(), name)));
}
HRESULT CanUnloadNow();  // the module's DllCanUnloadNow
// Objects made through the module's own DllGetClassObject.
HRESULT CreateFromModule(REFCLSID clsid, REFIID iid, void** out);
// For steps the rest of a test stands on: a failure throws, which fails the test.
void Require(HRESULT hr, const char* what);

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept { return std::swap(p_, other.p_), *this; }
  ~ComPtr() { Reset(); }
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  T** Put() { return Reset(), &p_; }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
  }

 private:
  T* p_ = nullptr;
};

template <typename T>
ComPtr<T> Query(IUnknown* object) {
  ComPtr<T> p;
  Require(object->QueryInterface(__uuidof(T), p.PutVoid()), "QueryInterface");
  return p;
}
template <typename T>
ComPtr<T> New(REFCLSID clsid) {
  ComPtr<T> p;
  Require(CreateFromModule(clsid, __uuidof(T), p.PutVoid()), "creating an object");
  return p;
}

// A method of a stand-in that only answers.
#define STUB(type, signature, result) \
  STDMETHODIMP_(type) signature override { return result; }

// A stand-in the test owns: it answers for I only and counts no references.
template <typename I>
class Unowned : public I {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == __uuidof(I) ? static_cast<I*>(this) : nullptr;
    return *out != nullptr ? S_OK : E_NOINTERFACE;
  }
  STUB(ULONG, AddRef(), 2) STUB(ULONG, Release(), 1)
};

// A VARIANT that clears itself.
struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

// Argument values, not owned. Of: a variant holding a pointer (a reference,
// a BSTR or an array share it); ByRef: a script variable, as scripting hosts
// pass theirs.
inline VARIANT Of(VARTYPE vt, void* p = nullptr) {
  VARIANT v;
  VariantInit(&v);
  return V_VT(&v) = vt, V_BYREF(&v) = p, v;
}
inline VARIANT I2(SHORT x) { VARIANT v = Of(VT_I2); return V_I2(&v) = x, v; }
inline VARIANT I4(LONG x) { VARIANT v = Of(VT_I4); return V_I4(&v) = x, v; }
inline VARIANT R4(float x) { VARIANT v = Of(VT_R4); return V_R4(&v) = x, v; }
inline VARIANT ByRef(VARIANT* v) { return Of(VT_VARIANT | VT_BYREF, v); }

struct Bstr {
  explicit Bstr(const std::wstring& s) : b(SysAllocStringLen(s.data(), UINT(s.size()))) {}
  ~Bstr() { SysFreeString(b); }
  BSTR b;
};
inline std::wstring Text(BSTR b) { return b != nullptr ? b : L""; }

// What one Invoke gave back.
struct Outcome {
  HRESULT hr = E_FAIL;
  Variant result;
  UINT arg_err = 0xFFFF;  // as Invoke left it: 0xFFFF when it blamed no argument
  EXCEPINFO excep{};
  ~Outcome() { Reset(); }
  void Reset();
  // A bool result: -1 or 0, and 99 for anything but a VT_BOOL.
  int Bool() const { return V_VT(&result) == VT_BOOL ? V_BOOL(&result) : 99; }
};

// A control (a new one, or `object`) through IDispatch and its last call.
// Arguments in declaration order; named ones as (position, value), stored
// first as hosts store them.
class Control {
 public:
  explicit Control(IUnknown* object = nullptr);
  IDispatch* Get() const { return d_.Get(); }
  IDispatch* operator->() const { return d_.Get(); }
  DISPID Id(const wchar_t* name);
  Outcome& Call(DISPID id, std::vector<VARIANT> args,
                std::vector<std::pair<DISPID, VARIANT>> named = {}, WORD flags = DISPATCH_METHOD);
  Outcome& Call(const wchar_t* name, std::vector<VARIANT> args) { return Call(Id(name), args); }
  Outcome& Get(DISPID id) { return Call(id, {}, {}, DISPATCH_PROPERTYGET); }
  Outcome& Put(DISPID id, VARIANT v) {
    return Call(id, {}, {{DISPID_PROPERTYPUT, v}}, DISPATCH_PROPERTYPUT);
  }
  LONG LastError() { return V_I4(&Call(9, {}).result); }
  // ComPort, Retries, GrpSends and Baud as "0 5 3 19200"; "?" for a value
  // not of its property's type (Baud a long, the others shorts).
  std::wstring Properties();

 private:
  ComPtr<IDispatch> d_;
  Outcome last_;
};

}  // namespace qelcomm::comtest
