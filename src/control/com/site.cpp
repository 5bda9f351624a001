// The control in its container: IOleObject (site, extent, advise, verbs)
// and IOleInPlaceObjectWindowless. The control has no window: in-place
// activation is windowless where the site allows it, and otherwise an
// activation without any window, which suits a control that is invisible
// at run time.
#include <vector>

#include "control/com/com_util.h"
#include "control/com/control_object.h"
#include "control/com/enumerator.h"
#include "control/com/events.h"
#include "control/com/guids.h"
#include "control/com/module.h"
#include "control/com/resource.h"

namespace qelcomm::com {
namespace {

struct VerbTraits {
  static REFIID Iid() { return IID_IEnumOLEVERB; }
  static HRESULT CopyOut(const OLEVERB& from, OLEVERB* to) {
    *to = from;
    to->lpszVerbName = CoTaskMemString(from.lpszVerbName);
    return to->lpszVerbName == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  static void Free(OLEVERB& item) { CoTaskMemFree(item.lpszVerbName); }
};
using VerbEnum = Enumerator<IEnumOLEVERB, OLEVERB, VerbTraits>;

OLEVERB Verb(LONG id, const std::wstring& name, DWORD attributes) {
  return OLEVERB{id, CoTaskMemString(name), MF_STRING | MF_ENABLED, attributes};
}

HRESULT EnsureAdviseHolder(IOleAdviseHolder*& holder) {
  return holder != nullptr ? S_OK : CreateOleAdviseHolder(&holder);
}

bool IsInPlaceVerb(LONG verb) {
  return verb == OLEIVERB_SHOW || verb == OLEIVERB_INPLACEACTIVATE || verb == OLEIVERB_UIACTIVATE;
}

// Announces the activation the way the site understands best. Returns
// S_FALSE when the site does not want the control active in place.
HRESULT AnnounceActivation(IOleInPlaceSite* site) {
  HRESULT hr = site->CanInPlaceActivate();
  if (hr != S_OK) return FAILED(hr) ? hr : S_FALSE;
  IOleInPlaceSiteWindowless* windowless = nullptr;
  if (SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSiteWindowless,
                                     reinterpret_cast<void**>(&windowless)))) {
    BOOL no_redraw = FALSE;
    const DWORD flags = windowless->CanWindowlessActivate() == S_OK ? ACTIVATE_WINDOWLESS : 0;
    hr = windowless->OnInPlaceActivateEx(&no_redraw, flags);
    windowless->Release();
    return hr;
  }
  IOleInPlaceSiteEx* ex = nullptr;
  if (SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSiteEx, reinterpret_cast<void**>(&ex)))) {
    BOOL no_redraw = FALSE;
    hr = ex->OnInPlaceActivateEx(&no_redraw, 0);
    ex->Release();
    return hr;
  }
  return site->OnInPlaceActivate();
}

void AnnounceDeactivation(IOleInPlaceSite* site) {
  IOleInPlaceSiteEx* ex = nullptr;
  if (SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSiteEx, reinterpret_cast<void**>(&ex)))) {
    ex->OnInPlaceDeactivateEx(TRUE);
    ex->Release();
  } else {
    site->OnInPlaceDeactivate();
  }
}

// The position the site gives the control; it is where a windowless Draw
// without bounds paints.
HRESULT QueryPosition(IOleInPlaceSite* site, RECT* pos) {
  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* doc = nullptr;
  RECT clip{};
  OLEINPLACEFRAMEINFO info{};
  info.cb = sizeof info;
  const HRESULT hr = site->GetWindowContext(&frame, &doc, pos, &clip, &info);
  if (frame != nullptr) frame->Release();
  if (doc != nullptr) doc->Release();
  return hr;
}

}  // namespace

STDMETHODIMP ControlObject::SetClientSite(IOleClientSite* site) {
  AssignRef(site_, site);
  return S_OK;
}

STDMETHODIMP ControlObject::GetClientSite(IOleClientSite** site) {
  if (site == nullptr) return E_POINTER;
  *site = site_;
  if (site_ != nullptr) site_->AddRef();
  return S_OK;
}

