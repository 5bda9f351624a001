// The control in a container: siting, extent, verbs, design-mode drawing,
// the event point, the property page list, and release down to an
// unloadable module.
#include <gtest/gtest.h>
#include <olectl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "com_support.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

// A windowless-capable site on the test's stack that records what the
// control tells it; like many containers' sites it also sinks the control's
// events. It counts references so the test sees them released.
class TestSite final : public IOleClientSite, public IOleInPlaceSiteWindowless {
 public:
  LONG refs = 1;
  DWORD activated_flags = ~0u;
  bool deactivated = false;
  RECT pos{10, 10, 42, 42};

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IOleClientSite || iid == DIID__DQelCommEvents) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite ||
               iid == IID_IOleInPlaceSiteEx || iid == IID_IOleInPlaceSiteWindowless) {
      *out = static_cast<IOleInPlaceSiteWindowless*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    ++refs;
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  // IOleClientSite
  STDMETHODIMP SaveObject() override { return S_OK; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer**) override { return E_NOINTERFACE; }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleWindow, IOleInPlaceSite
  STDMETHODIMP GetWindow(HWND* hwnd) override { return *hwnd = nullptr, E_FAIL; }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT p,
                                LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
    *frame = nullptr;
    *doc = nullptr;
    *p = *clip = pos;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return deactivated = true, S_OK; }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }
  // IOleInPlaceSiteEx
  STDMETHODIMP OnInPlaceActivateEx(BOOL* no_redraw, DWORD flags) override {
    return activated_flags = flags, S_OK;
  }
  STDMETHODIMP OnInPlaceDeactivateEx(BOOL) override { return deactivated = true, S_OK; }
  STDMETHODIMP RequestUIActivate() override { return S_OK; }
  // IOleInPlaceSiteWindowless
  STDMETHODIMP CanWindowlessActivate() override { return S_OK; }
  STDMETHODIMP GetCapture() override { return S_FALSE; }
  STDMETHODIMP SetCapture(BOOL) override { return S_OK; }
  STDMETHODIMP GetFocus() override { return S_FALSE; }
  STDMETHODIMP SetFocus(BOOL) override { return S_OK; }
  STDMETHODIMP GetDC(LPCRECT, DWORD, HDC*) override { return E_NOTIMPL; }
  STDMETHODIMP ReleaseDC(HDC) override { return E_NOTIMPL; }
  STDMETHODIMP InvalidateRect(LPCRECT, BOOL) override { return S_OK; }
  STDMETHODIMP InvalidateRgn(HRGN, BOOL) override { return S_OK; }
  STDMETHODIMP ScrollRect(INT, INT, LPCRECT, LPCRECT) override { return E_NOTIMPL; }
  STDMETHODIMP AdjustRect(LPRECT) override { return S_OK; }
  STDMETHODIMP OnDefWindowMessage(UINT, WPARAM, LPARAM, LRESULT*) override { return S_FALSE; }
};

// ComPtr does not move, so the helpers fill one the caller owns.
template <typename T>
T* Query(IUnknown* object, REFIID iid, ComPtr<T>& into) {
  EXPECT_EQ(S_OK, object->QueryInterface(iid, into.PutVoid()));
  return into.Get();
}

void NewControl(ComPtr<IOleObject>& object) {
  EXPECT_EQ(S_OK, CreateFromModule(CLSID_QelComm, IID_IOleObject, object.PutVoid()));
}

