// Self-registration of QELCOMM.OCX under HKEY_CLASSES_ROOT: the type
// library and the two classes.
#pragma once

#include <windows.h>

namespace qelcomm::com {

HRESULT RegisterModule();    // S_OK, SELFREG_E_TYPELIB, SELFREG_E_CLASS, or
                             // the final type-library registration's result
HRESULT UnregisterModule();  // S_OK, SELFREG_E_TYPELIB or SELFREG_E_CLASS

}  // namespace qelcomm::com
