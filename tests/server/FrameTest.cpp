// The DLL's exports, class objects, creation and interface tables, through the real DLL.
#include <windows.h>
#include <gtest/gtest.h>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "base/Handles.h"
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
    ServerDll dll_{JoinPath(cvtest::OutDir(), L"CvMMUpdater2.dll")};
};

// An outer object for aggregation: counts its references and forwards other interfaces to the inner one.
struct Outer : IUnknown {
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (iid != IID_IUnknown) return inner ? inner->QueryInterface(iid, ppv) : E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
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
    for (const CLSID* clsid : {&CLSID_MMCatalog, &CLSID_MMCatalogPro, &CLSID_MergeModule2, &CLSID_MMCatalogManager}) {
        ComPtr<IClassFactory> first;
        ComPtr<IUnknown> second;
        ASSERT_EQ(S_OK, dll_.GetClassObject(*clsid, IID_IClassFactory, first.PutVoid()));
        ASSERT_EQ(S_OK, dll_.GetClassObject(*clsid, IID_IUnknown, second.PutVoid()));
        EXPECT_EQ(static_cast<IUnknown*>(first.Get()), second.Get()) << "the same cached class object";
        EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_IDispatch, &out));
        second = nullptr;
        EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
    }  // the map's own reference keeps nothing loaded: checked by ComTest::TearDown
}

TEST_F(Frame, LockServerAndLiveObjectsKeepTheDllLoaded) {
    ComPtr<IClassFactory> factory;
    ComPtr<IUnknown> module;
    ASSERT_EQ(S_OK, dll_.GetClassObject(CLSID_MergeModule2, IID_IClassFactory, factory.PutVoid()));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, module.PutVoid()));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory = nullptr;
    module = nullptr;
    EXPECT_EQ(S_FALSE, dll_.CanUnloadNow()) << "the server lock is still held";
    ASSERT_EQ(S_OK, dll_.GetClassObject(CLSID_MergeModule2, IID_IClassFactory, factory.PutVoid()));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
}

TEST_F(Frame, AggregationOnlyThroughIUnknown) {
    Outer outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, dll_.Create(CLSID_MergeModule2, IID_IDispatch, &out, &outer));
    EXPECT_EQ(nullptr, out);
    ASSERT_EQ(S_OK, dll_.Create(CLSID_MergeModule2, IID_IUnknown, reinterpret_cast<void**>(&outer.inner), &outer));
    {
        ComPtr<IMergeModule2> module;
        ComPtr<IUnknown> identity;
        ASSERT_EQ(S_OK, outer.QueryInterface(IID_IMergeModule2, module.PutVoid()));
        ASSERT_EQ(S_OK, module->QueryInterface(IID_IUnknown, identity.PutVoid()));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.Get()) << "the inner object's interfaces delegate";
        EXPECT_EQ(3u, outer.refs) << "the inner object counts on the outer one";
    }
    EXPECT_EQ(1u, outer.refs);
    outer.inner->Release();
}

TEST_F(Frame, ObjectsRefuseForeignInterfacesAndKeepOneIdentity) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, dll_.Create(CLSID_MergeModule2, IID_IUnknown, object.PutVoid()));
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IMMCatalog, &out));
    EXPECT_EQ(nullptr, out);
    ComPtr<ISupportErrorInfo> support;
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IMergeModule2));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IMergeModule));
    ASSERT_EQ(S_OK, support->QueryInterface(IID_IUnknown, identity.PutVoid()));
    EXPECT_EQ(object.Get(), identity.Get()) << "IUnknown is the identity from every face";

    ComPtr<IMMCatalogManager> manager;
    ASSERT_EQ(S_OK, dll_.Create(CLSID_MMCatalogManager, IID_IMMCatalogManager, manager.PutVoid()));
    ASSERT_EQ(S_OK, manager->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IMMCatalogManager));
    EXPECT_EQ(E_INVALIDARG, manager->GetCatalog(1, nullptr));
}

}  // namespace