STDMETHODIMP ControlObject::SetHostNames(LPCOLESTR app, LPCOLESTR obj) { return S_OK; }

STDMETHODIMP ControlObject::Close(DWORD save_option) {
  InPlaceDeactivate();
  const bool save = save_option == OLECLOSE_SAVEIFDIRTY || save_option == OLECLOSE_PROMPTSAVE;
  if (save && dirty_ && site_ != nullptr) site_->SaveObject();
  if (ole_advise_ != nullptr) ole_advise_->SendOnClose();
  ReleaseRef(view_sink_);
  ReleaseRef(ole_advise_);
  ReleaseRef(site_);
  return S_OK;
}

STDMETHODIMP ControlObject::SetMoniker(DWORD which, IMoniker* moniker) { return E_NOTIMPL; }

STDMETHODIMP ControlObject::GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) {
  if (moniker != nullptr) *moniker = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlObject::InitFromData(IDataObject* data, BOOL creation, DWORD reserved) {
  return E_NOTIMPL;
}

STDMETHODIMP ControlObject::GetClipboardData(DWORD reserved, IDataObject** data) {
  if (data != nullptr) *data = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlObject::DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index,
                                   HWND parent, LPCRECT pos) {
  if (verb == OLEIVERB_PRIMARY || verb == OLEIVERB_PROPERTIES) {
    HWND owner = parent;
    if (owner == nullptr && in_place_site_ != nullptr) in_place_site_->GetWindow(&owner);
    IUnknown* self = static_cast<IDispatch*>(this);
    CLSID page = kClsidPropPage;
    const std::wstring caption = LoadResourceString(IDS_QELCOMM);
    return OleCreatePropertyFrame(owner, 0, 0, caption.c_str(), 1, &self, 1, &page,
                                  LOCALE_USER_DEFAULT, 0, nullptr);
  }
  if (IsInPlaceVerb(verb)) {
    if (in_place_site_ != nullptr) return S_OK;  // already active
    IOleClientSite* client = site != nullptr ? site : site_;
    if (client == nullptr) return E_UNEXPECTED;
    IOleInPlaceSite* in_place = nullptr;
    HRESULT hr = client->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&in_place));
    if (FAILED(hr)) return OLE_E_NOT_INPLACEACTIVE;
    hr = AnnounceActivation(in_place);
    if (hr != S_OK) {
      in_place->Release();
      return FAILED(hr) ? hr : OLE_E_NOT_INPLACEACTIVE;
    }
    in_place_site_ = in_place;
    if (FAILED(QueryPosition(in_place, &in_place_rect_)) && pos != nullptr) in_place_rect_ = *pos;
    if (verb == OLEIVERB_SHOW) client->ShowObject();
    return S_OK;
  }
  switch (verb) {
    case OLEIVERB_HIDE:
      return InPlaceDeactivate();
    case OLEIVERB_DISCARDUNDOSTATE:
      return S_OK;  // nothing to undo
    case OLEIVERB_OPEN:
      return E_NOTIMPL;  // no window of its own to open
    default:
      return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
  }
}

STDMETHODIMP ControlObject::EnumVerbs(IEnumOLEVERB** verbs) {
  if (verbs == nullptr) return E_POINTER;
  *verbs = nullptr;
  std::vector<OLEVERB> list{
      Verb(OLEIVERB_PRIMARY, L"", 0),
      Verb(OLEIVERB_SHOW, L"", 0),
      Verb(OLEIVERB_INPLACEACTIVATE, L"", 0),
      Verb(OLEIVERB_PROPERTIES, LoadResourceString(IDS_VERB_PROPERTIES),
           OLEVERBATTRIB_ONCONTAINERMENU),
  };
  for (OLEVERB& v : list) {
    if (v.lpszVerbName != nullptr) continue;
    for (OLEVERB& each : list) VerbTraits::Free(each);
    return E_OUTOFMEMORY;
  }
  return VerbEnum::Create(std::move(list), verbs);
}

STDMETHODIMP ControlObject::Update() { return S_OK; }
STDMETHODIMP ControlObject::IsUpToDate() { return S_OK; }

