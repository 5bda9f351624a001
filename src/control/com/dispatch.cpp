// IDispatch of the control: type information and names from the type
// library, Invoke through the member table. No C++ exception crosses
// Invoke: the portable control's own exceptions (a HEX file that cannot be
// read) and refused pages reach the host as DISP_E_EXCEPTION with a
// description, running out of memory as E_OUTOFMEMORY.
#include <cctype>
#include <climits>
#include <new>
#include <stdexcept>
#include <system_error>

#include "control/com/control_object.h"
#include "control/com/dispatch_args.h"
#include "control/com/dispatch_table.h"
#include "control/com/guids.h"
#include "control/com/module.h"
#include "qelcomm/platform.h"

namespace qelcomm::com {
namespace {

constexpr UINT kNoArgument = UINT_MAX;

HRESULT CachedTypeInfo(ITypeInfo*& cache) {
  return cache != nullptr ? S_OK : LoadTypeInfo(DIID__DQelComm, &cache);
}

bool WellFormed(const DISPPARAMS* p) {
  return p != nullptr && p->cNamedArgs <= p->cArgs && (p->cArgs == 0 || p->rgvarg != nullptr) &&
         (p->cNamedArgs == 0 || p->rgdispidNamedArgs != nullptr);
}

HRESULT InvokeProperty(ControlObject& object, const dispatch::Member& member, WORD flags,
                       const DISPPARAMS& params, VARIANT* result, UINT& arg_err) {
  if ((flags & DISPATCH_PROPERTYPUT) != 0) {
    const VARTYPE type = member.result == dispatch::ResultType::kLong ? VT_I4 : VT_I2;
    int32_t value = 0;
    const HRESULT hr = dispatch::ReadPutValue(params, type, value, arg_err);
    if (SUCCEEDED(hr)) dispatch::PutProperty(object, member.id, value);
    return hr;
  }
  // Hosts read properties with DISPATCH_PROPERTYGET, some adding the method flag.
  if ((flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
  if (result != nullptr) {
    dispatch::SetResult(member.result, {dispatch::GetProperty(object, member.id), {}}, *result);
  }
  return S_OK;
}

HRESULT InvokeMethod(ControlObject& object, const dispatch::Member& member, WORD flags,
                     const DISPPARAMS& params, VARIANT* result, UINT& arg_err) {
  // Hosts that use a method's result call it as a property get.
  if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
  dispatch::Args args;
  HRESULT hr = dispatch::CheckArguments(params, dispatch::ArgCount(member), arg_err);
  if (SUCCEEDED(hr)) hr = dispatch::ReadArguments(member, params, args, arg_err);
  if (FAILED(hr)) return hr;
  const dispatch::Value value = member.call(object, args);
  // Every member with outputs returns a bool; like the portable control,
  // the host's variables are written only on success, and only those the
  // call reached.
  if (value.number != 0) dispatch::WriteOutputs(member, args);
  if (result != nullptr) dispatch::SetResult(member.result, value, *result);
  return S_OK;
}

HRESULT InvokeMember(ControlObject& object, DISPID id, REFIID iid, WORD flags,
                     DISPPARAMS* params, VARIANT* result, UINT& arg_err) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!WellFormed(params)) return E_INVALIDARG;
  const dispatch::Member* member = dispatch::FindMember(id);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
  if (result != nullptr) VariantInit(result);
  return member->property ? InvokeProperty(object, *member, flags, *params, result, arg_err)
                          : InvokeMethod(object, *member, flags, *params, result, arg_err);
}

HRESULT Raise(EXCEPINFO* excep, HRESULT scode, const char* description) noexcept {
  if (excep != nullptr) {
    *excep = EXCEPINFO{};
    excep->bstrSource = SysAllocString(kControlProgId);
    try {
      excep->bstrDescription = dispatch::ToBstr(description);
    } catch (...) {
      excep->bstrDescription = nullptr;
    }
    excep->scode = scode;
  }
  return DISP_E_EXCEPTION;
}

bool IsOsError(const std::system_error& e) { return e.code().category() == std::system_category(); }

// The exception's own text ("cannot read HEX file NAME") and the system's
// message for its error, which the runtime library does not know.
std::string SystemErrorText(const std::system_error& e) {
  std::string text = e.what();
  if (!IsOsError(e)) return text;
  const std::string runtime_message = ": " + e.code().message();
  if (text.ends_with(runtime_message)) text.resize(text.size() - runtime_message.size());
  std::string os = NativePlatform()->ErrorText(static_cast<OsError>(e.code().value()));
  while (!os.empty() && std::isspace(static_cast<unsigned char>(os.back()))) os.pop_back();
  return text + ": " + os;
}

HRESULT ScodeOf(const std::system_error& e) {
  return IsOsError(e) ? HRESULT_FROM_WIN32(static_cast<unsigned long>(e.code().value())) : E_FAIL;
}

// Called from a catch block: the exception in flight as an HRESULT.
HRESULT FromException(EXCEPINFO* excep) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (const std::system_error& e) {
      return Raise(excep, ScodeOf(e), SystemErrorText(e).c_str());
    } catch (const std::invalid_argument& e) {
      return Raise(excep, E_INVALIDARG, e.what());
    } catch (const std::exception& e) {
      return Raise(excep, E_FAIL, e.what());
    } catch (...) {
      return Raise(excep, E_UNEXPECTED, "unexpected failure inside the control");
    }
  } catch (...) {
    return E_OUTOFMEMORY;  // while building the description
  }
}

}  // namespace

STDMETHODIMP ControlObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP ControlObject::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  const HRESULT hr = CachedTypeInfo(dispatch_info_);
  if (FAILED(hr)) return hr;
  dispatch_info_->AddRef();
  *info = dispatch_info_;
  return S_OK;
}

// Member names give their DISPIDs; the names after a method's give the
// positions of its arguments, for named arguments.
STDMETHODIMP ControlObject::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0 || names == nullptr || ids == nullptr) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) {
    if (names[i] == nullptr) return E_INVALIDARG;
  }
  const HRESULT hr = CachedTypeInfo(dispatch_info_);
  if (FAILED(hr)) return hr;
  return DispGetIDsOfNames(dispatch_info_, names, count, ids);
}

STDMETHODIMP ControlObject::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                   UINT* arg_err) {
  UINT blamed = kNoArgument;
  HRESULT hr = S_OK;
  // The host may release the control while a call runs a message loop (the
  // About box) or calls back into it (converting an object argument).
  AddRef();
  try {
    hr = InvokeMember(*this, id, iid, flags, params, result, blamed);
  } catch (...) {
    hr = FromException(excep);
  }
  Release();
  if (arg_err != nullptr && blamed != kNoArgument) *arg_err = blamed;
  return hr;
}

}  // namespace qelcomm::com
