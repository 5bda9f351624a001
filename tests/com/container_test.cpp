// The control in a container: siting, extent, verbs, design-mode drawing,
// the event point, the property page list, and release down to an
// unloadable module.
#include <gtest/gtest.h>
#include <olectl.h>

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
      return *out = nullptr, E_NOINTERFACE;
    }
    return ++refs, S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP GetWindow(HWND* hwnd) override { return *hwnd = nullptr, E_FAIL; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT p,
                                LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
    *frame = nullptr;
    *doc = nullptr;
    return *p = *clip = pos, S_OK;
  }
  STDMETHODIMP OnInPlaceActivateEx(BOOL*, DWORD flags) override {
    return activated_flags = flags, S_OK;
  }
  STDMETHODIMP OnInPlaceDeactivate() override { return deactivated = true, S_OK; }
  STDMETHODIMP OnInPlaceDeactivateEx(BOOL) override { return deactivated = true, S_OK; }
  // IOleClientSite, IOleInPlaceSite(Ex), IOleInPlaceSiteWindowless: the rest only answers.
  STUB(HRESULT, SaveObject(), S_OK) STUB(HRESULT, ShowObject(), S_OK)
  STUB(HRESULT, OnShowWindow(BOOL), S_OK) STUB(HRESULT, RequestNewObjectLayout(), E_NOTIMPL)
  STUB(HRESULT, GetMoniker(DWORD, DWORD, IMoniker**), E_NOTIMPL)
  STUB(HRESULT, GetContainer(IOleContainer**), E_NOINTERFACE)
  STUB(HRESULT, ContextSensitiveHelp(BOOL), E_NOTIMPL) STUB(HRESULT, CanInPlaceActivate(), S_OK)
  STUB(HRESULT, OnInPlaceActivate(), S_OK) STUB(HRESULT, OnUIActivate(), S_OK)
  STUB(HRESULT, Scroll(SIZE), E_NOTIMPL) STUB(HRESULT, OnUIDeactivate(BOOL), S_OK)
  STUB(HRESULT, DiscardUndoState(), S_OK) STUB(HRESULT, DeactivateAndUndo(), S_OK)
  STUB(HRESULT, OnPosRectChange(LPCRECT), S_OK) STUB(HRESULT, RequestUIActivate(), S_OK)
  STUB(HRESULT, CanWindowlessActivate(), S_OK) STUB(HRESULT, GetCapture(), S_FALSE)
  STUB(HRESULT, SetCapture(BOOL), S_OK) STUB(HRESULT, GetFocus(), S_FALSE)
  STUB(HRESULT, SetFocus(BOOL), S_OK) STUB(HRESULT, ReleaseDC(HDC), E_NOTIMPL)
  STUB(HRESULT, GetDC(LPCRECT, DWORD, HDC*), E_NOTIMPL)
  STUB(HRESULT, InvalidateRect(LPCRECT, BOOL), S_OK) STUB(HRESULT, InvalidateRgn(HRGN, BOOL), S_OK)
  STUB(HRESULT, ScrollRect(INT, INT, LPCRECT, LPCRECT), E_NOTIMPL)
  STUB(HRESULT, AdjustRect(LPRECT), S_OK)
  STUB(HRESULT, OnDefWindowMessage(UINT, WPARAM, LPARAM, LRESULT*), S_FALSE)
};

