// Ten thousand seeded random Invoke calls on a control whose port stays
// closed: random DISPIDs (unknown ones too), flags, argument counts, variant
// types (references, arrays, null pointers), named arguments, missing
// pointers and malformed DISPPARAMS. Nothing may crash or leak: the task
// allocations alive (BSTRs and safe arrays among them) and the control's
// references are the same after a run as before it.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "com_support.h"
#include "control/com/dispatch_table.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

// Counts the task allocations alive; otherwise only passes everything on.
class AllocationCounter final : public Unowned<IMallocSpy> {
 public:
  LONG live = 0;
  STUB(void*, PostAlloc(void* p), (live += p != nullptr, p))
  STUB(void*, PreFree(void* p, BOOL spied), (live -= p && spied, p))
  STUB(SIZE_T, PreAlloc(SIZE_T n), n) STUB(void, PostFree(BOOL), void())
  STUB(SIZE_T, PreRealloc(void* p, SIZE_T n, void** out, BOOL), (*out = p, n))
  STUB(void*, PostRealloc(void* p, BOOL), p) STUB(void*, PreGetSize(void* p, BOOL), p)
  STUB(SIZE_T, PostGetSize(SIZE_T n, BOOL), n) STUB(void*, PreDidAlloc(void* p, BOOL), p)
  STUB(int, PostDidAlloc(void*, BOOL, int r), r) STUB(void, PreHeapMinimize(), void())
  STUB(void, PostHeapMinimize(), void())
};

// What one argument points to or holds; freed after its call.
struct Slot {
  SHORT s = 0;
  LONG l = 0;
  float f = 0;
  BSTR b = nullptr;
  SAFEARRAY* a = nullptr;
  Variant v;  // the variable behind a VARIANT*, with copies of its own
  ~Slot() { SysFreeString(b), SafeArrayDestroy(a); }
};

class Fuzzer {
 public:
  Fuzzer(IDispatch* d, unsigned seed) : d_(d), control_(d), rng_(seed) {}

  void Call() {
    const DISPID odd_ids[] = {0, -1, 42, -553, 1000};  // never the modal About box
    const DISPID id = Pick(5) ? 1 + Pick(41) : odd_ids[Pick(5)];
    const WORD flags[] = {DISPATCH_METHOD, DISPATCH_PROPERTYGET, 3, DISPATCH_PROPERTYPUT, 0, 255};
    // Reset and flash poll for their whole window even on a closed port:
    // they only get a wrong argument count.
    const bool waits = id == 12 || id == 13 || id == 14 || id == 19;
    // Most calls get the member's own argument count, to reach the conversions.
    const com::dispatch::Member* member = com::dispatch::FindMember(id);
    const int known = member != nullptr ? int(com::dispatch::ArgCount(*member)) : 0;
    const UINT count = waits ? 2 : UINT(Pick(4) ? known : Pick(9));
    Slot slots[8];
    VARIANT args[8];
    DISPID named[8];
    for (UINT i = 0; i < count; ++i) args[i] = Value(slots[i]), named[i] = Pick(8) - 3;
    DISPPARAMS params{args, named, count, Pick(4) ? 0 : UINT(Pick(int(count) + 1))};
    if (Pick(50) == 0) params.rgvarg = nullptr;
    if (Pick(50) == 0) params.rgdispidNamedArgs = nullptr;
    if (Pick(50) == 0) params.cNamedArgs = count + 1;
    Variant result;
    EXCEPINFO excep{};
    UINT arg_err = 0;
    d_->Invoke(id, IID_NULL, 0, flags[Pick(5) ? Pick(3) : Pick(6)], Pick(50) ? &params : nullptr,
               Pick(5) ? &result : nullptr, Pick(5) ? &excep : nullptr,
               Pick(5) ? &arg_err : nullptr);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    if (id == 1) ResetComPort();
  }

