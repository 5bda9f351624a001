#include "control/com/control_object.h"

#include <new>

#include "control/com/guids.h"
#include "control/com/module.h"

namespace qelcomm::com {

HRESULT ControlObject::Create(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) ControlObject();
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(iid, out);
  object->Release();
  return hr;
}

ControlObject::ControlObject() { ObjectCreated(); }

// The portable control's destructor closes an open port.
ControlObject::~ControlObject() {
  ReleaseContainerRefs();
  if (dispatch_info_ != nullptr) dispatch_info_->Release();
  ObjectDestroyed();
}

PersistedProperties ControlObject::Properties() const {
  return {control_.ComPort(), control_.Retries(), control_.Baud(), control_.GrpSends()};
}

void ControlObject::SetProperties(const PersistedProperties& p) {
  control_.SetComPort(p.com_port);
  control_.SetRetries(p.retries);
  control_.SetBaud(p.baud);
  control_.SetGrpSends(p.grp_sends);
  dirty_ = true;
}

STDMETHODIMP ControlObject::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DQelComm) {
    *out = static_cast<IDispatch*>(this);
  } else if (iid == IID_IPersist || iid == IID_IPersistStreamInit) {
    *out = static_cast<IPersistStreamInit*>(this);
  } else if (iid == IID_IPersistPropertyBag) {
    *out = static_cast<IPersistPropertyBag*>(this);
  } else if (iid == IID_IOleObject) {
    *out = static_cast<IOleObject*>(this);
  } else if (iid == IID_IOleControl) {
    *out = static_cast<IOleControl*>(this);
  } else if (iid == IID_IViewObject || iid == IID_IViewObject2) {
    *out = static_cast<IViewObject2*>(this);
  } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject ||
             iid == IID_IOleInPlaceObjectWindowless) {
    *out = static_cast<IOleInPlaceObjectWindowless*>(this);
  } else if (iid == IID_IConnectionPointContainer) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
    *out = static_cast<IProvideClassInfo2*>(this);
  } else if (iid == IID_ISpecifyPropertyPages) {
    *out = static_cast<ISpecifyPropertyPages*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) ControlObject::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) ControlObject::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

}  // namespace qelcomm::com