// A white 64x64 bitmap the control draws on; Changed counts the pixels no
// longer white inside and outside `r`.
class Canvas {
 public:
  Canvas() { PatBlt(dc_, 0, 0, 64, 64, WHITENESS); }
  ~Canvas() { DeleteObject(SelectObject(dc_, old_)), DeleteDC(dc_); }
  HRESULT Draw(IUnknown* object, const RECTL* bounds) {
    return Query<IViewObject2>(object)->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc_,
                                             bounds, nullptr, nullptr, 0);
  }
  std::pair<int, int> Changed(const RECT& r) const {
    std::pair<int, int> counts{0, 0};
    for (int y = 0; y < 64; ++y) {
      for (int x = 0; x < 64; ++x) {
        if (GetPixel(dc_, x, y) == 0xFFFFFF) continue;
        ++(PtInRect(&r, {x, y}) ? counts.first : counts.second);
      }
    }
    return counts;
  }

 private:
  BITMAPINFO info_{{sizeof(BITMAPINFOHEADER), 64, -64, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
  void* bits_ = nullptr;
  HDC dc_ = CreateCompatibleDC(nullptr);
  HGDIOBJ old_ =
      SelectObject(dc_, CreateDIBSection(dc_, &info_, DIB_RGB_COLORS, &bits_, nullptr, 0));
};

// As a container uses it: created, sited, asked for its size, status,
// verbs, pages and class, drawn in design mode, activated in place, drawn
// there, closed and released, after which the module may unload.
TEST(ContainerTest, SitedControlDrawsActivatesWindowlessClosesAndLetsTheModuleUnload) {
  TestSite site;
  {
    auto object = New<IOleObject>(CLSID_QelComm);
    ASSERT_EQ(S_OK, object->SetClientSite(&site));
    EXPECT_EQ(S_FALSE, CanUnloadNow());
    SIZEL asked{5000, 2000}, got{};
    EXPECT_EQ(S_OK, object->SetExtent(DVASPECT_CONTENT, &asked));
    EXPECT_EQ(S_OK, object->GetExtent(DVASPECT_CONTENT, &got));
    EXPECT_EQ(std::make_pair(854L, 854L), std::make_pair(got.cx, got.cy));
    DWORD status = 0;
    EXPECT_EQ(S_OK, object->GetMiscStatus(DVASPECT_CONTENT, &status));
    EXPECT_EQ(0x20491u, status);
    ComPtr<IEnumOLEVERB> verbs;
    ASSERT_EQ(S_OK, object->EnumVerbs(verbs.Put()));
    std::wstring properties;
    for (OLEVERB v{}; verbs->Next(1, &v, nullptr) == S_OK; CoTaskMemFree(v.lpszVerbName)) {
      if (v.lVerb == OLEIVERB_PROPERTIES) properties = v.lpszVerbName;
    }
    EXPECT_EQ(L"&Properties...", properties);
    CAUUID pages{};
    ASSERT_EQ(S_OK, Query<ISpecifyPropertyPages>(object.Get())->GetPages(&pages));
    ASSERT_EQ(1u, pages.cElems);
    EXPECT_TRUE(IsEqualGUID(qelcomm::com::kClsidPropPage, pages.pElems[0]));
    CoTaskMemFree(pages.pElems);
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, Query<IProvideClassInfo2>(object.Get())->GetClassInfo(coclass.Put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(CLSID_QelComm, attr->guid));
    coclass->ReleaseTypeAttr(attr);

    Canvas design, active;
    const RECTL bounds{8, 8, 56, 40};
    ASSERT_EQ(S_OK, design.Draw(object.Get(), &bounds));
    EXPECT_GT(design.Changed({8, 8, 56, 40}).first, 200);  // the stretched housing covers more
    EXPECT_EQ(design.Changed({8, 8, 56, 40}).second, 0);
    ASSERT_EQ(S_OK, object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, nullptr, nullptr));
    EXPECT_EQ(DWORD{ACTIVATE_WINDOWLESS}, site.activated_flags);
    HWND hwnd = nullptr;
    EXPECT_EQ(E_FAIL, Query<IOleInPlaceObjectWindowless>(object.Get())->GetWindow(&hwnd));
    // Without bounds the active control paints where its site put it.
    ASSERT_EQ(S_OK, active.Draw(object.Get(), nullptr));
    EXPECT_GT(active.Changed(site.pos).first, 0);
    EXPECT_EQ(active.Changed(site.pos).second, 0);

    EXPECT_EQ(S_OK, object->Close(OLECLOSE_NOSAVE));
    EXPECT_TRUE(site.deactivated);
    EXPECT_EQ(1, site.refs);
  }
  EXPECT_EQ(S_OK, CanUnloadNow());
}

TEST(ContainerTest, EventPointHoldsSinksAndOutlivesItsControlSafely) {
  auto object = New<IOleObject>(CLSID_QelComm);
  auto container = Query<IConnectionPointContainer>(object.Get());
  ComPtr<IConnectionPoint> point;
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

}  // namespace
}  // namespace qelcomm::comtest
