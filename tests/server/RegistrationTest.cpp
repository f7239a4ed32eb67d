// Self-registration read back through the registry API: every key and value, removal, idempotence.
#include <windows.h>
#include <gtest/gtest.h>
#include <vector>
#include "CvMMUpdater2.h"
#include "base/Handles.h"
#include "tests/server/ServerDll.h"
#include "tests/support/TestSupport.h"

namespace {

const struct {
    const CLSID* clsid;
    const wchar_t* name;  // version-independent ProgID; the versioned one adds ".1"
} kClasses[] = {{&CLSID_MMCatalog, L"CvMMUpdater.MMCatalog"}, {&CLSID_MMCatalogPro, L"CvMMUpdater.MMCatalogPro"},
                {&CLSID_MergeModule2, L"CvMMUpdater.MergeModule2"},
                {&CLSID_MMCatalogManager, L"CvMMUpdater.MMCatalogManager"}};
const GUID kLibId = {0x8FC21AA4, 0x29DC, 0x46A7, {0x81, 0x79, 0x73, 0x9E, 0x07, 0xAC, 0x74, 0x92}};

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

_stringx TypeLibraryPath() {
    BSTR path = nullptr;
    _stringx result = QueryPathOfRegTypeLib(kLibId, 1, 0, LOCALE_NEUTRAL, &path) == S_OK ? path : L"<missing>";
    SysFreeString(path);
    return result.Lower();
}

void ExpectRegistered(const _stringx& modulePath) {
    const _stringx description = L"Corvane CvMMUpdater2";
    for (const auto& row : kClasses) {
        _stringx clsid = ClsidText(*row.clsid), classKey = L"CLSID\\" + clsid, progId = row.name + _stringx(L".1");
        SCOPED_TRACE(progId.AsNarrow());
        for (const _stringx& name : {progId, _stringx(row.name)}) {
            EXPECT_EQ(description, ReadValue(name));
            EXPECT_EQ(clsid, ReadValue(name + L"\\CLSID"));
        }
        EXPECT_FALSE(KeyExists(row.name + _stringx(L"\\CurVer"))) << "nothing else under a ProgID";
        EXPECT_EQ(description, ReadValue(classKey));
        EXPECT_EQ(progId, ReadValue(classKey + L"\\ProgID"));
        EXPECT_EQ(_stringx(row.name), ReadValue(classKey + L"\\VersionIndependentProgID"));
        EXPECT_EQ(modulePath, ReadValue(classKey + L"\\InprocServer32").Lower());
        EXPECT_EQ(_stringx(L"Apartment"), ReadValue(classKey + L"\\InprocServer32", L"ThreadingModel"));

        wchar_t* fromClsid = nullptr;
        ASSERT_EQ(S_OK, ProgIDFromCLSID(*row.clsid, &fromClsid));
        EXPECT_EQ(progId, _stringx(fromClsid));
        CoTaskMemFree(fromClsid);
        CLSID fromName{};
        EXPECT_EQ(S_OK, CLSIDFromProgID(row.name, &fromName));
        EXPECT_EQ(*row.clsid, fromName);
    }
    EXPECT_EQ(modulePath, TypeLibraryPath());
}

void ExpectUnregistered() {
    for (const auto& row : kClasses) {
        SCOPED_TRACE(_stringx(row.name).AsNarrow());
        EXPECT_FALSE(KeyExists(row.name + _stringx(L".1")));
        EXPECT_FALSE(KeyExists(row.name));
        EXPECT_FALSE(KeyExists(L"CLSID\\" + ClsidText(*row.clsid)));
    }
    EXPECT_EQ(_stringx(L"<missing>"), TypeLibraryPath());
}

// The LIBID of the interface library and the IIDs of the interfaces that registering it writes.
struct InterfaceLibrary {
    GUID libId{};
    std::vector<IID> interfaces;
};

InterfaceLibrary ReadInterfaceLibrary() {
    InterfaceLibrary result;
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(S_OK, LoadTypeLibEx(JoinPath(cvtest::OutDir(), L"cvmmupdater.tlb").c_str(), REGKIND_NONE, lib.Put()));
    if (!lib) return result;
    TLIBATTR* attr = nullptr;
    lib->GetLibAttr(&attr);
    result.libId = attr->guid;
    lib->ReleaseTLibAttr(attr);
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info;
        TYPEATTR* type = nullptr;
        if (FAILED(lib->GetTypeInfo(i, info.Put())) || FAILED(info->GetTypeAttr(&type))) continue;
        if (type->typekind == TKIND_DISPATCH ||
            (type->typekind == TKIND_INTERFACE && (type->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION))))
            result.interfaces.push_back(type->guid);
        info->ReleaseTypeAttr(type);
    }
    return result;
}

