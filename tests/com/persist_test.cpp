// Persistence of the control: the 26-byte stream, the exchange by name and
// the modified flag.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "com_support.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

// A bag that serves what was put and records the order of the writes. It
// lives on the test's stack; the control does not keep it.
class TestBag final : public Unowned<IPropertyBag> {
 public:
  std::vector<std::wstring> order;
  std::map<std::wstring, Variant> values;

  TestBag& Put(const wchar_t* name, VARIANT value) { return Write(name, &value), *this; }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* out, IErrorLog*) override {
    const auto found = values.find(name);
    return found == values.end() ? E_INVALIDARG : VariantCopy(out, &found->second);
  }
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
    order.emplace_back(name);
    return VariantCopy(&values[name], value);
  }
};

using Bytes = std::vector<uint8_t>;

Bytes SaveStream(IPersistStreamInit* object, BOOL clear_dirty = FALSE) {
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
  EXPECT_EQ(S_OK, object->Save(stream.Get(), clear_dirty));
  Bytes bytes(100);
  ULONG size = 0;
  stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
  stream->Read(bytes.data(), ULONG(bytes.size()), &size);
  return bytes.resize(size), bytes;
}

HRESULT LoadStream(IPersistStreamInit* object, const Bytes& bytes) {
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
  stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
  return object->Load(stream.Get());
}

ComPtr<IPersistStreamInit> NewControl() {
  auto object = New<IPersistStreamInit>(CLSID_QelComm);
  Require(object->InitNew(), "InitNew");
  return object;
}

HRESULT LoadBag(IUnknown* object, TestBag& bag) {
  return Query<IPersistPropertyBag>(object)->Load(&bag, nullptr);
}

// ComPort 3, Retries -7, Baud 57600, GrpSends 2; the values arrive as
// other types than the properties', which the load converts.
void LoadSample(IUnknown* object) {
  Bstr retries(L"-7"), baud(L"57600");
  VARIANT grp_sends = Of(VT_UI1);
  V_UI1(&grp_sends) = 2;
  TestBag bag;
  bag.Put(L"ComPort", I4(3)).Put(L"Retries", Of(VT_BSTR, retries.b));
  bag.Put(L"GrpSends", grp_sends).Put(L"Baud", Of(VT_BSTR, baud.b));
  ASSERT_EQ(S_OK, LoadBag(object, bag));
}

// Version, extent 854 x 854, mask 0, ComPort, Retries, Baud, GrpSends.
const Bytes kSampleStream = {0x03, 0x00, 0x01, 0x00, 0x56, 0x03, 0x00, 0x00, 0x56,
                             0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00,
                             0xF9, 0xFF, 0x00, 0xE1, 0x00, 0x00, 0x02, 0x00};

TEST(PersistTest, StreamHasItsLayoutAndRoundTripsIntoANewObject) {
  auto first = NewControl(), second = NewControl(), third = NewControl();
  LoadSample(first.Get());
  ULARGE_INTEGER size{};
  ASSERT_EQ(S_OK, first->GetSizeMax(&size));
  EXPECT_EQ(kSampleStream.size(), size.QuadPart);
  EXPECT_EQ(kSampleStream, SaveStream(first.Get()));
  ASSERT_EQ(S_OK, Control(second.Get()).Put(1, I2(9)).hr);
  ASSERT_EQ(S_OK, LoadStream(second.Get(), SaveStream(first.Get())));
  EXPECT_EQ(S_FALSE, second->IsDirty());
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
  auto object = NewControl();
  const Bytes defaults = SaveStream(object.Get());
  Bytes masked = kSampleStream;
  masked[12] = 0x01;
  for (size_t keep : {size_t{0}, size_t{4}, kSampleStream.size() - 1}) {
    EXPECT_TRUE(FAILED(LoadStream(object.Get(), Bytes(kSampleStream.begin(),
                                                       kSampleStream.begin() + long(keep)))));
  }
  EXPECT_TRUE(FAILED(LoadStream(object.Get(), masked)));
  EXPECT_EQ(defaults, SaveStream(object.Get()));
}

