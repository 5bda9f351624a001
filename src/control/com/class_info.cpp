// What a host asks about the control's class: its type information, its
// event interface and its one property page.
#include "control/com/control_object.h"
#include "control/com/guids.h"
#include "control/com/module.h"

namespace qelcomm::com {

STDMETHODIMP ControlObject::GetClassInfo(ITypeInfo** info) {
  return LoadTypeInfo(CLSID_QelComm, info);
}

STDMETHODIMP ControlObject::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID_NULL;
    return E_INVALIDARG;
  }
  *guid = DIID__DQelCommEvents;
  return S_OK;
}

STDMETHODIMP ControlObject::GetPages(CAUUID* pages) {
  if (pages == nullptr) return E_POINTER;
  pages->cElems = 0;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (pages->pElems == nullptr) return E_OUTOFMEMORY;
  pages->pElems[0] = kClsidPropPage;
  pages->cElems = 1;
  return S_OK;
}

}  // namespace qelcomm::com
