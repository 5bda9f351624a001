// The _DQelCommEvents connection point and the control's
// IConnectionPointContainer.
#include "control/com/events.h"

#include <algorithm>
#include <new>
#include <vector>

#include "control/com/com_object.h"
#include "control/com/control_object.h"
#include "control/com/enumerator.h"
#include "control/com/guids.h"
#include "control/com/module.h"

namespace qelcomm::com {
namespace {

struct ConnectionTraits {
  static REFIID Iid() { return IID_IEnumConnections; }
  static HRESULT CopyOut(const CONNECTDATA& from, CONNECTDATA* to) {
    *to = from;
    to->pUnk->AddRef();
    return S_OK;
  }
  static void Free(CONNECTDATA& item) { item.pUnk->Release(); }
};
using ConnectionEnum = Enumerator<IEnumConnections, CONNECTDATA, ConnectionTraits>;

struct PointTraits {
  static REFIID Iid() { return IID_IEnumConnectionPoints; }
  static HRESULT CopyOut(IConnectionPoint* const& from, IConnectionPoint** to) {
    *to = from;
    from->AddRef();
    return S_OK;
  }
  static void Free(IConnectionPoint*& item) { item->Release(); }
};
using PointEnum = Enumerator<IEnumConnectionPoints, IConnectionPoint*, PointTraits>;

class EventPoint final : public SingleInterfaceObject<IConnectionPoint> {
 public:
  explicit EventPoint(IConnectionPointContainer* container)
      : SingleInterfaceObject(IID_IConnectionPoint), container_(container) {}

  void Detach() {
    container_ = nullptr;
    ReleaseSinks();
  }

  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = DIID__DQelCommEvents;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override {
    if (out == nullptr) return E_POINTER;
    *out = container_;
    if (container_ == nullptr) return E_UNEXPECTED;  // the control is gone
    container_->AddRef();
    return S_OK;
  }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    *cookie = 0;
    if (container_ == nullptr) return E_UNEXPECTED;
    IUnknown* events = nullptr;
    if (FAILED(sink->QueryInterface(DIID__DQelCommEvents, reinterpret_cast<void**>(&events)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    sinks_.push_back(CONNECTDATA{events, next_cookie_});
    *cookie = next_cookie_++;
    return S_OK;
  }
  STDMETHODIMP Unadvise(DWORD cookie) override {
    const auto it = std::find_if(sinks_.begin(), sinks_.end(),
                                 [cookie](const CONNECTDATA& c) { return c.dwCookie == cookie; });
    if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
    IUnknown* sink = it->pUnk;
    sinks_.erase(it);
    sink->Release();  // last: the sink may call back into the point
    return S_OK;
  }
  STDMETHODIMP EnumConnections(IEnumConnections** out) override {
    std::vector<CONNECTDATA> copy;
    for (const CONNECTDATA& c : sinks_) {
      c.pUnk->AddRef();
      copy.push_back(c);
    }
    return ConnectionEnum::Create(std::move(copy), out);
  }

 private:
  ~EventPoint() override { ReleaseSinks(); }

  void ReleaseSinks() {
    std::vector<CONNECTDATA> sinks;
    sinks.swap(sinks_);
    for (CONNECTDATA& c : sinks) c.pUnk->Release();
  }

  IConnectionPointContainer* container_;  // not counted
  std::vector<CONNECTDATA> sinks_;
  DWORD next_cookie_ = 1;
};

}  // namespace

HRESULT CreateEventPoint(IConnectionPointContainer* container, IConnectionPoint** out) {
  *out = new (std::nothrow) EventPoint(container);
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

void DetachEventPoint(IConnectionPoint* point) { static_cast<EventPoint*>(point)->Detach(); }

STDMETHODIMP ControlObject::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points == nullptr) return E_POINTER;
  *points = nullptr;
  if (events_ == nullptr) {
    const HRESULT hr = CreateEventPoint(this, &events_);
    if (FAILED(hr)) return hr;
  }
  events_->AddRef();
  return PointEnum::Create({events_}, points);
}

STDMETHODIMP ControlObject::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (iid != DIID__DQelCommEvents) return CONNECT_E_NOCONNECTION;
  if (events_ == nullptr) {
    const HRESULT hr = CreateEventPoint(this, &events_);
    if (FAILED(hr)) return hr;
  }
  events_->AddRef();
  *point = events_;
  return S_OK;
}

}  // namespace qelcomm::com
