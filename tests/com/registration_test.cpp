// Self-registration through regsvr32, and the class objects and unload
// answer of the module. These change the prefix's registry, so CTest runs
// them alone (RESOURCE_LOCK com_registry).
#include <objsafe.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "com_support.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

using com::kClsidPropPage;

std::wstring Guid(REFGUID guid) {
  wchar_t text[40];
  return std::wstring(text, StringFromGUID2(guid, text, 40) - 1);
}

// The value of HKCR\key (its default value when name is null), or
// "<missing>" when the key or value is absent.
std::wstring Value(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t data[512];
  DWORD size = sizeof data;
  const LSTATUS rc =
      RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size);
  return rc == ERROR_SUCCESS ? data : L"<missing>";
}

// In the process's own registry view, or in the one `view` names
// (KEY_WOW64_32KEY or KEY_WOW64_64KEY).
bool KeyExists(const std::wstring& key, REGSAM view = 0) {
  HKEY handle = nullptr;
  const bool found =
      RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | view, &handle) == 0;
  if (found) RegCloseKey(handle);
  return found;
}

// regsvr32 of this program's own bitness (a 32-bit process gets the 32-bit
// one from the redirected system directory); its exit code.
int RunRegsvr32(const std::wstring& flags) {
  return _wsystem((L"regsvr32.exe /s " + flags + L" \"" + OcxPath() + L"\"").c_str());
}

TEST(Registration, Regsvr32MakesExactlyTheEntriesAndRemovesThemAgain) {
  const std::wstring control = L"CLSID\\" + Guid(CLSID_QelComm);
  const std::wstring page = L"CLSID\\" + Guid(kClsidPropPage);
  const std::wstring typelib = L"TypeLib\\" + Guid(LIBID_QELCOMMLib);
  wchar_t short_path[MAX_PATH];
  const std::wstring module(short_path, GetShortPathNameW(OcxPath().c_str(), short_path, MAX_PATH));

  ASSERT_EQ(RunRegsvr32(L""), 0);
  EXPECT_EQ(Value(L"QELCOMM.QelCommCtrl.1"), L"QelComm Control");
  EXPECT_EQ(Value(L"QELCOMM.QelCommCtrl.1\\CLSID"), Guid(CLSID_QelComm));
  EXPECT_EQ(Value(control), L"QelComm Control");
  EXPECT_EQ(Value(control + L"\\ProgID"), L"QELCOMM.QelCommCtrl.1");
  EXPECT_EQ(Value(control + L"\\InprocServer32"), module);
  EXPECT_EQ(Value(control + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
  EXPECT_EQ(Value(control + L"\\ToolboxBitmap32"), module + L", 1");
  EXPECT_EQ(Value(control + L"\\MiscStatus"), L"0");
  EXPECT_EQ(Value(control + L"\\MiscStatus\\1"), L"132241");
  EXPECT_EQ(Value(control + L"\\Control"), L"");
  EXPECT_EQ(Value(control + L"\\TypeLib"), Guid(LIBID_QELCOMMLib));
  EXPECT_EQ(Value(control + L"\\Version"), L"1.3");
  EXPECT_FALSE(KeyExists(control + L"\\Insertable"));
  // Not marked safe for scripting or initialisation, and no IObjectSafety:
  // a web page cannot create it to drive motors.
  EXPECT_FALSE(KeyExists(control + L"\\Implemented Categories"));
  void* safety = nullptr;
  EXPECT_EQ(CreateFromModule(CLSID_QelComm, IID_IObjectSafety, &safety), E_NOINTERFACE);
  EXPECT_EQ(Value(page), L"QelComm Property Page");
  EXPECT_EQ(Value(page + L"\\InprocServer32"), module);
  EXPECT_EQ(Value(page + L"\\InprocServer32", L"ThreadingModel"), L"<missing>");
  EXPECT_FALSE(KeyExists(L"QELCOMM.QelCommPropPage.1"));

  // The library's help directory is the module's own.
  const std::wstring path = OcxPath();
  EXPECT_EQ(Value(typelib + L"\\1.6\\HELPDIR"), path.substr(0, path.find_last_of(L"\\/") + 1));

  // The 1.3 that the class names is satisfied by the 1.6 library.
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadRegTypeLib(LIBID_QELCOMMLib, 1, 3, com::kTypeLibLcid, lib.Put()), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(std::tuple(attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid),
            std::tuple(WORD{1}, WORD{6}, LCID{0x409}));
  lib->ReleaseTLibAttr(attr);
  // (Creation by ProgID is what com.vbscript does after its regsvr32.)

  // Both interfaces, in the view a host of either bitness reads.
  const std::wstring interfaces[] = {L"Interface\\" + Guid(DIID__DQelComm),
                                     L"Interface\\" + Guid(DIID__DQelCommEvents)};
  for (const std::wstring& key : interfaces) EXPECT_TRUE(KeyExists(key)) << &key - interfaces;

  ASSERT_EQ(RunRegsvr32(L"/u"), 0);
  for (const std::wstring& key : {control, page, typelib, std::wstring(L"QELCOMM.QelCommCtrl.1")}) {
    EXPECT_FALSE(KeyExists(key)) << "left behind: HKCR\\" << std::string(key.begin(), key.end());
  }
  for (const std::wstring& key : interfaces) {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      EXPECT_FALSE(KeyExists(key, view))
          << "left behind: HKCR\\" << std::string(key.begin(), key.end()) << " in view " << view;
    }
  }
  EXPECT_NE(LoadRegTypeLib(LIBID_QELCOMMLib, 1, 3, com::kTypeLibLcid, lib.Put()), S_OK);
}

// A key that lives only until the registry is unloaded cannot hold keys
// that outlive it: registration below one fails at that step.
TEST(Registration, AStepThatCannotBeWrittenGivesItsSelfRegistrationError) {
  auto register_server = Export<HRESULT(WINAPI*)()>("DllRegisterServer");
  auto unregister_server = Export<HRESULT(WINAPI*)()>("DllUnregisterServer");
  ASSERT_NE(register_server, nullptr);
  ASSERT_NE(unregister_server, nullptr);
  const std::pair<std::wstring, HRESULT> blocked[] = {
      {L"TypeLib\\" + Guid(LIBID_QELCOMMLib), SELFREG_E_TYPELIB},
      {L"CLSID\\" + Guid(CLSID_QelComm), SELFREG_E_CLASS},
  };
  for (const auto& [key, error] : blocked) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(handle);
    EXPECT_EQ(register_server(), error) << std::string(key.begin(), key.end());
    EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(unregister_server(), S_OK);
  }
}

