// Drawing the control (IViewObject2) and its keyboard and ambient
// behaviour (IOleControl). In design mode a container shows the control's
// icon, stretched to whatever bounds it gives.
#include <cstdlib>

#include "control/com/com_util.h"
#include "control/com/control_object.h"
#include "control/com/module.h"
#include "control/com/resource.h"

namespace qelcomm::com {

STDMETHODIMP ControlObject::Draw(DWORD aspect, LONG index, void* aspect_info,
                                 DVTARGETDEVICE* target, HDC target_dc, HDC dc,
                                 LPCRECTL bounds, LPCRECTL wbounds,
                                 BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR), ULONG_PTR cont_arg) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (dc == nullptr) return E_INVALIDARG;
  // Without bounds a windowless in-place control paints at its position.
  RECT r = in_place_rect_;
  if (bounds != nullptr) {
    r = {bounds->left, bounds->top, bounds->right, bounds->bottom};
  } else if (in_place_site_ == nullptr) {
    return E_INVALIDARG;
  }
  // Bounds may come flipped in mapping modes whose y axis points up.
  const int width = std::abs(r.right - r.left);
  const int height = std::abs(r.bottom - r.top);
  if (width == 0 || height == 0) return S_OK;
  auto icon = static_cast<HICON>(LoadImageW(ModuleInstance(), MAKEINTRESOURCEW(IDI_QELCOMM),
                                            IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
  if (icon == nullptr) return HRESULT_FROM_WIN32(::GetLastError());
  const BOOL drawn = DrawIconEx(dc, r.left < r.right ? r.left : r.right,
                                r.top < r.bottom ? r.top : r.bottom, icon, width, height, 0,
                                nullptr, DI_NORMAL);
  const DWORD error = ::GetLastError();
  DestroyIcon(icon);
  return drawn ? S_OK : HRESULT_FROM_WIN32(error);
}

STDMETHODIMP ControlObject::GetColorSet(DWORD aspect, LONG index, void* aspect_info,
                                        DVTARGETDEVICE* target, HDC target_dc,
                                        LOGPALETTE** palette) {
  if (palette == nullptr) return E_POINTER;
  *palette = nullptr;
  return S_FALSE;  // no particular colours
}

STDMETHODIMP ControlObject::Freeze(DWORD aspect, LONG index, void* aspect_info, DWORD* freeze) {
  return E_NOTIMPL;
}

STDMETHODIMP ControlObject::Unfreeze(DWORD freeze) { return E_NOTIMPL; }

// The picture never changes, so the sink is only told when it asks to be
// primed.
STDMETHODIMP ControlObject::SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) {
  AssignRef(view_sink_, sink);
  view_aspects_ = aspects;
  view_advf_ = advf;
  if (sink != nullptr && (advf & ADVF_PRIMEFIRST) != 0) {
    sink->OnViewChange(aspects, -1);
    if ((advf & ADVF_ONLYONCE) != 0) ReleaseRef(view_sink_);
  }
  return S_OK;
}

STDMETHODIMP ControlObject::GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) {
  if (aspects != nullptr) *aspects = view_aspects_;
  if (advf != nullptr) *advf = view_advf_;
  if (sink != nullptr) {
    *sink = view_sink_;
    if (view_sink_ != nullptr) view_sink_->AddRef();
  }
  return S_OK;
}

STDMETHODIMP ControlObject::GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* target,
                                      LPSIZEL size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (size == nullptr) return E_POINTER;
  *size = extent_;
  return S_OK;
}

// IOleControl: no mnemonics, no ambient property the control depends on.

STDMETHODIMP ControlObject::GetControlInfo(CONTROLINFO* info) {
  if (info == nullptr) return E_POINTER;
  info->cb = sizeof *info;
  info->hAccel = nullptr;
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

STDMETHODIMP ControlObject::OnMnemonic(MSG* msg) { return E_NOTIMPL; }

STDMETHODIMP ControlObject::OnAmbientPropertyChange(DISPID id) { return S_OK; }

// Freezes nest; the control has no events to hold back, but a host that
// asks gets a consistent count.
STDMETHODIMP ControlObject::FreezeEvents(BOOL freeze) {
  if (freeze) {
    ++event_freezes_;
  } else if (event_freezes_ > 0) {
    --event_freezes_;
  }
  return S_OK;
}

}  // namespace qelcomm::com
