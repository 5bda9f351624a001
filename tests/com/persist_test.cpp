// Persistence of the control: the 26-byte stream, the exchange by name and
// the modified flag.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "com_support.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

VARIANT Number(VARTYPE type, LONG value) {
  VARIANT v;
  v.vt = type;
  if (type == VT_I2) {
    v.iVal = static_cast<SHORT>(value);
  } else {
    v.lVal = value;
  }
  return v;
}
VARIANT Text(const wchar_t* text) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

// A bag that serves what was Put and records every Write in order. It
// lives on the test's stack; the control does not keep it.
class TestBag final : public IPropertyBag {
 public:
  std::vector<std::wstring> names;
  std::vector<VARIANT> values;

  ~TestBag() {
    for (VARIANT& v : values) VariantClear(&v);
  }
  void Put(const wchar_t* name, VARIANT owned) {
    names.emplace_back(name);
    values.push_back(owned);
  }
  const VARIANT* Find(const std::wstring& name) const {
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return &values[i];
    }
    return nullptr;
  }
  LONG Value(const std::wstring& name) const {
    const VARIANT* v = Find(name);
    return v == nullptr ? -99999 : v->vt == VT_I2 ? v->iVal : v->lVal;
  }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = (iid == IID_IUnknown || iid == IID_IPropertyBag) ? this : nullptr;
    return *out != nullptr ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* out, IErrorLog*) override {
    const VARIANT* v = Find(name);
    return v == nullptr ? E_INVALIDARG : VariantCopy(out, const_cast<VARIANT*>(v));
  }
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
    VARIANT copy;
    VariantInit(&copy);
    const HRESULT hr = VariantCopy(&copy, value);
    if (SUCCEEDED(hr)) Put(name, copy);
    return hr;
  }
};

using Bytes = std::vector<uint8_t>;

Bytes SaveStream(IPersistStreamInit* object, BOOL clear_dirty = FALSE) {
  ComPtr<IStream> stream;
  EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()));
  EXPECT_EQ(S_OK, object->Save(stream.Get(), clear_dirty));
  ULARGE_INTEGER size{};
  stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &size);
  HGLOBAL memory = nullptr;
  GetHGlobalFromStream(stream.Get(), &memory);
  const auto* data = static_cast<const uint8_t*>(GlobalLock(memory));
  Bytes bytes(data, data + size.QuadPart);
  GlobalUnlock(memory);
  return bytes;
}

HRESULT LoadStream(IPersistStreamInit* object, const Bytes& bytes) {
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
  stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
  return object->Load(stream.Get());
}

// ComPtr does not move, so the helpers fill one the caller owns.
void NewControl(ComPtr<IPersistStreamInit>& object) {
  EXPECT_EQ(S_OK, CreateFromModule(CLSID_QelComm, IID_IPersistStreamInit, object.PutVoid()));
  if (object) {
    EXPECT_EQ(S_OK, object->InitNew());
  }
}

template <typename T>
T* Query(IUnknown* object, REFIID iid, ComPtr<T>& into) {
  EXPECT_EQ(S_OK, object->QueryInterface(iid, into.PutVoid()));
  return into.Get();
}

HRESULT LoadBag(IUnknown* object, TestBag& bag) {
  ComPtr<IPersistPropertyBag> persist;
  return Query(object, IID_IPersistPropertyBag, persist)->Load(&bag, nullptr);
}

HRESULT SaveBag(IUnknown* object, TestBag& bag) {
  ComPtr<IPersistPropertyBag> persist;
  return Query(object, IID_IPersistPropertyBag, persist)->Save(&bag, TRUE, TRUE);
}

// ComPort 3, Retries -7, Baud 57600, GrpSends 2; the values arrive as
// other types than the properties', which the load converts.
void LoadSample(IUnknown* object) {
  TestBag bag;
  bag.Put(L"ComPort", Number(VT_I4, 3));
  bag.Put(L"Retries", Text(L"-7"));
  bag.Put(L"GrpSends", Number(VT_UI1, 2));
  bag.Put(L"Baud", Text(L"57600"));
  ASSERT_EQ(S_OK, LoadBag(object, bag));
}

// Version, extent 854 x 854, mask 0, ComPort, Retries, Baud, GrpSends.
const Bytes kSampleStream = {0x03, 0x00, 0x01, 0x00, 0x56, 0x03, 0x00, 0x00, 0x56,
                             0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00,
                             0xF9, 0xFF, 0x00, 0xE1, 0x00, 0x00, 0x02, 0x00};

