// The catalog classes as a caller creates them: by class id, over a laid-out environment.
#include <windows.h>
#include <gtest/gtest.h>
#include <fstream>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "project.h"
#include "server/Handles.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

// A caller's project object, answering only what the catalog asks: its details (slot 14) and the
// details' project type (slot 42). Every other slot answers E_NOTIMPL.
class FakeProject {
public:
    explicit FakeProject(LONG type) : type_(type) {
        for (auto& slot : projectTable_) slot = reinterpret_cast<void*>(&NotImplemented);
        for (auto& slot : detailsTable_) slot = reinterpret_cast<void*>(&NotImplemented);
        projectTable_[0] = detailsTable_[0] = reinterpret_cast<void*>(&QueryInterface);
        projectTable_[1] = detailsTable_[1] = reinterpret_cast<void*>(&AddRef);
        projectTable_[2] = detailsTable_[2] = reinterpret_cast<void*>(&Release);
        projectTable_[14] = reinterpret_cast<void*>(&Details);
        detailsTable_[42] = reinterpret_cast<void*>(&ProjectType);
        project_.table = projectTable_;
        project_.owner = this;
        details_.table = detailsTable_;
        details_.owner = this;
    }
    IUnknown* Unknown() { return reinterpret_cast<IUnknown*>(&project_); }
    LONG refs = 0;

private:
    struct Face {
        void** table;
        FakeProject* owner;
    };
    static HRESULT STDMETHODCALLTYPE QueryInterface(Face* self, REFIID iid, void** ppv) {
        if (iid == IID_IUnknown || iid == IID_IProjectObject) {
            *ppv = &self->owner->project_;
            ++self->owner->refs;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    static ULONG STDMETHODCALLTYPE AddRef(Face* self) { return ++self->owner->refs; }
    static ULONG STDMETHODCALLTYPE Release(Face* self) { return --self->owner->refs; }
    static HRESULT STDMETHODCALLTYPE NotImplemented(Face*) { return E_NOTIMPL; }
    static HRESULT STDMETHODCALLTYPE Details(Face* self, Face** details) {
        *details = &self->owner->details_;
        ++self->owner->refs;
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE ProjectType(Face* self, LONG* type) {
        *type = self->owner->type_;
        return S_OK;
    }

    LONG type_;
    void* projectTable_[15];
    void* detailsTable_[43];
    Face project_;
    Face details_;
};

class Catalog : public cvtest::ComTest {
protected:
    ComPtr<IMMCatalog> Create(REFCLSID clsid) {
        ComPtr<IMMCatalog> catalog;
        EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog, catalog.PutVoid()));
        return catalog;
    }
    static _stringx Text(BSTR text) {
        _stringx result(text);
        SysFreeString(text);
        return result;
    }
};

TEST_F(Catalog, AnswersItsThreeInterfaceIdsWithOnePointer) {
    cvtest::TestEnvironment env(L"catalog-faces");
    ComPtr<IMMCatalog> catalog = Create(CLSID_MMCatalog);
    ASSERT_TRUE(catalog);
    for (const IID* iid : {&IID_IMMCatalog1, &IID_IMMCatalog2, &IID_IDispatch}) {
        ComPtr<IUnknown> face;
        ASSERT_EQ(S_OK, catalog->QueryInterface(*iid, face.PutVoid()));
        EXPECT_EQ(static_cast<IUnknown*>(catalog.Get()), face.Get());
    }
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, catalog.As(IID_ISupportErrorInfo, support));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IMMCatalog1));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IMMCatalogManager));
}

