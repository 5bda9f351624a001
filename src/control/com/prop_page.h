// The property page CQelCommPropPage (IPropertyPage2), made by its class
// factory.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace qelcomm::com {

HRESULT CreatePropPage(IUnknown* outer, REFIID iid, void** out);

}  // namespace qelcomm::com
