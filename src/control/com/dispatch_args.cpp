#include "control/com/dispatch_args.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <stdexcept>

#include "qelcomm/protocol.h"

namespace qelcomm::com::dispatch {
namespace {

constexpr LONG kPageSize = static_cast<LONG>(protocol::kPageSize);

// A conversion result that clears itself.
struct Converted : VARIANT {
  Converted() { VariantInit(this); }
  ~Converted() { VariantClear(this); }
  Converted(const Converted&) = delete;
  Converted& operator=(const Converted&) = delete;
};

UINT PositionalCount(const DISPPARAMS& p) { return p.cArgs - p.cNamedArgs; }

// rgvarg holds the named arguments first, then the positional ones last to
// first.
UINT IndexOf(const DISPPARAMS& p, UINT position) {
  if (position < PositionalCount(p)) return p.cArgs - 1 - position;
  for (UINT j = 0; j < p.cNamedArgs; ++j) {
    if (p.rgdispidNamedArgs[j] == static_cast<DISPID>(position)) return j;
  }
  return 0;  // not reached once CheckArguments has passed
}

// The pointers that the platform's conversion follows must be set: a
// reference, the one variant a VARIANT* leads to, an array. Records are
// never converted to anything we take.
bool PointersSet(const VARIANT& v, bool followed = false) {
  const VARTYPE vt = V_VT(&v);
  if ((vt & VT_TYPEMASK) == VT_RECORD) return false;
  if ((vt & VT_BYREF) != 0) {
    if (V_BYREF(&v) == nullptr) return false;
    if (vt == (VT_VARIANT | VT_BYREF)) return !followed && PointersSet(*V_VARIANTREF(&v), true);
    return (vt & VT_ARRAY) == 0 || *V_ARRAYREF(&v) != nullptr;
  }
  return (vt & VT_ARRAY) == 0 || V_ARRAY(&v) != nullptr;
}

HRESULT Convert(const DISPPARAMS& p, UINT position, VARTYPE type, VARIANT& out) {
  if (!PointersSet(p.rgvarg[IndexOf(p, position)])) return DISP_E_TYPEMISMATCH;
  UINT ignored = 0;
  return DispGetParam(const_cast<DISPPARAMS*>(&p), position, type, &out, &ignored);
}

// An output is a reference of its own type, or a VARIANT* (the way
// scripting hosts pass their variables).
HRESULT TakeOutput(VARIANT& arg, VARTYPE type, Args& args, size_t i) {
  const VARTYPE vt = V_VT(&arg);
  if ((vt != (type | VT_BYREF) && vt != (VT_VARIANT | VT_BYREF)) || V_BYREF(&arg) == nullptr) {
    return DISP_E_TYPEMISMATCH;
  }
  args.target[i] = &arg;
  return S_OK;
}

[[noreturn]] void RefusePage(const std::string& what) {
  throw std::invalid_argument("VemoPut: Data " + what +
                              "; a page is a one-dimensional array of at least 128 bytes "
                              "(VT_ARRAY | VT_UI1) with lower bound 0");
}

std::string VarTypeText(VARTYPE vt) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(vt));
  return text;
}

// Copies the first 128 bytes of VemoPut's Data, refusing anything that is
// not plainly a byte array, before anything is sent.
void ReadPage(const VARIANT& arg, std::vector<uint8_t>& page) {
  // A scripting host passes the variable that holds the array by reference.
  const VARIANT& v = V_VT(&arg) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&arg) != nullptr
                         ? *V_VARIANTREF(&arg)
                         : arg;
  const VARTYPE vt = V_VT(&v);
  if (vt == (VT_ARRAY | VT_UI1 | VT_BYREF)) {
    RefusePage("holds a reference to an array instead of the array");
  }
  if (vt != (VT_ARRAY | VT_UI1)) RefusePage("is of variant type " + VarTypeText(vt));
  SAFEARRAY* array = V_ARRAY(&v);
  if (array == nullptr) RefusePage("holds no array");
  if (const UINT dims = SafeArrayGetDim(array); dims != 1) {
    RefusePage("has " + std::to_string(dims) + " dimensions");
  }
  if (const UINT size = SafeArrayGetElemsize(array); size != 1) {
    RefusePage("has elements of " + std::to_string(size) + " bytes");
  }
  LONG lower = 0;
  LONG upper = -1;
  SafeArrayGetLBound(array, 1, &lower);
  SafeArrayGetUBound(array, 1, &upper);
  if (lower != 0) RefusePage("has lower bound " + std::to_string(lower));
  if (upper < kPageSize - 1) RefusePage("holds " + std::to_string(upper + 1LL) + " bytes");

  page.resize(kPageSize);
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) RefusePage("cannot be accessed");
  if (data != nullptr) std::memcpy(page.data(), data, page.size());
  SafeArrayUnaccessData(array);
  if (data == nullptr) RefusePage("has no data");
}