TEST(PersistTest, BagExchangeWritesNamesInOrderWithTheirTypes) {
  TestBag saved;
  ASSERT_EQ(S_OK, Query<IPersistPropertyBag>(NewControl().Get())->Save(&saved, TRUE, TRUE));
  const std::vector<std::wstring> order = {L"_Version", L"_ExtentX", L"_ExtentY", L"_StockProps",
                                           L"ComPort",  L"Retries",  L"GrpSends", L"Baud"};
  ASSERT_EQ(order, saved.order);
  const VARTYPE types[] = {VT_I4, VT_I4, VT_I4, VT_I4, VT_I2, VT_I2, VT_I2, VT_I4};
  const LONG values[] = {0x10003, 854, 854, 0, 0, 5, 3, 19200};
  for (size_t i = 0; i < order.size(); ++i) {
    const VARIANT& v = saved.values[order[i]];
    EXPECT_EQ(types[i], V_VT(&v)) << i;
    EXPECT_EQ(values[i], V_VT(&v) == VT_I2 ? V_I2(&v) : V_I4(&v)) << i;
  }
}

TEST(PersistTest, BagLoadDefaultsWhatIsMissingAndRefusesTheUnconvertibleWhole) {
  auto object = NewControl();
  LoadSample(object.Get());
  TestBag partial, bad;
  ASSERT_EQ(S_OK, LoadBag(object.Get(), partial.Put(L"Baud", I4(9600))));
  bad.Put(L"ComPort", I2(4)).Put(L"Retries", I4(70000));  // does not fit 16 bits
  EXPECT_TRUE(FAILED(LoadBag(object.Get(), bad)));
  EXPECT_EQ(Control(object.Get()).Properties(), L"0 5 3 9600");
}

// The header values are not needed by name, and the stock mask is not
// judged there: each of these loads the properties it carries.
TEST(PersistTest, BagLoadNeedsNoVersionOrExtentAndTakesAnyStockMask) {
  const std::vector<std::pair<const wchar_t*, LONG>> bags[] = {
      {{L"_ExtentX", 854}, {L"_ExtentY", 854}, {L"_StockProps", 0}},  // no _Version
      {{L"_Version", 0x10003}, {L"_ExtentY", 854}},                    // no _ExtentX
      {{L"_Version", 0x10002}, {L"_StockProps", 1}},                   // an older version, masked
  };
  for (const auto& entries : bags) {
    auto object = NewControl();
    TestBag bag;
    for (const auto& [name, value] : entries) bag.Put(name, I4(value));
    bag.Put(L"ComPort", I2(2));
    EXPECT_EQ(S_OK, LoadBag(object.Get(), bag)) << &entries - bags;
    EXPECT_EQ(Control(object.Get()).Properties(), L"2 5 3 19200") << &entries - bags;
  }
}

TEST(PersistTest, PropertyWriteMarksModifiedWhileLoadAndInitNewDoNot) {
  auto object = NewControl();
  LoadSample(object.Get());
  EXPECT_EQ(S_FALSE, object->IsDirty());
  ASSERT_EQ(S_OK, object->InitNew());
  EXPECT_EQ(S_FALSE, object->IsDirty());
  EXPECT_EQ(SaveStream(NewControl().Get()), SaveStream(object.Get()));  // defaults again
  ASSERT_EQ(S_OK, Control(object.Get()).Put(2, I2(-7)).hr);
  EXPECT_EQ(S_OK, object->IsDirty());
  EXPECT_EQ(0xF9, SaveStream(object.Get(), TRUE).at(18));
  EXPECT_EQ(S_FALSE, object->IsDirty());
}

}  // namespace
}  // namespace qelcomm::comtest