TEST(Registration, ClassObjectsAndUnloadFollowTheObjectsAlive) {
  auto get = Export<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
  ASSERT_NE(get, nullptr);
  ASSERT_NE(Export<void*>("DllCanUnloadNow"), nullptr);
  EXPECT_EQ(CanUnloadNow(), S_OK);
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(get(IID_IDispatch, IID_IClassFactory, factory.PutVoid()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(get(CLSID_QelComm, IID_IClassFactory, nullptr), E_POINTER);
  ASSERT_EQ(get(CLSID_QelComm, IID_IClassFactory, factory.PutVoid()), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_FALSE);  // a factory held by the client
  ComPtr<IDispatch> control;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.PutVoid()), S_OK);
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(factory->CreateInstance(control.Get(), IID_IUnknown, aggregated.PutVoid()),
            CLASS_E_NOAGGREGATION);
  factory->LockServer(TRUE);
  factory.Reset();
  control.Reset();
  EXPECT_EQ(CanUnloadNow(), S_FALSE);  // the lock
  ASSERT_EQ(get(kClsidPropPage, IID_IClassFactory, factory.PutVoid()), S_OK);
  factory->LockServer(FALSE);
  EXPECT_EQ(factory->CreateInstance(factory.Get(), IID_IUnknown, aggregated.PutVoid()),
            CLASS_E_NOAGGREGATION);
  ComPtr<IPropertyPage> page;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, page.PutVoid()), S_OK);
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), S_FALSE);  // a page alive
  page.Reset();
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace qelcomm::comtest