HRESULT ReadArgument(ArgType type, const DISPPARAMS& p, UINT position, Args& args) {
  const size_t i = position;
  VARIANT& arg = p.rgvarg[IndexOf(p, position)];
  // The mark hosts pass for an argument left out: none is optional.
  if (V_VT(&arg) == VT_ERROR && V_ERROR(&arg) == DISP_E_PARAMNOTFOUND) {
    return DISP_E_PARAMNOTOPTIONAL;
  }
  Converted c;
  HRESULT hr = E_UNEXPECTED;
  switch (type) {
    case ArgType::kShort:
      if (SUCCEEDED(hr = Convert(p, position, VT_I2, c))) args.number[i] = V_I2(&c);
      return hr;
    case ArgType::kLong:
      if (SUCCEEDED(hr = Convert(p, position, VT_I4, c))) args.number[i] = V_I4(&c);
      return hr;
    case ArgType::kLongAsBool:
      if (SUCCEEDED(hr = Convert(p, position, VT_BOOL, c))) args.number[i] = V_BOOL(&c) != 0;
      return hr;
    case ArgType::kFloat:
      if (SUCCEEDED(hr = Convert(p, position, VT_R4, c))) args.real[i] = V_R4(&c);
      return hr;
    case ArgType::kText:
      if (SUCCEEDED(hr = Convert(p, position, VT_BSTR, c))) {
        args.text = ToAnsi(V_BSTR(&c), SysStringLen(V_BSTR(&c)));
      }
      return hr;
    case ArgType::kShortOut: return TakeOutput(arg, VT_I2, args, i);
    case ArgType::kLongOut: return TakeOutput(arg, VT_I4, args, i);
    case ArgType::kFloatOut: return TakeOutput(arg, VT_R4, args, i);
    case ArgType::kPageOut: return TakeOutput(arg, VT_VARIANT, args, i);
    case ArgType::kPageIn: ReadPage(arg, args.page); return S_OK;
    case ArgType::kNone: break;
  }
  return hr;
}

// Replaces what the host's variable held: a typed reference gets the
// number, the variant behind a VARIANT* is cleared and gets `value`.
void Store(VARIANT& target, VARIANT value) {
  if (V_VT(&target) == (VT_VARIANT | VT_BYREF)) {
    VARIANT* held = V_VARIANTREF(&target);
    VariantClear(held);
    *held = value;
    return;
  }
  switch (V_VT(&value)) {
    case VT_I2: *V_I2REF(&target) = V_I2(&value); break;
    case VT_I4: *V_I4REF(&target) = V_I4(&value); break;
    case VT_R4: *V_R4REF(&target) = V_R4(&value); break;
    default: VariantClear(&value); break;
  }
}

SAFEARRAY* MakePage(const std::vector<uint8_t>& bytes) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  void* data = nullptr;
  if (array == nullptr || FAILED(SafeArrayAccessData(array, &data))) {
    if (array != nullptr) SafeArrayDestroy(array);
    throw std::bad_alloc();
  }
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  SafeArrayUnaccessData(array);
  return array;
}

}  // namespace

