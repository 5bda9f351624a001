// Reference counting and QueryInterface for the module's small objects that
// have one interface (class factories, enumerators, the event point). Each
// counts as a live module object, so DllCanUnloadNow says S_FALSE while a
// client holds one.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "control/com/module.h"

namespace qelcomm::com {

template <typename Interface>
class SingleInterfaceObject : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == iid_) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  explicit SingleInterfaceObject(REFIID iid) : iid_(iid) { ObjectCreated(); }
  virtual ~SingleInterfaceObject() { ObjectDestroyed(); }
  SingleInterfaceObject(const SingleInterfaceObject&) = delete;
  SingleInterfaceObject& operator=(const SingleInterfaceObject&) = delete;

 private:
  LONG refs_ = 1;
  const IID& iid_;
};

}  // namespace qelcomm::com
