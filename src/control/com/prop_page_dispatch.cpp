#include "control/com/prop_page_dispatch.h"

#include <oleauto.h>

namespace qelcomm::com {
namespace {

HRESULT InvokeProperty(IDispatch* object, const wchar_t* name, WORD flags, DISPPARAMS* params,
                       VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = DispIdOfName(object, name, &id);
  if (FAILED(hr)) return hr;
  EXCEPINFO excep{};
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, &excep, nullptr);
  // An exception's strings are ours to free; the page reports only hr.
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  return hr;
}

}  // namespace

HRESULT DispIdOfName(IDispatch* object, const wchar_t* name, DISPID* id) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

HRESULT GetPropertyByName(IDispatch* object, const wchar_t* name, VARIANT* value) {
  VariantInit(value);
  DISPPARAMS none{};
  return InvokeProperty(object, name, DISPATCH_PROPERTYGET, &none, value);
}

HRESULT PutPropertyByName(IDispatch* object, const wchar_t* name, VARIANT value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  return InvokeProperty(object, name, DISPATCH_PROPERTYPUT, &params, nullptr);
}

}  // namespace qelcomm::com