TEST_F(Catalog, NamesComeFromTheIndexFilesReadOncePerProcess) {
    cvtest::TestEnvironment env(L"catalog-names");
    env.WriteModulesIndex({{L"Runtime.1:1033", L"Runtime Library"}});
    env.WriteFilesToModulesIndex({{L"MixedCase.DLL", L"0:Runtime.1:1033"},
                                  {L"anylang.dll", L"0:Runtime.1"},
                                  {L"flagged.dll", L"1:Runtime.1:1033"}});
    ComPtr<IMMCatalog> catalog = Create(CLSID_MMCatalog);
    ASSERT_TRUE(catalog);

    struct Case {
        const wchar_t* file;
        const wchar_t* signature;  // null: nothing found
    } cases[] = {{L"mixedcase.dll", L"Runtime.1:1033"}, {L"MIXEDCASE.dll", L"Runtime.1:1033"},
                 {L"anylang.dll", L"Runtime.1:0"},     {L"flagged.dll", nullptr},
                 {L"unknown.dll", nullptr},            {L"", nullptr}};
    for (const Case& c : cases) {
        BSTR signature = reinterpret_cast<BSTR>(1);
        EXPECT_EQ(S_OK, catalog->GetModuleForFile(_stringx(c.file).AsBSTR(), &signature));
        if (c.signature)
            EXPECT_EQ(_stringx(c.signature), Text(signature)) << _stringx(c.file).AsNarrow();
        else
            EXPECT_EQ(nullptr, signature) << _stringx(c.file).AsNarrow();
    }

    BSTR name = nullptr;
    EXPECT_EQ(S_OK, catalog->GetFriendlyName(_stringx(L"Runtime.1:1033").AsBSTR(), &name));
    EXPECT_EQ(_stringx(L"Runtime Library"), Text(name));
    EXPECT_EQ(S_OK, catalog->GetFriendlyName(_stringx(L"runtime.1:1033").AsBSTR(), &name));
    EXPECT_EQ(_stringx(L"runtime.1:1033"), Text(name)) << "exact case only; an unknown key comes back";

    // The indexes stay as first read, even when the file goes away and a new catalog is made.
    ASSERT_TRUE(DeleteFileW(JoinPath(env.IndexFolder(), L"modules.ini").c_str()));
    ComPtr<IMMCatalog> second = Create(CLSID_MMCatalog);
    ASSERT_TRUE(second);
    EXPECT_EQ(S_OK, second->GetFriendlyName(_stringx(L"Runtime.1:1033").AsBSTR(), &name));
    EXPECT_EQ(_stringx(L"Runtime Library"), Text(name));
}

TEST_F(Catalog, ApplicabilityByProjectType) {
    cvtest::TestEnvironment env(L"catalog-applicable");
    ComPtr<IMMCatalog> catalog = Create(CLSID_MMCatalog);
    ComPtr<IMMCatalog> pro = Create(CLSID_MMCatalogPro);
    ASSERT_TRUE(catalog && pro);
    struct Case {
        LONG type;
        VARIANT_BOOL catalog;
        VARIANT_BOOL pro;
    } cases[] = {{1, VARIANT_TRUE, VARIANT_FALSE}, {3, VARIANT_TRUE, VARIANT_FALSE},
                 {0, VARIANT_FALSE, VARIANT_FALSE}, {9, VARIANT_FALSE, VARIANT_TRUE}};
    for (const Case& c : cases) {
        FakeProject project(c.type);
        VARIANT_BOOL applicable = 7;
        EXPECT_EQ(S_OK, catalog->IsApplicable(project.Unknown(), &applicable));
        EXPECT_EQ(c.catalog, applicable) << c.type;
        EXPECT_EQ(S_OK, pro->IsApplicable(project.Unknown(), &applicable));
        EXPECT_EQ(c.pro, applicable) << c.type;
        EXPECT_EQ(0, project.refs) << "every reference taken is given back";
    }
    FakeProject project(1);
    EXPECT_EQ(E_INVALIDARG, catalog->IsApplicable(project.Unknown(), nullptr));
    VARIANT_BOOL applicable = 0;
    EXPECT_EQ(E_INVALIDARG, catalog->IsApplicable(nullptr, &applicable));
    // An object that is no project: the failed question is the method's error.
    ComPtr<IUnknown> notProject;
    ASSERT_EQ(S_OK, catalog.As(IID_IUnknown, notProject));
    EXPECT_EQ(E_NOINTERFACE, catalog->IsApplicable(notProject.Get(), &applicable));
    EXPECT_EQ(_stringx(L"CvMMUpdater.MMCatalog.1"), cvtest::TakeErrorInfo().source);
}

TEST_F(Catalog, ManagerHandsOutOneCatalogOfEachKind) {
    cvtest::TestEnvironment env(L"catalog-manager");
    ComPtr<IMMCatalogManager> manager;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MMCatalogManager, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalogManager,
                                     manager.PutVoid()));
    ComPtr<IDispatch> pro, pro10, catalog, catalog3;
    ASSERT_EQ(S_OK, manager->GetCatalog(9, pro.Put()));
    ASSERT_EQ(S_OK, manager->GetCatalog(10, pro10.Put()));
    ASSERT_EQ(S_OK, manager->GetCatalog(1, catalog.Put()));
    ASSERT_EQ(S_OK, manager->GetCatalog(3, catalog3.Put()));
    EXPECT_EQ(pro.Get(), pro10.Get());
    EXPECT_EQ(catalog.Get(), catalog3.Get());
    EXPECT_NE(pro.Get(), catalog.Get());
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, pro.As(IID_ISupportErrorInfo, support));
    FakeProject nine(9);
    ComPtr<IMMCatalog> proCatalog;
    ASSERT_EQ(S_OK, pro.As(IID_IMMCatalog, proCatalog));
    VARIANT_BOOL applicable = 0;
    EXPECT_EQ(S_OK, proCatalog->IsApplicable(nine.Unknown(), &applicable));
    EXPECT_EQ(VARIANT_TRUE, applicable) << "types 9 and 10 get the other class";
}

}  // namespace