  // ComPort 0 names no device: OpenPort fails at once and never reaches a
  // port another test has mapped.
  void ResetComPort() { ASSERT_EQ(control_.Put(1, I2(0)).hr, S_OK); }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  VARIANT Value(Slot& slot, bool nested = false) {
    const wchar_t* texts[] = {L"", L"12", L"MODE_REG", L"p_soll", L"1e9", L"x\0y", L"\xD800"};
    const LONG numbers[] = {0, 1, -1, 32767, 32768, -70000, 0x7FFFFFFF, LONG(0x80000000)};
    VARIANT v = Of(VT_EMPTY);
    void*& p = V_BYREF(&v);  // references, strings, arrays and objects share it
    switch (Pick(nested ? 8 : 32)) {
      case 0: V_VT(&v) = VT_I2, V_I2(&v) = SHORT(numbers[Pick(8)]); break;
      case 1: V_VT(&v) = VT_I4, V_I4(&v) = numbers[Pick(8)]; break;
      case 2: V_VT(&v) = VT_R4, V_R4(&v) = Pick(2) ? NAN : 1e30f; break;
      case 3: V_VT(&v) = VT_BOOL, V_BOOL(&v) = VARIANT_TRUE; break;
      case 4: V_VT(&v) = VT_BSTR, p = Pick(4) ? Text(slot, texts[Pick(7)]) : nullptr; break;
      case 5: V_VT(&v) = VT_ARRAY | (Pick(3) ? VT_UI1 : VT_I2), p = Array(slot); break;
      case 6: V_VT(&v) = Pick(2) ? VT_NULL : VT_EMPTY; break;
      case 7: V_VT(&v) = VT_DISPATCH, p = Pick(2) ? d_ : nullptr; break;
      case 8: V_VT(&v) = VT_I2 | VT_BYREF, p = Pick(4) ? &slot.s : nullptr; break;
      case 9: V_VT(&v) = VT_I4 | VT_BYREF, p = Pick(4) ? &slot.l : nullptr; break;
      case 10: V_VT(&v) = VT_R4 | VT_BYREF, p = Pick(4) ? &slot.f : nullptr; break;
      case 11: V_VT(&v) = VT_BSTR | VT_BYREF, p = &slot.b, Text(slot, L"GEARF1"); break;
      case 12: V_VT(&v) = VT_VARIANT | VT_BYREF, p = &slot.v, Hold(slot, Value(slot, true)); break;
      case 13: V_VT(&v) = VT_ARRAY | VT_UI1 | VT_BYREF, p = &slot.a, Array(slot); break;
      case 14: V_VT(&v) = VT_ERROR, V_ERROR(&v) = DISP_E_PARAMNOTFOUND; break;  // omitted
      case 15: V_VT(&v) = VARTYPE(Pick(2) ? 0x7FFF : VT_RECORD); break;     // no valid type
      default:  // a script variable: any input, any output
        V_VT(&v) = VT_VARIANT | VT_BYREF, p = &slot.v;
        V_VT(&slot.v) = VT_I2, V_I2(&slot.v) = SHORT(Pick(3));
    }
    return v;
  }
  BSTR Text(Slot& slot, const wchar_t* text) {  // "x\0y" keeps its NUL
    SysFreeString(slot.b);
    return slot.b = SysAllocStringLen(text, UINT(wcslen(text) + (text[0] == L'x' ? 2 : 0)));
  }
  SAFEARRAY* Array(Slot& slot) {
    SafeArrayDestroy(slot.a);
    SAFEARRAYBOUND bound{ULONG(Pick(3) ? 128 + Pick(3) : Pick(200)), LONG(Pick(4) == 0)};
    return slot.a = Pick(20) ? SafeArrayCreate(VT_UI1, 1, &bound) : nullptr;
  }
  void Hold(Slot& slot, VARIANT v) {
    if (V_VT(&v) == VT_BSTR) V_BSTR(&v) = SysAllocStringLen(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
    if ((V_VT(&v) & VT_ARRAY) && V_ARRAY(&v)) SafeArrayCopy(V_ARRAY(&v), &V_ARRAY(&v));
    if (V_VT(&v) == VT_DISPATCH && V_DISPATCH(&v)) V_DISPATCH(&v)->AddRef();
    if (Pick(3)) static_cast<VARIANT&>(slot.v) = v;
    else VariantClear(&v);
  }

  IDispatch* d_;
  Control control_;
  std::mt19937 rng_;
};

TEST(InvokeFuzz, TenThousandRandomCallsNeitherCrashNorLeak) {
  auto d = New<IDispatch>(CLSID_QelComm);
  static AllocationCounter counter;  // the spy may outlive its revocation
  ASSERT_EQ(CoRegisterMallocSpy(&counter), S_OK);
  BSTR probe = SysAllocStringLen(nullptr, 4321);
  EXPECT_EQ(counter.live, 1) << "the spy does not see BSTRs: the leak check is blind";
  SysFreeString(probe);
  // The same calls twice: the first run fills the allocator's string cache,
  // so that anything the second one leaves alive is a leak.
  LONG live = 0;
  ULONG refs = 0;
  for (int run = 0; run < 2; ++run) {
    live = counter.live;
    refs = (d->AddRef(), d->Release());
    Fuzzer fuzzer(d.Get(), 20240611);
    fuzzer.ResetComPort();
    for (int i = 0; i < 10000; ++i) fuzzer.Call();
  }
  EXPECT_EQ((d->AddRef(), d->Release()), refs);
  EXPECT_EQ(counter.live, live) << "task allocations leaked";
  CoRevokeMallocSpy();
  EXPECT_EQ(V_VT(&Control(d.Get()).Call(9, {}).result), VT_I4) << "still usable";
}

}  // namespace
}  // namespace qelcomm::comtest
