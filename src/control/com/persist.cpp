// Persistence of the four properties: a fixed 26-byte stream
// (IPersistStreamInit) and an exchange by name (IPersistPropertyBag).
// Both parse everything first and change the object only when all of it
// was good, so a bad source never leaves it half loaded.
#include <array>
#include <cstdint>

#include "control/com/control_object.h"
#include "control/com/guids.h"

namespace qelcomm::com {
namespace {

// What either format carries besides the four properties.
struct PersistedState {
  DWORD version = kPersistVersion;
  SIZEL extent{kExtentHimetric, kExtentHimetric};
  PersistedProperties properties;
};

// version, extent x, extent y, stock-property mask (4 bytes each), then
// ComPort, Retries (2), Baud (4), GrpSends (2); little-endian.
constexpr ULONG kStreamSize = 26;
using StreamBytes = std::array<uint8_t, kStreamSize>;

void Put(uint8_t* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get(const uint8_t* at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
  return value;
}

StreamBytes Encode(const PersistedState& s) {
  StreamBytes b{};
  Put(&b[0], s.version, 4);
  Put(&b[4], static_cast<uint32_t>(s.extent.cx), 4);
  Put(&b[8], static_cast<uint32_t>(s.extent.cy), 4);
  Put(&b[12], 0, 4);  // no stock properties
  Put(&b[16], static_cast<uint16_t>(s.properties.com_port), 2);
  Put(&b[18], static_cast<uint16_t>(s.properties.retries), 2);
  Put(&b[20], static_cast<uint32_t>(s.properties.baud), 4);
  // GrpSends goes after Baud, unlike the exchange by name.
  Put(&b[24], static_cast<uint16_t>(s.properties.grp_sends), 2);
  return b;
}

// A stock-property mask other than 0 announces values this control does
// not have; the bytes after it would be misread, so the stream is refused.
HRESULT Decode(const StreamBytes& b, PersistedState* s) {
  if (Get(&b[12], 4) != 0) return E_FAIL;
  s->version = Get(&b[0], 4);
  s->extent.cx = static_cast<LONG>(Get(&b[4], 4));
  s->extent.cy = static_cast<LONG>(Get(&b[8], 4));
  s->properties.com_port = static_cast<int16_t>(Get(&b[16], 2));
  s->properties.retries = static_cast<int16_t>(Get(&b[18], 2));
  s->properties.baud = static_cast<int32_t>(Get(&b[20], 4));
  s->properties.grp_sends = static_cast<int16_t>(Get(&b[24], 2));
  return S_OK;
}

// A stream may hand out fewer bytes than asked without being at its end;
// only a read that yields nothing means the data stops short.
HRESULT ReadExactly(IStream* stream, uint8_t* into, ULONG size) {
  while (size > 0) {
    ULONG got = 0;
    const HRESULT hr = stream->Read(into, size, &got);
    if (FAILED(hr)) return hr;
    if (got == 0 || got > size) return STG_E_READFAULT;
    into += got;
    size -= got;
  }
  return S_OK;
}

HRESULT WriteExactly(IStream* stream, const uint8_t* from, ULONG size) {
  while (size > 0) {
    ULONG put = 0;
    const HRESULT hr = stream->Write(from, size, &put);
    if (FAILED(hr)) return hr;
    if (put == 0 || put > size) return STG_E_MEDIUMFULL;
    from += put;
    size -= put;
  }
  return S_OK;
}

// The exchange by name, in its order.
struct BagEntry {
  const wchar_t* name;
  VARTYPE type;
};
constexpr BagEntry kBagEntries[] = {
    {L"_Version", VT_I4}, {L"_ExtentX", VT_I4}, {L"_ExtentY", VT_I4}, {L"_StockProps", VT_I4},
    {L"ComPort", VT_I2},  {L"Retries", VT_I2},  {L"GrpSends", VT_I2}, {L"Baud", VT_I4}};
constexpr size_t kBagCount = sizeof kBagEntries / sizeof kBagEntries[0];
using BagValues = std::array<LONG, kBagCount>;

BagValues ToBagValues(const PersistedState& s) {
  const PersistedProperties& p = s.properties;
  return {static_cast<LONG>(s.version), s.extent.cx, s.extent.cy, 0,
          p.com_port, p.retries, p.grp_sends, p.baud};
}

// The stock-property mask (index 3) is not checked here, unlike in the
// stream: values by name cannot be misread whatever it says.
PersistedState FromBagValues(const BagValues& v) {
  PersistedState s;
  s.version = static_cast<DWORD>(v[0]);
  s.extent = {v[1], v[2]};
  s.properties = {static_cast<int16_t>(v[4]), static_cast<int16_t>(v[5]), v[7],
                  static_cast<int16_t>(v[6])};
  return s;
}

// A property the bag does not have keeps the value already in `value`;
// one of another type is converted, and one that cannot be fails the load.
HRESULT ReadBagValue(IPropertyBag* bag, IErrorLog* log, const BagEntry& entry, LONG* value) {
  VARIANT v;
  VariantInit(&v);
  // Containers report a missing name by different errors: all mean absent.
  if (FAILED(bag->Read(entry.name, &v, log))) return S_OK;
  HRESULT hr = VariantChangeType(&v, &v, 0, entry.type);
  if (SUCCEEDED(hr)) *value = entry.type == VT_I2 ? v.iVal : v.lVal;
  VariantClear(&v);
  return hr;
}

}  // namespace

// A stored extent other than the current one goes through SetExtent, which
// keeps the control at its one size. The object then matches its storage.
void ControlObject::ApplyLoaded(DWORD version, SIZEL extent, const PersistedProperties& p) {
  stored_version_ = version;
  if (extent.cx != extent_.cx || extent.cy != extent_.cy) SetExtent(DVASPECT_CONTENT, &extent);
  SetProperties(p);
  dirty_ = false;
}

STDMETHODIMP ControlObject::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = CLSID_QelComm;
  return S_OK;
}

STDMETHODIMP ControlObject::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

STDMETHODIMP ControlObject::InitNew() {
  SetProperties(PersistedProperties{});
  dirty_ = false;
  return S_OK;
}

STDMETHODIMP ControlObject::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  size->QuadPart = kStreamSize;
  return S_OK;
}

