// Property access by name through an object's IDispatch, the only way the
// property page reaches the control.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace qelcomm::com {

HRESULT GetPropertyByName(IDispatch* object, const wchar_t* name, VARIANT* value);
HRESULT PutPropertyByName(IDispatch* object, const wchar_t* name, VARIANT value);
HRESULT DispIdOfName(IDispatch* object, const wchar_t* name, DISPID* id);

}  // namespace qelcomm::com