TEST(PersistTest, StreamHasItsLayoutAndRoundTripsIntoANewObject) {
  ComPtr<IPersistStreamInit> first, second, third;
  NewControl(first);
  NewControl(second);
  NewControl(third);
  ASSERT_TRUE(first && second && third);
  LoadSample(first.Get());
  ULARGE_INTEGER size{};
  ASSERT_EQ(S_OK, first->GetSizeMax(&size));
  EXPECT_EQ(kSampleStream.size(), size.QuadPart);
  EXPECT_EQ(kSampleStream, SaveStream(first.Get()));
  ASSERT_EQ(S_OK, LoadStream(second.Get(), SaveStream(first.Get())));
  EXPECT_EQ(kSampleStream, SaveStream(second.Get()));

  // An older version with another extent loads; the extent stays 854.
  Bytes other = kSampleStream;
  other[0] = 0x02;
  other[4] = 0x88, other[5] = 0x13;  // 5000
  other[8] = 0xD0, other[9] = 0x07;  // 2000
  ASSERT_EQ(S_OK, LoadStream(third.Get(), other));
  EXPECT_EQ(kSampleStream, SaveStream(third.Get()));
}

TEST(PersistTest, TruncatedOrMaskedStreamIsRefusedAndChangesNothing) {
  ComPtr<IPersistStreamInit> object;
  NewControl(object);
  ASSERT_TRUE(object);
  const Bytes defaults = SaveStream(object.Get());
  for (size_t keep : {size_t{0}, size_t{4}, kSampleStream.size() - 1}) {
    const Bytes cut(kSampleStream.begin(), kSampleStream.begin() + static_cast<long>(keep));
    EXPECT_TRUE(FAILED(LoadStream(object.Get(), cut))) << keep;
  }
  Bytes masked = kSampleStream;
  masked[12] = 0x01;
  EXPECT_TRUE(FAILED(LoadStream(object.Get(), masked)));
  EXPECT_EQ(defaults, SaveStream(object.Get()));
}

TEST(PersistTest, BagExchangeWritesNamesInOrderWithTheirTypes) {
  ComPtr<IPersistStreamInit> object;
  NewControl(object);
  ASSERT_TRUE(object);
  TestBag saved;
  ASSERT_EQ(S_OK, SaveBag(object.Get(), saved));
  const std::vector<std::wstring> order = {L"_Version", L"_ExtentX", L"_ExtentY", L"_StockProps",
                                           L"ComPort",  L"Retries",  L"GrpSends", L"Baud"};
  ASSERT_EQ(order, saved.names);
  const VARTYPE types[] = {VT_I4, VT_I4, VT_I4, VT_I4, VT_I2, VT_I2, VT_I2, VT_I4};
  const LONG values[] = {0x10003, 854, 854, 0, 0, 5, 3, 19200};
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(types[i], saved.values[i].vt) << i;
    EXPECT_EQ(values[i], saved.Value(order[i])) << i;
  }
}

TEST(PersistTest, BagLoadDefaultsWhatIsMissingAndRefusesTheUnconvertibleWhole) {
  ComPtr<IPersistStreamInit> object;
  NewControl(object);
  ASSERT_TRUE(object);
  LoadSample(object.Get());
  TestBag partial;
  partial.Put(L"Baud", Number(VT_I4, 9600));
  ASSERT_EQ(S_OK, LoadBag(object.Get(), partial));
  TestBag bad;
  bad.Put(L"ComPort", Number(VT_I2, 4));
  bad.Put(L"Retries", Number(VT_I4, 70000));  // does not fit 16 bits
  EXPECT_TRUE(FAILED(LoadBag(object.Get(), bad)));
  TestBag saved;
  ASSERT_EQ(S_OK, SaveBag(object.Get(), saved));
  EXPECT_EQ(0, saved.Value(L"ComPort"));
  EXPECT_EQ(5, saved.Value(L"Retries"));
  EXPECT_EQ(3, saved.Value(L"GrpSends"));
  EXPECT_EQ(9600, saved.Value(L"Baud"));
}

TEST(PersistTest, PropertyWriteMarksModifiedWhileLoadAndInitNewDoNot) {
  ComPtr<IPersistStreamInit> object, fresh;
  NewControl(object);
  NewControl(fresh);
  ASSERT_TRUE(object && fresh);
  LoadSample(object.Get());
  EXPECT_EQ(S_FALSE, object->IsDirty());
  ASSERT_EQ(S_OK, object->InitNew());
  EXPECT_EQ(S_FALSE, object->IsDirty());
  EXPECT_EQ(SaveStream(fresh.Get()), SaveStream(object.Get()));  // defaults again

  VARIANT retries = Number(VT_I2, -7);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&retries, &named, 1, 1};
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(S_OK, Query(object.Get(), IID_IDispatch, dispatch)
                      ->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                               nullptr, nullptr, nullptr));
  EXPECT_EQ(S_OK, object->IsDirty());
  EXPECT_EQ(0xF9, SaveStream(object.Get(), TRUE).at(18));
  EXPECT_EQ(S_FALSE, object->IsDirty());
}

}  // namespace
}  // namespace qelcomm::comtest