STDMETHODIMP ControlObject::Save(IStream* stream, BOOL clear_dirty) {
  if (stream == nullptr) return E_POINTER;
  const StreamBytes bytes = Encode({kPersistVersion, extent_, Properties()});
  const HRESULT hr = WriteExactly(stream, bytes.data(), kStreamSize);
  if (SUCCEEDED(hr) && clear_dirty) dirty_ = false;
  return hr;
}

STDMETHODIMP ControlObject::Load(IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  StreamBytes bytes{};
  HRESULT hr = ReadExactly(stream, bytes.data(), kStreamSize);
  if (FAILED(hr)) return hr;
  PersistedState state;
  hr = Decode(bytes, &state);
  if (FAILED(hr)) return hr;
  ApplyLoaded(state.version, state.extent, state.properties);
  return S_OK;
}

STDMETHODIMP ControlObject::Save(IPropertyBag* bag, BOOL clear_dirty, BOOL save_all) {
  if (bag == nullptr) return E_POINTER;
  const BagValues values = ToBagValues({kPersistVersion, extent_, Properties()});
  for (size_t i = 0; i < kBagCount; ++i) {
    VARIANT v;
    VariantInit(&v);
    v.vt = kBagEntries[i].type;
    if (v.vt == VT_I2) {
      v.iVal = static_cast<SHORT>(values[i]);
    } else {
      v.lVal = values[i];
    }
    const HRESULT hr = bag->Write(kBagEntries[i].name, &v);
    if (FAILED(hr)) return hr;
  }
  if (clear_dirty) dirty_ = false;
  return S_OK;
}

STDMETHODIMP ControlObject::Load(IPropertyBag* bag, IErrorLog* log) {
  if (bag == nullptr) return E_POINTER;
  BagValues values = ToBagValues({kPersistVersion, extent_, PersistedProperties{}});
  for (size_t i = 0; i < kBagCount; ++i) {
    const HRESULT hr = ReadBagValue(bag, log, kBagEntries[i], &values[i]);
    if (FAILED(hr)) return hr;
  }
  PersistedState state = FromBagValues(values);
  ApplyLoaded(state.version, state.extent, state.properties);
  return S_OK;
}

}  // namespace qelcomm::com
