// Rewrites a type library so that its coclasses refer to the interfaces of another library instead of
// carrying copies of them: widl copies every interface a coclass names into the library, and
// registering such a library would take over the other library's interface keys.
//   tlbimport <library.tlb> <imported.tlb> <output.tlb>
// Only coclasses are taken over; any other type of the library must be one of the imported library.
#include <windows.h>
#include <oleauto.h>
#include <cstdio>

namespace {

template <typename T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
};

struct Bstr {
    BSTR s = nullptr;
    ~Bstr() { SysFreeString(s); }
};

bool Failed(HRESULT hr, const char* what) {
    if (SUCCEEDED(hr)) return false;
    fprintf(stderr, "tlbimport: %s failed: 0x%08lx\n", what, static_cast<unsigned long>(hr));
    return true;
}

// One coclass of the source library, its interfaces taken from the imported library.
bool CopyCoclass(ITypeInfo* source, const TYPEATTR& attr, ITypeLib* imported, ICreateTypeLib2* target) {
    Bstr name, doc;
    DWORD helpContext = 0;
    if (Failed(source->GetDocumentation(MEMBERID_NIL, &name.s, &doc.s, &helpContext, nullptr), "GetDocumentation"))
        return false;
    Ref<ICreateTypeInfo> made;
    if (Failed(target->CreateTypeInfo(name.s, TKIND_COCLASS, &made.p), "CreateTypeInfo") ||
        Failed(made->SetGuid(attr.guid), "SetGuid") || Failed(made->SetTypeFlags(attr.wTypeFlags), "SetTypeFlags") ||
        (doc.s && Failed(made->SetDocString(doc.s), "SetDocString")) ||
        Failed(made->SetHelpContext(helpContext), "SetHelpContext"))
        return false;
    for (UINT i = 0; i < attr.cImplTypes; ++i) {
        HREFTYPE href = 0;
        Ref<ITypeInfo> local, foreign;
        TYPEATTR* localAttr = nullptr;
        INT flags = 0;
        if (Failed(source->GetRefTypeOfImplType(i, &href), "GetRefTypeOfImplType") ||
            Failed(source->GetRefTypeInfo(href, &local.p), "GetRefTypeInfo") ||
            Failed(source->GetImplTypeFlags(i, &flags), "GetImplTypeFlags") ||
            Failed(local->GetTypeAttr(&localAttr), "GetTypeAttr"))
            return false;
        GUID iid = localAttr->guid;
        local->ReleaseTypeAttr(localAttr);
        HREFTYPE importedRef = 0;
        if (Failed(imported->GetTypeInfoOfGuid(iid, &foreign.p), "finding the interface in the imported library") ||
            Failed(made->AddRefTypeInfo(foreign.p, &importedRef), "AddRefTypeInfo") ||
            Failed(made->AddImplType(i, importedRef), "AddImplType") ||
            Failed(made->SetImplTypeFlags(i, flags), "SetImplTypeFlags"))
            return false;
    }
    return !Failed(made->LayOut(), "LayOut");
}

bool Rewrite(const wchar_t* sourcePath, const wchar_t* importedPath, const wchar_t* outputPath) {
    Ref<ITypeLib> source, imported;
    if (Failed(LoadTypeLibEx(sourcePath, REGKIND_NONE, &source.p), "loading the library") ||
        Failed(LoadTypeLibEx(importedPath, REGKIND_NONE, &imported.p), "loading the imported library"))
        return false;
    TLIBATTR* lib = nullptr;
    Bstr name, doc;
    DWORD helpContext = 0;
    if (Failed(source->GetLibAttr(&lib), "GetLibAttr") ||
        Failed(source->GetDocumentation(-1, &name.s, &doc.s, &helpContext, nullptr), "GetDocumentation"))
        return false;
    Ref<ICreateTypeLib2> target;
    bool ok = !Failed(CreateTypeLib2(lib->syskind, outputPath, &target.p), "CreateTypeLib2") &&
              !Failed(target->SetName(name.s), "SetName") && !Failed(target->SetGuid(lib->guid), "SetGuid") &&
              !Failed(target->SetVersion(lib->wMajorVerNum, lib->wMinorVerNum), "SetVersion") &&
              !Failed(target->SetLcid(lib->lcid), "SetLcid") && !Failed(target->SetLibFlags(lib->wLibFlags), "SetLibFlags") &&
              (!doc.s || !Failed(target->SetDocString(doc.s), "SetDocString")) &&
              !Failed(target->SetHelpContext(helpContext), "SetHelpContext");
    source->ReleaseTLibAttr(lib);
    for (UINT i = 0, n = source->GetTypeInfoCount(); ok && i < n; ++i) {
        Ref<ITypeInfo> info, foreign;
        TYPEATTR* attr = nullptr;
        if (Failed(source->GetTypeInfo(i, &info.p), "GetTypeInfo") || Failed(info->GetTypeAttr(&attr), "GetTypeAttr"))
            return false;
        if (attr->typekind == TKIND_COCLASS) {
            ok = CopyCoclass(info.p, *attr, imported.p, target.p);
        } else if (FAILED(imported->GetTypeInfoOfGuid(attr->guid, &foreign.p))) {
            Bstr typeName;
            info->GetDocumentation(MEMBERID_NIL, &typeName.s, nullptr, nullptr, nullptr);
            fprintf(stderr, "tlbimport: %ls is neither a coclass nor a type of the imported library\n",
                    typeName.s ? typeName.s : L"?");
            ok = false;
        }
        info->ReleaseTypeAttr(attr);
    }
    return ok && !Failed(target->SaveAllChanges(), "SaveAllChanges");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: tlbimport <library.tlb> <imported.tlb> <output.tlb>\n");
        return 2;
    }
    CoInitialize(nullptr);
    DeleteFileW(argv[3]);
    bool ok = Rewrite(argv[1], argv[2], argv[3]);
    if (!ok) DeleteFileW(argv[3]);
    CoUninitialize();
    return ok ? 0 : 1;
}
