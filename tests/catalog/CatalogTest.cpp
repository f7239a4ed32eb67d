// The catalog classes as a caller creates them: by class id, over a laid-out environment.
#include <windows.h>
#include <gtest/gtest.h>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "project.h"
#include "base/Handles.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

// A caller's project object answering only what the catalog asks: its details (slot 14) and the
// details' project type (slot 42). It serves as its own details, through one table in which every
// other slot answers E_NOTIMPL.
struct FakeProject {
    void* const* table = Table();  // first: the object is its own interface pointer
    LONG type;
    LONG refs = 0;
    bool noDetails = false;  // slot 14 answers S_OK with a null pointer
    HRESULT typeFailure = S_OK;  // slot 42 fails with error information of its own

    explicit FakeProject(LONG projectType) : type(projectType) {}
    IUnknown* Unknown() { return reinterpret_cast<IUnknown*>(this); }

    static HRESULT STDMETHODCALLTYPE QueryInterface(FakeProject* self, REFIID iid, void** ppv) {
        bool known = iid == IID_IUnknown || iid == IID_IProjectObject;
        *ppv = known ? self : nullptr;
        self->refs += known;
        return known ? S_OK : E_NOINTERFACE;
    }
    static ULONG STDMETHODCALLTYPE AddRef(FakeProject* self) { return ++self->refs; }
    static ULONG STDMETHODCALLTYPE Release(FakeProject* self) { return --self->refs; }
    static HRESULT STDMETHODCALLTYPE NotImplemented(FakeProject*) { return E_NOTIMPL; }
    static HRESULT STDMETHODCALLTYPE Details(FakeProject* self, FakeProject** details) {
        *details = self->noDetails ? nullptr : self;
        if (*details) AddRef(self);
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE ProjectType(FakeProject* self, LONG* type) {
        *type = self->type;
        if (SUCCEEDED(self->typeFailure)) return S_OK;
        ComPtr<ICreateErrorInfo> create;
        ComPtr<IErrorInfo> info;
        CreateErrorInfo(create.Put());
        create->SetGUID(IID_IProjectObject);
        create->SetSource(const_cast<wchar_t*>(L"Fake.Project.1"));
        create->SetDescription(const_cast<wchar_t*>(L"no type today"));
        create.As(IID_IErrorInfo, info);
        SetErrorInfo(0, info.Get());
        return self->typeFailure;
    }
    static void* const* Table() {
        static void* table[43];
        for (void*& slot : table) slot = reinterpret_cast<void*>(&NotImplemented);
        table[0] = reinterpret_cast<void*>(&QueryInterface);
        table[1] = reinterpret_cast<void*>(&AddRef);
        table[2] = reinterpret_cast<void*>(&Release);
        table[14] = reinterpret_cast<void*>(&Details);
        table[42] = reinterpret_cast<void*>(&ProjectType);
        return table;
    }
};

ComPtr<IMMCatalog> Create(REFCLSID clsid) {
    ComPtr<IMMCatalog> catalog;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog, catalog.PutVoid()));
    return catalog;
}

// A BSTR out taken over; a null one reads "<null>", the sentinel 1 "<untouched>".
_stringx Taken(BSTR text) {
    if (text == reinterpret_cast<BSTR>(1)) return L"<untouched>";
    unique_bstr owned(text);
    return text ? _stringx(text) : _stringx(L"<null>");
}

using Catalog = cvtest::ComTest;

TEST_F(Catalog, NamesComeFromTheIndexFiles) {
    cvtest::TestEnvironment env(L"catalog-names");
    env.WriteModulesIndex({{L"Runtime.1:1033", L"Runtime Library"}});
    env.WriteFilesToModulesIndex({{L"MixedCase.DLL", L"0:Runtime.1:1033"},
                                  {L"anylang.dll", L"0:Runtime.1"},
                                  {L"flagged.dll", L"1:Runtime.1:1033"}});
    ComPtr<IMMCatalog> catalog = Create(CLSID_MMCatalog);
    const struct {
        const wchar_t* file;
        const wchar_t* signature;
    } cases[] = {{L"MIXEDCASE.dll", L"Runtime.1:1033"}, {L"anylang.dll", L"Runtime.1:0"},
                 {L"flagged.dll", L"<null>"}, {L"unknown.dll", L"<null>"}, {L"", L"<null>"}};
    for (const auto& c : cases) {
        BSTR signature = reinterpret_cast<BSTR>(1);
        EXPECT_EQ(S_OK, catalog->GetModuleForFile(_stringx(c.file).AsBSTR(), &signature));
        EXPECT_EQ(_stringx(c.signature), Taken(signature)) << _stringx(c.file).AsNarrow();
    }

    BSTR name = nullptr;
    EXPECT_EQ(S_OK, catalog->GetFriendlyName(_stringx(L"Runtime.1:1033").AsBSTR(), &name));
    EXPECT_EQ(_stringx(L"Runtime Library"), Taken(name));
    EXPECT_EQ(S_OK, catalog->GetFriendlyName(_stringx(L"runtime.1:1033").AsBSTR(), &name));
    EXPECT_EQ(_stringx(L"runtime.1:1033"), Taken(name)) << "exact case only; an unknown key comes back";
}

