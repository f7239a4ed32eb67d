// The DLL's exports, class objects, creation, interface tables and automation, through the real DLL.
#include <windows.h>
#include <gtest/gtest.h>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "tests/server/ServerDll.h"
#include "tests/support/TestSupport.h"

namespace {

class Frame : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_TRUE(dll_.Loaded());
        ASSERT_EQ(S_OK, dll_.CanUnloadNow());
    }
    void TearDown() override {
        EXPECT_EQ(S_OK, dll_.CanUnloadNow()) << "an object, class object or lock is still outstanding";
        ComTest::TearDown();
    }
    ServerDll dll_{JoinPath(cvtest::OutDir(), L"CvMMUpdater2.dll")};
};

// An outer object for aggregation: counts its references and forwards other interfaces to the inner one.
class Outer : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (iid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(iid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

TEST_F(Frame, ClassObjectsAreCachedAndCountedAsLocks) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_POINTER, dll_.GetClassObject(CLSID_MergeModule2, IID_IClassFactory, nullptr));
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, dll_.GetClassObject(IID_IDispatch, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);

    const CLSID* classes[] = {&CLSID_MMCatalog, &CLSID_MMCatalogPro, &CLSID_MergeModule2, &CLSID_MMCatalogManager};
    for (const CLSID* clsid : classes) {
        IClassFactory* first = nullptr;
        IClassFactory* second = nullptr;
        ASSERT_EQ(S_OK, dll_.GetClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&first)));
        EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
        ASSERT_EQ(S_OK, dll_.GetClassObject(*clsid, IID_IUnknown, reinterpret_cast<void**>(&second)));
        EXPECT_EQ(static_cast<IUnknown*>(first), static_cast<IUnknown*>(second)) << "the same cached class object";
        EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_IDispatch, &out));
        second->Release();
        EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
        first->Release();
        EXPECT_EQ(S_OK, dll_.CanUnloadNow()) << "the map's own reference keeps nothing loaded";
    }
}

TEST_F(Frame, LockServerAndLiveObjectsKeepTheDllLoaded) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, dll_.GetClassObject(CLSID_MergeModule2, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    IUnknown* module = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&module)));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory->Release();
    EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
    module->Release();
    EXPECT_EQ(S_FALSE, dll_.CanUnloadNow()) << "the server lock is still held";
    // LockServer(FALSE) through a fresh reference to the cached class object
    ASSERT_EQ(S_OK, dll_.GetClassObject(CLSID_MergeModule2, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory->Release();
}

TEST_F(Frame, AggregationOnlyThroughIUnknown) {
    Outer outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, dll_.Create(CLSID_MergeModule2, IID_IDispatch, &out, &outer));
    EXPECT_EQ(nullptr, out);

    ASSERT_EQ(S_OK, dll_.Create(CLSID_MergeModule2, IID_IUnknown, reinterpret_cast<void**>(&outer.inner), &outer));
    IMergeModule2* module = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_IMergeModule2, reinterpret_cast<void**>(&module)));
    EXPECT_EQ(2u, outer.refs) << "the inner object counts on the outer one";
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, module->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity) << "the inner object's interfaces delegate to the outer";
    identity->Release();
    module->Release();
    EXPECT_EQ(1u, outer.refs);
    EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
    outer.inner->Release();
}

TEST_F(Frame, ModuleAnswersItsInterfaceTable) {
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK, dll_.Create(CLSID_MergeModule2, IID_IUnknown, reinterpret_cast<void**>(&object)));
    const IID* same[] = {&IID_IMergeModule2, &IID_IMergeModule, &IID_IMergeModule2a, &IID_IMergeModule2b,
                         &IID_IMergeModule2c, &IID_IDispatch};
    void* first = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IMergeModule2, &first));
    for (const IID* iid : same) {
        void* face = nullptr;
        ASSERT_EQ(S_OK, object->QueryInterface(*iid, &face));
        EXPECT_EQ(first, face);
        static_cast<IUnknown*>(face)->Release();
    }
    static_cast<IUnknown*>(first)->Release();

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IMMCatalog, &out));
    EXPECT_EQ(nullptr, out);

    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IMergeModule2));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IMergeModule));
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, support->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(object, identity) << "IUnknown is the identity from every face";
    identity->Release();
    support->Release();
    object->Release();
}

TEST_F(Frame, ManagerAnswersErrorInfoForItsInterfaceAndRefusesANullOut) {
    IMMCatalogManager* manager = nullptr;
    ASSERT_EQ(S_OK, dll_.Create(CLSID_MMCatalogManager, IID_IMMCatalogManager, reinterpret_cast<void**>(&manager)));
    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(S_OK, manager->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IMMCatalogManager));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
    support->Release();
    EXPECT_EQ(E_INVALIDARG, manager->GetCatalog(1, nullptr));
    manager->Release();
}

// A copy of the server in a folder without the environment's components, used by a program beside
// it (so that no search of the system finds the components either): the catalogs cannot connect to
// the application services, their creation fails, and the manager reports it.
TEST_F(Frame, CatalogCreationFailsWithoutTheEnvironment) {
    _stringx bare = cvtest::FreshScratchDir(L"bare-server");
    for (const wchar_t* file : {L"CvMMUpdater2.dll", L"bare_client.exe"})
        ASSERT_TRUE(cvtest::CopyInto(JoinPath(cvtest::OutDir(), file), bare));
    // The repository library is linked by import, so it must be loadable: from a folder of its own on
    // the search path, not from the server's folder.
    _stringx imports = cvtest::FreshScratchDir(L"bare-server-imports");
    ASSERT_TRUE(cvtest::CopyInto(JoinPath(cvtest::OutDir(), L"RepoCommon.dll"), imports));
    wchar_t path[32768] = {};
    GetEnvironmentVariableW(L"PATH", path, 32768);
    SetEnvironmentVariableW(L"PATH", (imports + L";" + path).c_str());
    std::string output;
    EXPECT_EQ(0u, cvtest::RunProcess(_stringx(L"\"") + JoinPath(bare, L"bare_client.exe") + L"\"", &output, 120000,
                                    bare.c_str()));
    SetEnvironmentVariableW(L"PATH", path);
    EXPECT_NE(std::string::npos, output.find("loaded=1")) << output;
    EXPECT_NE(std::string::npos, output.find("MMCatalog=0x8007000e null")) << output;
    EXPECT_NE(std::string::npos, output.find("MMCatalogPro=0x8007000e null")) << output;
    EXPECT_NE(std::string::npos, output.find("GetCatalog(1)=0x8007000e null source=CvMMUpdater.MMCatalogManager.1 "
                                             "described=1"))
        << output;
    EXPECT_NE(std::string::npos, output.find("GetCatalog(9)=0x8007000e")) << "a failed creation is not cached";
    EXPECT_NE(std::string::npos, output.find("DllCanUnloadNow=0x00000000")) << output;
}

}  // namespace
