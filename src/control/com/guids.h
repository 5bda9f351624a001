// Class identifiers of QELCOMM.OCX. The type library's own identifiers
// (library, _DQelComm, _DQelCommEvents, coclass QelComm) come from the
// header widl generates; the property page is not in the type library.
#pragma once

#include <windows.h>

#include "qelcomm_h.h"

namespace qelcomm::com {

// {483F9DCB-85F1-4B7E-A3B9-E733C29FD37D}
inline constexpr CLSID kClsidPropPage = {
    0x483f9dcb, 0x85f1, 0x4b7e, {0xa3, 0xb9, 0xe7, 0x33, 0xc2, 0x9f, 0xd3, 0x7d}};

inline constexpr wchar_t kControlProgId[] = L"QELCOMM.QelCommCtrl.1";
inline constexpr wchar_t kPropPageProgId[] = L"QELCOMM.QelCommPropPage.1";

// The version the control asks for when it loads its type library, and the
// version written into its persisted state (minor in the low 16 bits).
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 3;
// The library is registered for US English only; a neutral lookup would
// not find it.
inline constexpr LCID kTypeLibLcid = 0x409;
inline constexpr DWORD kPersistVersion = 0x10003;

}  // namespace qelcomm::com