STDMETHODIMP ControlObject::GetUserClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = CLSID_QelComm;
  return S_OK;
}

// The registered name first, so that a host sees what it registered; the
// module's own string when the class is not registered.
STDMETHODIMP ControlObject::GetUserType(DWORD form, LPOLESTR* type) {
  if (type == nullptr) return E_POINTER;
  *type = nullptr;
  if (SUCCEEDED(OleRegGetUserType(CLSID_QelComm, form, type)) && *type != nullptr) return S_OK;
  *type = CoTaskMemString(LoadResourceString(IDS_QELCOMM));
  return *type == nullptr ? E_OUTOFMEMORY : S_OK;
}

// The control keeps one size whatever is asked for.
STDMETHODIMP ControlObject::SetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (size == nullptr) return E_POINTER;
  extent_ = {kExtentHimetric, kExtentHimetric};
  return S_OK;
}

STDMETHODIMP ControlObject::GetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (size == nullptr) return E_POINTER;
  *size = extent_;
  return S_OK;
}

STDMETHODIMP ControlObject::Advise(IAdviseSink* sink, DWORD* cookie) {
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  *cookie = 0;
  const HRESULT hr = EnsureAdviseHolder(ole_advise_);
  return FAILED(hr) ? hr : ole_advise_->Advise(sink, cookie);
}

STDMETHODIMP ControlObject::Unadvise(DWORD cookie) {
  return ole_advise_ == nullptr ? OLE_E_NOCONNECTION : ole_advise_->Unadvise(cookie);
}

STDMETHODIMP ControlObject::EnumAdvise(IEnumSTATDATA** advise) {
  if (advise == nullptr) return E_POINTER;
  *advise = nullptr;
  const HRESULT hr = EnsureAdviseHolder(ole_advise_);
  return FAILED(hr) ? hr : ole_advise_->EnumAdvise(advise);
}

STDMETHODIMP ControlObject::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = aspect == DVASPECT_CONTENT ? kMiscStatus : 0;
  return S_OK;
}

STDMETHODIMP ControlObject::SetColorScheme(LOGPALETTE* palette) { return E_NOTIMPL; }

// IOleInPlaceObjectWindowless

STDMETHODIMP ControlObject::GetWindow(HWND* hwnd) {
  if (hwnd == nullptr) return E_POINTER;
  *hwnd = nullptr;
  return E_FAIL;  // windowless
}

STDMETHODIMP ControlObject::ContextSensitiveHelp(BOOL enter) { return E_NOTIMPL; }

STDMETHODIMP ControlObject::InPlaceDeactivate() {
  IOleInPlaceSite* site = in_place_site_;
  if (site == nullptr) return S_OK;
  in_place_site_ = nullptr;
  AnnounceDeactivation(site);
  site->Release();
  return S_OK;
}

// The control never takes the user interface, so there is none to give up.
STDMETHODIMP ControlObject::UIDeactivate() { return S_OK; }

STDMETHODIMP ControlObject::SetObjectRects(LPCRECT pos, LPCRECT clip) {
  if (pos == nullptr) return E_POINTER;
  in_place_rect_ = *pos;
  return S_OK;
}

STDMETHODIMP ControlObject::ReactivateAndUndo() { return INPLACE_E_NOTUNDOABLE; }

STDMETHODIMP ControlObject::OnWindowMessage(UINT msg, WPARAM wparam, LPARAM lparam,
                                            LRESULT* result) {
  if (result != nullptr) *result = 0;
  return S_FALSE;  // no message is handled
}

STDMETHODIMP ControlObject::GetDropTarget(IDropTarget** target) {
  if (target != nullptr) *target = nullptr;
  return E_NOTIMPL;
}

// No calls into the container here: the object is going away.
void ControlObject::ReleaseContainerRefs() {
  ReleaseRef(in_place_site_);
  ReleaseRef(view_sink_);
  ReleaseRef(ole_advise_);
  ReleaseRef(site_);
  if (events_ != nullptr) DetachEventPoint(events_);
  ReleaseRef(events_);
}

}  // namespace qelcomm::com
