// Self-registration through regsvr32, and the class objects and unload
// answer of the module. These change the prefix's registry, so CTest runs
// them alone (RESOURCE_LOCK com_registry).
#include <gtest/gtest.h>

#include <string>

#include "com_support.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

using com::kClsidPropPage;

std::wstring Guid(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

// The value of HKCR\key (default value when name is null); nullopt-like
// "<missing>" when the key or value is absent.
std::wstring Value(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t data[512];
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
      ERROR_SUCCESS) {
    return L"<missing>";
  }
  return data;
}

bool KeyExists(const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

// regsvr32 of this program's own bitness (a 32-bit process gets the 32-bit
// one from the redirected system directory).
DWORD RunRegsvr32(const std::wstring& flags) {
  std::wstring command = L"regsvr32.exe /s " + flags + L" \"" + OcxPath() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return GetLastError();
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return code;
}

std::wstring ShortOcxPath() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetShortPathNameW(OcxPath().c_str(), path, MAX_PATH);
  return std::wstring(path, n);
}

TEST(Registration, Regsvr32MakesExactlyTheEntriesAndRemovesThemAgain) {
  const std::wstring control = L"CLSID\\" + Guid(CLSID_QelComm);
  const std::wstring page = L"CLSID\\" + Guid(kClsidPropPage);
  const std::wstring typelib = L"TypeLib\\" + Guid(LIBID_QELCOMMLib);
  const std::wstring module = ShortOcxPath();

  ASSERT_EQ(RunRegsvr32(L""), 0u);
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
  EXPECT_EQ(Value(page), L"QelComm Property Page");
  EXPECT_EQ(Value(page + L"\\InprocServer32"), module);
  EXPECT_EQ(Value(page + L"\\InprocServer32", L"ThreadingModel"), L"<missing>");
  EXPECT_FALSE(KeyExists(L"QELCOMM.QelCommPropPage.1"));

  // The 1.3 that the class names is satisfied by the 1.6 library.
  ITypeLib* lib = nullptr;
  ASSERT_EQ(LoadRegTypeLib(LIBID_QELCOMMLib, 1, 3, com::kTypeLibLcid, &lib), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 6);
  EXPECT_EQ(attr->lcid, 0x409u);
  lib->ReleaseTLibAttr(attr);
  lib->Release();

  // A host creates it by its ProgID.
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(L"QELCOMM.QelCommCtrl.1", &clsid), S_OK);
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             dispatch.PutVoid()),
            S_OK);
  dispatch.Reset();

  ASSERT_EQ(RunRegsvr32(L"/u"), 0u);
  for (const std::wstring& key : {control, page, typelib, std::wstring(L"QELCOMM.QelCommCtrl.1"),
                                  L"Interface\\" + Guid(DIID__DQelComm)}) {
    EXPECT_FALSE(KeyExists(key)) << "left behind: HKCR\\" << std::string(key.begin(), key.end());
  }
  EXPECT_NE(LoadRegTypeLib(LIBID_QELCOMMLib, 1, 3, com::kTypeLibLcid, &lib), S_OK);
}

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadFn = HRESULT(WINAPI*)();

template <typename Fn>
Fn Export(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(OcxModule(), name)));
}

TEST(Registration, ClassObjectsAndUnloadFollowTheObjectsAlive) {
  auto get = Export<GetClassObjectFn>("DllGetClassObject");
  auto can_unload = Export<CanUnloadFn>("DllCanUnloadNow");
  ASSERT_NE(get, nullptr);
  ASSERT_NE(can_unload, nullptr);
  EXPECT_EQ(can_unload(), S_OK);

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(get(IID_IDispatch, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(get(CLSID_QelComm, IID_IClassFactory, nullptr), E_POINTER);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(get(CLSID_QelComm, IID_IClassFactory, factory.PutVoid()), S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);  // a factory held by the client
  ComPtr<IDispatch> control;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.PutVoid()), S_OK);
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(factory->CreateInstance(control.Get(), IID_IUnknown, aggregated.PutVoid()),
            CLASS_E_NOAGGREGATION);
  factory->LockServer(TRUE);
  factory.Reset();
  control.Reset();
  EXPECT_EQ(can_unload(), S_FALSE);  // the lock
  ASSERT_EQ(get(kClsidPropPage, IID_IClassFactory, factory.PutVoid()), S_OK);
  factory->LockServer(FALSE);
  ComPtr<IPropertyPage> page;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, page.PutVoid()), S_OK);
  factory.Reset();
  EXPECT_EQ(can_unload(), S_FALSE);  // a page alive
  page.Reset();
  EXPECT_EQ(can_unload(), S_OK);
}

}  // namespace
}  // namespace qelcomm::comtest