HRESULT CheckArguments(const DISPPARAMS& params, size_t count, UINT& arg_err) {
  if (params.cArgs != count) return DISP_E_BADPARAMCOUNT;
  const auto first_named = static_cast<DISPID>(PositionalCount(params));
  for (UINT j = 0; j < params.cNamedArgs; ++j) {
    const DISPID id = params.rgdispidNamedArgs[j];
    bool valid = id >= first_named && id < static_cast<DISPID>(count);
    for (UINT k = 0; valid && k < j; ++k) valid = params.rgdispidNamedArgs[k] != id;
    if (!valid) {
      arg_err = j;
      return DISP_E_PARAMNOTFOUND;
    }
  }
  return S_OK;
}

HRESULT ReadArguments(const Member& member, const DISPPARAMS& params, Args& args,
                      UINT& arg_err) {
  const auto count = static_cast<UINT>(ArgCount(member));
  for (UINT position = 0; position < count; ++position) {
    const HRESULT hr = ReadArgument(member.args[position], params, position, args);
    if (FAILED(hr)) {
      arg_err = IndexOf(params, position);
      return hr;
    }
  }
  return S_OK;
}

HRESULT ReadPutValue(const DISPPARAMS& params, VARTYPE type, int32_t& value, UINT& arg_err) {
  if (params.cArgs != 1) return DISP_E_BADPARAMCOUNT;
  HRESULT hr = DISP_E_PARAMNOTFOUND;
  if (params.cNamedArgs == 1 && params.rgdispidNamedArgs[0] == DISPID_PROPERTYPUT) {
    DISPPARAMS value_only{params.rgvarg, nullptr, 1, 0};
    Converted c;
    hr = Convert(value_only, 0, type, c);
    if (SUCCEEDED(hr)) value = type == VT_I2 ? V_I2(&c) : V_I4(&c);
  }
  if (FAILED(hr)) arg_err = 0;
  return hr;
}

void WriteOutputs(const Member& member, const Args& args) {
  for (size_t i = 0; i < ArgCount(member); ++i) {
    if (args.target[i] == nullptr || args.unreached[i]) continue;
    VARIANT v;
    VariantInit(&v);
    switch (member.args[i]) {
      case ArgType::kShortOut:
        V_VT(&v) = VT_I2;
        V_I2(&v) = args.Short(i);
        break;
      case ArgType::kLongOut:
        V_VT(&v) = VT_I4;
        V_I4(&v) = args.number[i];
        break;
      case ArgType::kFloatOut:
        V_VT(&v) = VT_R4;
        V_R4(&v) = args.real[i];
        break;
      case ArgType::kPageOut:
        V_ARRAY(&v) = MakePage(args.page);
        V_VT(&v) = VT_ARRAY | VT_UI1;
        break;
      default: continue;
    }
    Store(*args.target[i], v);
  }
}

void SetResult(ResultType type, const Value& value, VARIANT& result) {
  switch (type) {
    case ResultType::kNone: return;
    case ResultType::kBool:
      V_VT(&result) = VT_BOOL;
      V_BOOL(&result) = value.number != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case ResultType::kShort:
      V_VT(&result) = VT_I2;
      V_I2(&result) = static_cast<SHORT>(value.number);
      return;
    case ResultType::kLong:
      V_VT(&result) = VT_I4;
      V_I4(&result) = value.number;
      return;
    case ResultType::kText:
      V_BSTR(&result) = ToBstr(value.text);
      V_VT(&result) = VT_BSTR;
      return;
  }
}

std::string ToAnsi(const wchar_t* text, size_t length) {
  if (text == nullptr) return {};
  const int n = static_cast<int>(wcsnlen(text, length));
  if (n == 0) return {};
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, text, n, out.data(), bytes, nullptr, nullptr);
  return out;
}

BSTR ToBstr(const std::string& text) {
  const int length = static_cast<int>(text.size());
  const int n = length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(n > 0 ? n : 0));
  if (out == nullptr) throw std::bad_alloc();
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), length, out, n);
  return out;
}

}  // namespace qelcomm::com::dispatch
