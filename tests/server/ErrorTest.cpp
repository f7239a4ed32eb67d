// The error exception, the boundary and what a caller sees: HRESULT and error information.
#include <windows.h>
#include <gtest/gtest.h>
#include "CvMMUpdater2.h"
#include "server/ComException.h"
#include "server/ComObject.h"
#include "base/Handles.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::SystemText;
using cvtest::TakeErrorInfo;

// Publishes error information as a failing inner call would.
void SetInnerErrorInfo(REFGUID guid, const wchar_t* source, const wchar_t* description) {
    ComPtr<ICreateErrorInfo> create;
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, CreateErrorInfo(create.Put()));
    create->SetGUID(guid);
    create->SetSource(const_cast<wchar_t*>(source));
    create->SetDescription(const_cast<wchar_t*>(description));
    ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, info.PutVoid()));
    SetErrorInfo(0, info.Get());
}

class Errors : public cvtest::ComTest {};

TEST_F(Errors, ExceptionTextComesFromTheThreadOrTheSystem) {
    SetErrorInfo(0, nullptr);
    com_exception plain(E_ACCESSDENIED);
    EXPECT_EQ(SystemText(E_ACCESSDENIED), plain.Description());
    EXPECT_TRUE(plain.Source().empty());
    EXPECT_EQ(GUID_NULL, plain.SourceClsid());
    wchar_t buffer[5];
    EXPECT_TRUE(CComException(plain).GetErrorMessage(buffer, 5));
    EXPECT_EQ(SystemText(E_ACCESSDENIED).substr(0, 4), _stringx(buffer)) << "truncated to the buffer";
    EXPECT_EQ(_stringx(L"Unknown error"), com_exception(MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x201)).Description());

    SetInnerErrorInfo(IID_IDispatch, L"CvMMUpdater.MergeModule2.1", L"inner failure");
    com_exception inner(E_FAIL);
    EXPECT_EQ(_stringx(L"inner failure"), inner.Description());
    EXPECT_EQ(IID_IDispatch, inner.InterfaceGuid());
    EXPECT_EQ(CLSID_MergeModule2, inner.SourceClsid()) << "source ProgID resolved through the registry";
    EXPECT_FALSE(TakeErrorInfo().present) << "taking the error information clears it";
}

TEST_F(Errors, BoundaryReportsUnderTheClassProgId) {
    EXPECT_EQ(E_ACCESSDENIED, ErrorBoundary(CLSID_MMCatalog, [] { return CheckResult(E_ACCESSDENIED), S_OK; }));
    cvtest::ErrorInfoText info = TakeErrorInfo();
    EXPECT_EQ(SystemText(E_ACCESSDENIED), info.description);
    EXPECT_EQ(_stringx(L"CvMMUpdater.MMCatalog.1"), info.source);

    EXPECT_EQ(E_INVALIDARG, ErrorBoundary(CLSID_MMCatalogManager, [] {
                  SetInnerErrorInfo(IID_IClassFactory, L"Somebody.Else.1", L"the inner call failed");
                  return CheckResult(E_INVALIDARG), S_OK;
              }));
    info = TakeErrorInfo();
    EXPECT_EQ(_stringx(L"the inner call failed"), info.description);
    EXPECT_EQ(IID_IClassFactory, info.guid);
    EXPECT_EQ(_stringx(L"CvMMUpdater.MMCatalogManager.1"), info.source);

    ReportComException(com_exception(E_ACCESSDENIED), CLSID_MergeModule2, L"while reading");
    EXPECT_EQ(SystemText(E_ACCESSDENIED) + L"\n     > while reading", TakeErrorInfo().description);
}

TEST_F(Errors, BoundaryMapsEveryExceptionToAFailure) {
    EXPECT_EQ(E_OUTOFMEMORY, ErrorBoundary(CLSID_MergeModule2, []() -> HRESULT { throw std::bad_alloc(); }));
    EXPECT_EQ(E_UNEXPECTED, ErrorBoundary(CLSID_MergeModule2, []() -> HRESULT { throw 42; }));
    EXPECT_EQ(DISP_E_EXCEPTION, ErrorBoundary(CLSID_MergeModule2, []() -> HRESULT {
                  RaiseComException(com_exception(S_OK));
              })) << "a raised S_OK still reaches the caller as a failure";
    EXPECT_EQ(S_FALSE, ErrorBoundary(CLSID_MergeModule2, [] { return S_FALSE; }));
}

// ---- the standard object creator

int g_destroyed = 0;

struct Finishing : ComObjectRoot, IUnknown {
    explicit Finishing(HRESULT result) : result(result) {}
    ~Finishing() override { ++g_destroyed; }
    void* InternalQueryInterface(REFIID iid) { return iid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr; }
    HRESULT FinalConstruct() { return result; }
    HRESULT result;
};

struct Throwing : ComObjectRoot, IUnknown {
    Throwing() { CheckResult(REGDB_E_CLASSNOTREG); }
    void* InternalQueryInterface(REFIID) { return nullptr; }
};

TEST(Creator, FailedSecondStepOrConstructorDestroysTheObjectAndReleasesTheLock) {
    LONG locks = TheServer().LockCount();
    void* out = reinterpret_cast<void*>(1);
    for (HRESULT hr : {S_FALSE, E_ACCESSDENIED}) {
        g_destroyed = 0;
        EXPECT_EQ(hr, CreateComInstance<Finishing>(nullptr, IID_IUnknown, &out, hr));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(1, g_destroyed);
    }
    EXPECT_EQ(E_NOINTERFACE, CreateComInstance<Finishing>(nullptr, IID_IDispatch, &out, S_OK));
    EXPECT_EQ(2, g_destroyed);
    EXPECT_EQ(E_OUTOFMEMORY, CreateComInstance<Throwing>(nullptr, IID_IUnknown, &out));
    EXPECT_EQ(E_POINTER, CreateComInstance<Finishing>(nullptr, IID_IUnknown, nullptr, S_OK));
    EXPECT_EQ(locks, TheServer().LockCount());
    ASSERT_EQ(S_OK, CreateComInstance<Finishing>(nullptr, IID_IUnknown, &out, S_OK));
    EXPECT_EQ(locks + 1, TheServer().LockCount()) << "a live object holds a lock";
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(locks, TheServer().LockCount());
}

}  // namespace
