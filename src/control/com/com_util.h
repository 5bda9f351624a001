// Small helpers for the raw interface pointers the control keeps.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <string>

namespace qelcomm::com {

// Clears the member before releasing, so that a Release that calls back
// into the object finds it already gone.
template <typename T>
void ReleaseRef(T*& held) {
  T* old = held;
  held = nullptr;
  if (old != nullptr) old->Release();
}

// Holds `fresh` (AddRef'd) in place of what `held` had.
template <typename T>
void AssignRef(T*& held, T* fresh) {
  if (fresh != nullptr) fresh->AddRef();
  ReleaseRef(held);
  held = fresh;
}

// A copy the caller frees with CoTaskMemFree; nullptr when out of memory.
inline LPOLESTR CoTaskMemString(const std::wstring& text) {
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), bytes);
  return copy;
}

}  // namespace qelcomm::com