TEST_F(Catalog, ApplicabilityByProjectType) {
    cvtest::TestEnvironment env(L"catalog-applicable");
    ComPtr<IMMCatalog> catalog = Create(CLSID_MMCatalog), pro = Create(CLSID_MMCatalogPro);
    const struct {
        LONG type;
        VARIANT_BOOL catalog;
        VARIANT_BOOL pro;
    } cases[] = {{1, VARIANT_TRUE, VARIANT_FALSE}, {3, VARIANT_TRUE, VARIANT_FALSE},
                 {0, VARIANT_FALSE, VARIANT_FALSE}, {9, VARIANT_FALSE, VARIANT_TRUE}};
    for (const auto& c : cases) {
        FakeProject project(c.type);
        VARIANT_BOOL applicable = 7, proApplicable = 7;
        EXPECT_EQ(S_OK, catalog->IsApplicable(project.Unknown(), &applicable));
        EXPECT_EQ(S_OK, pro->IsApplicable(project.Unknown(), &proApplicable));
        EXPECT_EQ(c.catalog, applicable) << c.type;
        EXPECT_EQ(c.pro, proApplicable) << c.type;
        EXPECT_EQ(0, project.refs) << "every reference taken is given back";
    }
    FakeProject project(1);
    EXPECT_EQ(E_INVALIDARG, catalog->IsApplicable(project.Unknown(), nullptr));
    VARIANT_BOOL applicable = 0;
    EXPECT_EQ(E_INVALIDARG, catalog->IsApplicable(nullptr, &applicable));
    // An object that is no project: the failed question is the method's error.
    EXPECT_EQ(E_NOINTERFACE, catalog->IsApplicable(catalog.Get(), &applicable));
    EXPECT_EQ(_stringx(L"CvMMUpdater.MMCatalog.1"), cvtest::TakeErrorInfo().source);
    // The project's own error reaches the caller with its description and GUID, under this class.
    project.typeFailure = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, catalog->IsApplicable(project.Unknown(), &applicable));
    cvtest::ErrorInfoText error = cvtest::TakeErrorInfo();
    EXPECT_EQ(_stringx(L"no type today|CvMMUpdater.MMCatalog.1"), error.description + L"|" + error.source);
    EXPECT_EQ(IID_IProjectObject, error.guid);
    // A project without details: an error, not a crash of the host.
    project.noDetails = true;
    for (IMMCatalog* each : {catalog.Get(), pro.Get()}) {
        EXPECT_EQ(E_POINTER, each->IsApplicable(project.Unknown(), &applicable));
        EXPECT_TRUE(cvtest::TakeErrorInfo().present);
    }
    EXPECT_EQ(0, project.refs);
}

TEST_F(Catalog, ProReservedSlotsLeaveTheirOutsAlone) {
    cvtest::TestEnvironment env(L"catalog-pro-reserved");
    ComPtr<IMMCatalog> pro = Create(CLSID_MMCatalogPro), catalog = Create(CLSID_MMCatalog);
    LONG three = 7, four = 7;
    EXPECT_EQ(S_OK, pro->Reserved3(&three));
    EXPECT_EQ(S_OK, pro->Reserved4(1, &four));
    EXPECT_EQ(7, three);
    EXPECT_EQ(7, four);
    EXPECT_EQ(S_OK, catalog->Reserved3(&three));
    EXPECT_EQ(S_OK, catalog->Reserved4(1, &four));
    EXPECT_EQ(0, three + four) << "the catalog's own answer 0";
}

TEST_F(Catalog, ManagerGivesType10TheOtherClassWithOnePointerPerInterface) {
    cvtest::TestEnvironment env(L"catalog-manager");
    ComPtr<IMMCatalogManager> manager;
    ComPtr<IDispatch> pro;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MMCatalogManager, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalogManager,
                                     manager.PutVoid()));
    ASSERT_EQ(S_OK, manager->GetCatalog(10, pro.Put()));
    for (const IID* iid : {&IID_IMMCatalog1, &IID_IMMCatalog2, &IID_IMMCatalog}) {
        ComPtr<IMMCatalog> face;
        ASSERT_EQ(S_OK, pro->QueryInterface(*iid, face.PutVoid()));
        EXPECT_EQ(static_cast<IUnknown*>(pro.Get()), static_cast<IUnknown*>(face.Get()));
        FakeProject nine(9);
        VARIANT_BOOL applicable = 0;
        EXPECT_EQ(S_OK, face->IsApplicable(nine.Unknown(), &applicable));
        EXPECT_EQ(VARIANT_TRUE, applicable) << "type 10 gets the class for type 9";
    }
}

}  // namespace
