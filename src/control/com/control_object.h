// The COM face of the control: an ActiveX object that adapts one portable
// qelcomm::CQelCommCtrl. It holds container bookkeeping only; every serial
// exchange is the portable object's.
//
// Interfaces: IDispatch for _DQelComm (dispatch.cpp); IPersistStreamInit and
// IPersistPropertyBag (persist.cpp); IOleObject, IOleControl, IViewObject2,
// IOleInPlaceObjectWindowless, IConnectionPointContainer,
// IProvideClassInfo2 and ISpecifyPropertyPages (site.cpp); the About box
// (about.cpp). Apartment-threaded: every call comes on the creating thread.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdint>

#include "qelcomm/QelCommCtrl.h"

namespace qelcomm::com {

// The four persisted properties, as stored.
struct PersistedProperties {
  int16_t com_port = 0;
  int16_t retries = 5;
  int32_t baud = 19200;
  int16_t grp_sends = 3;
};

inline constexpr LONG kExtentHimetric = 854;
inline constexpr DWORD kMiscStatus = 0x20491;

class ControlObject final : public IDispatch,
                            public IPersistStreamInit,
                            public IPersistPropertyBag,
                            public IOleObject,
                            public IOleControl,
                            public IViewObject2,
                            public IOleInPlaceObjectWindowless,
                            public IConnectionPointContainer,
                            public IProvideClassInfo2,
                            public ISpecifyPropertyPages {
 public:
  // The class factory's CreateInstance. Aggregation is refused.
  static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

  // The portable control, and the property accessors the dispatch table
  // and the property page go through: a write marks the control modified.
  CQelCommCtrl& Control() { return control_; }
  PersistedProperties Properties() const;
  void SetProperties(const PersistedProperties& p);  // marks modified
  void MarkModified() { dirty_ = true; }
  bool IsModified() const { return dirty_; }
  void ShowAboutBox(HWND owner);  // modal

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override;

  // IPersist (shared by both persistence interfaces)
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  // IPersistStreamInit
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP Load(IStream* stream) override;
  STDMETHODIMP Save(IStream* stream, BOOL clear_dirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override;
  // IPersistPropertyBag
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clear_dirty, BOOL save_all) override;

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR obj) override;
  STDMETHODIMP Close(DWORD save_option) override;
  STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
  STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
  STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent,
                      LPCRECT pos) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
  STDMETHODIMP Update() override;
  STDMETHODIMP IsUpToDate() override;
  STDMETHODIMP GetUserClassID(CLSID* clsid) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(MSG* msg) override;
  STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
  STDMETHODIMP FreezeEvents(BOOL freeze) override;

  // IViewObject2
  STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* target,
                    HDC target_dc, HDC dc, LPCRECTL bounds, LPCRECTL wbounds,
                    BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR), ULONG_PTR cont_arg) override;
  STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* target,
                           HDC target_dc, LOGPALETTE** palette) override;
  STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspect_info, DWORD* freeze) override;
  STDMETHODIMP Unfreeze(DWORD freeze) override;
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* target,
                         LPSIZEL size) override;

  // IOleWindow, IOleInPlaceObject, IOleInPlaceObjectWindowless
  STDMETHODIMP GetWindow(HWND* hwnd) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT pos, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override;
  STDMETHODIMP OnWindowMessage(UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result) override;
  STDMETHODIMP GetDropTarget(IDropTarget** target) override;

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

  // IProvideClassInfo, IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

  // ISpecifyPropertyPages
  STDMETHODIMP GetPages(CAUUID* pages) override;

 private:
  ControlObject();
  ~ControlObject();
  ControlObject(const ControlObject&) = delete;
  ControlObject& operator=(const ControlObject&) = delete;

  // Takes what a stream or property bag held (persist.cpp).
  void ApplyLoaded(DWORD version, SIZEL extent, const PersistedProperties& p);
  // Releases the container's pointers (site, advise sinks, event point).
  void ReleaseContainerRefs();

  LONG refs_ = 1;
  CQelCommCtrl control_;
  ITypeInfo* dispatch_info_ = nullptr;  // _DQelComm, loaded on first use
  bool dirty_ = false;
  DWORD stored_version_ = 0x10003;  // remembered from the last load
  SIZEL extent_{kExtentHimetric, kExtentHimetric};

  // Container bookkeeping (site.cpp).
  IOleClientSite* site_ = nullptr;
  IOleAdviseHolder* ole_advise_ = nullptr;
  IAdviseSink* view_sink_ = nullptr;
  DWORD view_aspects_ = 0;
  DWORD view_advf_ = 0;
  IOleInPlaceSite* in_place_site_ = nullptr;
  IConnectionPoint* events_ = nullptr;  // the empty _DQelCommEvents point
  ULONG event_freezes_ = 0;              // FreezeEvents calls nest
  RECT in_place_rect_{};                 // where a windowless Draw paints
};

}  // namespace qelcomm::com
