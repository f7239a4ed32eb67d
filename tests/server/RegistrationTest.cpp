// Self-registration read back through the registry API: every key and value, removal, idempotence.
#include <windows.h>
#include <gtest/gtest.h>
#include "CvMMUpdater2.h"
#include "tests/server/ServerDll.h"
#include "tests/support/TestSupport.h"

namespace {

struct ClassRow {
    const CLSID* clsid;
    const wchar_t* progId;
    const wchar_t* versionIndependent;
};

const ClassRow kClasses[] = {
    {&CLSID_MMCatalog, L"CvMMUpdater.MMCatalog.1", L"CvMMUpdater.MMCatalog"},
    {&CLSID_MMCatalogPro, L"CvMMUpdater.MMCatalogPro.1", L"CvMMUpdater.MMCatalogPro"},
    {&CLSID_MergeModule2, L"CvMMUpdater.MergeModule2.1", L"CvMMUpdater.MergeModule2"},
    {&CLSID_MMCatalogManager, L"CvMMUpdater.MMCatalogManager.1", L"CvMMUpdater.MMCatalogManager"},
};

const wchar_t kDescription[] = L"Corvane CvMMUpdater2";

// The value, or "<missing>" when the key or value does not exist.
_stringx ReadValue(const _stringx& key, const wchar_t* name = nullptr) {
    wchar_t value[1024] = {};
    DWORD size = sizeof(value);
    LONG rc = RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size);
    return rc == ERROR_SUCCESS ? _stringx(value) : _stringx(L"<missing>");
}

bool KeyExists(const _stringx& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

_stringx ClsidText(REFCLSID clsid) {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return text;
}

void ExpectRegistered(const _stringx& modulePath) {
    for (const ClassRow& row : kClasses) {
        _stringx clsid = ClsidText(*row.clsid);
        _stringx classKey = _stringx(L"CLSID\\") + clsid;
        SCOPED_TRACE(row.progId);
        EXPECT_EQ(_stringx(kDescription), ReadValue(row.progId));
        EXPECT_EQ(clsid, ReadValue(_stringx(row.progId) + L"\\CLSID"));
        EXPECT_EQ(_stringx(kDescription), ReadValue(row.versionIndependent));
        EXPECT_EQ(clsid, ReadValue(_stringx(row.versionIndependent) + L"\\CLSID"));
        EXPECT_FALSE(KeyExists(_stringx(row.versionIndependent) + L"\\CurVer")) << "nothing else under a ProgID";
        EXPECT_EQ(_stringx(kDescription), ReadValue(classKey));
        EXPECT_EQ(_stringx(row.progId), ReadValue(classKey + L"\\ProgID"));
        EXPECT_EQ(_stringx(row.versionIndependent), ReadValue(classKey + L"\\VersionIndependentProgID"));
        EXPECT_EQ(0, _wcsicmp(modulePath.c_str(), ReadValue(classKey + L"\\InprocServer32").c_str()));
        EXPECT_EQ(_stringx(L"Apartment"), ReadValue(classKey + L"\\InprocServer32", L"ThreadingModel"));

        wchar_t* progId = nullptr;
        ASSERT_EQ(S_OK, ProgIDFromCLSID(*row.clsid, &progId));
        EXPECT_STREQ(row.progId, progId);
        CoTaskMemFree(progId);
        CLSID fromName{};
        EXPECT_EQ(S_OK, CLSIDFromProgID(row.versionIndependent, &fromName));
        EXPECT_EQ(*row.clsid, fromName);
    }
    BSTR libraryPath = nullptr;
    const GUID libid = {0x8FC21AA4, 0x29DC, 0x46A7, {0x81, 0x79, 0x73, 0x9E, 0x07, 0xAC, 0x74, 0x92}};
    ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(libid, 1, 0, LOCALE_NEUTRAL, &libraryPath));
    EXPECT_EQ(0, _wcsicmp(modulePath.c_str(), libraryPath));
    SysFreeString(libraryPath);
}

void ExpectUnregistered() {
    for (const ClassRow& row : kClasses) {
        SCOPED_TRACE(row.progId);
        EXPECT_FALSE(KeyExists(row.progId));
        EXPECT_FALSE(KeyExists(row.versionIndependent));
        EXPECT_FALSE(KeyExists(_stringx(L"CLSID\\") + ClsidText(*row.clsid)));
    }
    BSTR libraryPath = nullptr;
    const GUID libid = {0x8FC21AA4, 0x29DC, 0x46A7, {0x81, 0x79, 0x73, 0x9E, 0x07, 0xAC, 0x74, 0x92}};
    EXPECT_NE(S_OK, QueryPathOfRegTypeLib(libid, 1, 0, LOCALE_NEUTRAL, &libraryPath));
    SysFreeString(libraryPath);
}

class Registration : public cvtest::ComTest {};

TEST_F(Registration, RegisterUnregisterAndRegisterAgain) {
    _stringx path = JoinPath(cvtest::OutDir(), L"CvMMUpdater2.dll");
    ServerDll dll(path);
    ASSERT_TRUE(dll.Loaded());
    wchar_t fullPath[MAX_PATH] = {};
    GetFullPathNameW(path.c_str(), MAX_PATH, fullPath, nullptr);

    ExpectRegistered(fullPath);
    EXPECT_EQ(S_OK, dll.Register()) << "registering twice";
    ExpectRegistered(fullPath);

    EXPECT_EQ(S_OK, dll.Unregister());
    ExpectUnregistered();
    EXPECT_EQ(S_OK, dll.Unregister()) << "unregistering an unregistered server";
    ExpectUnregistered();

    EXPECT_EQ(S_OK, dll.Register());
    ExpectRegistered(fullPath);
}

}  // namespace
