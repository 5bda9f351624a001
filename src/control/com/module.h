// Module-wide state of QELCOMM.OCX: the instance handle, the count of live
// objects and locks that DllCanUnloadNow reports, and type information.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace qelcomm::com {

HINSTANCE ModuleInstance();

// Every COM object of the module (controls, pages, factories handed to a
// client, connection points) counts itself while it lives.
void ObjectCreated();
void ObjectDestroyed();
void LockModule(bool lock);
bool ModuleInUse();

// Type information for one member of the type library: the registered
// library version 1.3 or later, else the copy inside the module, so that an
// object made without registration still has it. The caller releases it.
HRESULT LoadTypeInfo(REFGUID guid, ITypeInfo** info);

// The module file's full path (empty if it cannot be had).
std::wstring ModulePath();

// The type library inside the module file, else in the .tlb of the same
// name beside it. The caller releases it.
HRESULT LoadModuleTypeLib(ITypeLib** lib);

// A module string resource as UTF-16 (empty when missing).
std::wstring LoadResourceString(UINT id);

}  // namespace qelcomm::com