// A white 64x64 memory bitmap; Changed counts the pixels no longer white
// inside and outside `r`.
class Canvas {
 public:
  Canvas() {
    BITMAPINFO info{{sizeof(BITMAPINFOHEADER), 64, -64, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    pixels_ = static_cast<uint32_t*>(bits);
    old_ = SelectObject(dc_, bitmap_);
    std::fill(pixels_, pixels_ + 64 * 64, 0xFFFFFFu);
  }
  ~Canvas() {
    DeleteObject(SelectObject(dc_, old_));
    DeleteDC(dc_);
  }
  HDC Dc() const { return dc_; }
  std::pair<int, int> Changed(const RECT& r) const {
    GdiFlush();
    std::pair<int, int> counts{0, 0};
    for (int i = 0; i < 64 * 64; ++i) {
      const int x = i % 64, y = i / 64;
      if ((pixels_[i] & 0xFFFFFF) == 0xFFFFFF) continue;
      ++(x >= r.left && x < r.right && y >= r.top && y < r.bottom ? counts.first : counts.second);
    }
    return counts;
  }

 private:
  HDC dc_ = CreateCompatibleDC(nullptr);
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  uint32_t* pixels_ = nullptr;
};

HRESULT Draw(IUnknown* object, const Canvas& canvas, const RECTL* bounds) {
  ComPtr<IViewObject2> view;
  return Query(object, IID_IViewObject2, view)
      ->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.Dc(), bounds, nullptr,
             nullptr, 0);
}

TEST(ContainerTest, KeepsItsExtentDrawsItsIconAndOffersItsVerbAndPage) {
  ComPtr<IOleObject> object;
  NewControl(object);
  ASSERT_TRUE(object);
  SIZEL asked{5000, 2000}, got{};
  EXPECT_EQ(S_OK, object->SetExtent(DVASPECT_CONTENT, &asked));
  EXPECT_EQ(S_OK, object->GetExtent(DVASPECT_CONTENT, &got));
  EXPECT_EQ(854, got.cx);
  EXPECT_EQ(854, got.cy);
  DWORD status = 0;
  EXPECT_EQ(S_OK, object->GetMiscStatus(DVASPECT_CONTENT, &status));
  EXPECT_EQ(0x20491u, status);

  Canvas canvas;
  const RECTL bounds{8, 8, 56, 40};
  ASSERT_EQ(S_OK, Draw(object.Get(), canvas, &bounds));
  const auto [inside, outside] = canvas.Changed({8, 8, 56, 40});
  EXPECT_GT(inside, 200);  // the stretched housing alone covers more
  EXPECT_EQ(0, outside);

  ComPtr<IEnumOLEVERB> verbs;
  ASSERT_EQ(S_OK, object->EnumVerbs(verbs.Put()));
  std::wstring properties;
  OLEVERB verb{};
  while (verbs->Next(1, &verb, nullptr) == S_OK) {
    if (verb.lVerb == OLEIVERB_PROPERTIES) properties = verb.lpszVerbName;
    CoTaskMemFree(verb.lpszVerbName);
  }
  EXPECT_EQ(L"&Properties...", properties);

  CAUUID pages{};
  ComPtr<ISpecifyPropertyPages> specify;
  ASSERT_EQ(S_OK, Query(object.Get(), IID_ISpecifyPropertyPages, specify)->GetPages(&pages));
  ASSERT_EQ(1u, pages.cElems);
  EXPECT_TRUE(IsEqualGUID(qelcomm::com::kClsidPropPage, pages.pElems[0]));
  CoTaskMemFree(pages.pElems);
  ComPtr<IProvideClassInfo2> provide;
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(S_OK, Query(object.Get(), IID_IProvideClassInfo2, provide)->GetClassInfo(coclass.Put()));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(CLSID_QelComm, attr->guid));
  coclass->ReleaseTypeAttr(attr);
}

TEST(ContainerTest, EventPointHoldsSinksAndOutlivesItsControlSafely) {
  ComPtr<IOleObject> object;
  NewControl(object);
  ASSERT_TRUE(object);
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  Query(object.Get(), IID_IConnectionPointContainer, container);
  EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, point.Put()));
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__DQelCommEvents, point.Put()));
  TestSite sink;
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, point->Advise(static_cast<IOleClientSite*>(&sink), &cookie));
  EXPECT_EQ(2, sink.refs);
  EXPECT_EQ(S_OK, point->Unadvise(cookie));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
  EXPECT_EQ(1, sink.refs);

  // The point does not keep the control alive, and knows when it is gone.
  ASSERT_EQ(S_OK, point->Advise(static_cast<IOleClientSite*>(&sink), &cookie));
  container.Reset();
  object.Reset();
  EXPECT_EQ(1, sink.refs);
  ComPtr<IConnectionPointContainer> gone;
  EXPECT_TRUE(FAILED(point->GetConnectionPointContainer(gone.Put())));
}

TEST(ContainerTest, SitedControlActivatesWindowlessClosesAndLetsTheModuleUnload) {
  using CanUnloadFn = HRESULT(WINAPI*)();
  auto can_unload = reinterpret_cast<CanUnloadFn>(
      reinterpret_cast<void*>(GetProcAddress(OcxModule(), "DllCanUnloadNow")));
  ASSERT_NE(nullptr, can_unload);
  TestSite site;
  {
    ComPtr<IOleObject> object;
    NewControl(object);
    ASSERT_TRUE(object);
    ASSERT_EQ(S_OK, object->SetClientSite(&site));
    EXPECT_EQ(S_FALSE, can_unload());
    ASSERT_EQ(S_OK, object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, nullptr, nullptr));
    EXPECT_EQ(DWORD{ACTIVATE_WINDOWLESS}, site.activated_flags);
    HWND hwnd = nullptr;
    ComPtr<IOleInPlaceObjectWindowless> in_place;
    EXPECT_EQ(E_FAIL, Query(object.Get(), IID_IOleInPlaceObjectWindowless, in_place)
                          ->GetWindow(&hwnd));
    in_place.Reset();
    // Without bounds the active control paints where its site put it.
    Canvas canvas;
    ASSERT_EQ(S_OK, Draw(object.Get(), canvas, nullptr));
    const auto [inside, outside] = canvas.Changed(site.pos);
    EXPECT_GT(inside, 0);
    EXPECT_EQ(0, outside);

    EXPECT_EQ(S_OK, object->Close(OLECLOSE_NOSAVE));
    EXPECT_TRUE(site.deactivated);
    EXPECT_EQ(1, site.refs);
  }
  EXPECT_EQ(S_OK, can_unload());
}

}  // namespace
}  // namespace qelcomm::comtest