// Every interface key names the interface library, whatever the server's registration did.
void ExpectInterfacesOfTheirLibrary(const InterfaceLibrary& library) {
    ASSERT_LE(4u, library.interfaces.size());
    for (const IID& iid : library.interfaces)
        EXPECT_EQ(ClsidText(library.libId), ReadValue(L"Interface\\" + ClsidText(iid) + L"\\TypeLib"))
            << ClsidText(iid).AsNarrow();
}

class Registration : public cvtest::ComTest {};

// The server's embedded library holds only its coclasses; their interfaces are those of cvmmupdater.tlb.
TEST_F(Registration, ServerLibraryRefersToTheInterfaceLibrary) {
    InterfaceLibrary interfaces = ReadInterfaceLibrary();
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(S_OK, LoadTypeLibEx(JoinPath(cvtest::OutDir(), L"CvMMUpdater2.dll").c_str(), REGKIND_NONE, lib.Put()));
    ASSERT_EQ(4u, lib->GetTypeInfoCount());
    for (UINT i = 0; i < 4; ++i) {
        ComPtr<ITypeInfo> coclass, implemented;
        ComPtr<ITypeLib> container;
        TYPEATTR* type = nullptr;
        HREFTYPE href = 0;
        UINT index = 0;
        ASSERT_EQ(S_OK, lib->GetTypeInfo(i, coclass.Put()));
        ASSERT_EQ(S_OK, coclass->GetTypeAttr(&type));
        EXPECT_EQ(TKIND_COCLASS, type->typekind);
        EXPECT_EQ(1, type->cImplTypes);
        coclass->ReleaseTypeAttr(type);
        ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &href));
        ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(href, implemented.Put()));
        ASSERT_EQ(S_OK, implemented->GetContainingTypeLib(container.Put(), &index));
        TLIBATTR* attr = nullptr;
        ASSERT_EQ(S_OK, container->GetLibAttr(&attr));
        EXPECT_EQ(interfaces.libId, attr->guid) << "coclass " << i;
        container->ReleaseTLibAttr(attr);
    }
}

TEST_F(Registration, RegisterUnregisterAndRegisterAgain) {
    _stringx path = JoinPath(cvtest::OutDir(), L"CvMMUpdater2.dll");
    ServerDll dll(path);
    ASSERT_TRUE(dll.Loaded());
    wchar_t fullPath[MAX_PATH] = {};
    GetFullPathNameW(path.c_str(), MAX_PATH, fullPath, nullptr);
    _stringx modulePath = _stringx(fullPath).Lower();

    InterfaceLibrary interfaces = ReadInterfaceLibrary();

    ExpectRegistered(modulePath);
    ExpectInterfacesOfTheirLibrary(interfaces);
    EXPECT_EQ(S_OK, dll.Register()) << "registering twice";
    ExpectRegistered(modulePath);
    ExpectInterfacesOfTheirLibrary(interfaces);
    EXPECT_EQ(S_OK, dll.Unregister());
    ExpectUnregistered();
    ExpectInterfacesOfTheirLibrary(interfaces);
    EXPECT_EQ(S_OK, dll.Unregister()) << "unregistering an unregistered server";
    ExpectUnregistered();
    EXPECT_EQ(S_OK, dll.Register());
    ExpectRegistered(modulePath);
    ExpectInterfacesOfTheirLibrary(interfaces);
}

}  // namespace
