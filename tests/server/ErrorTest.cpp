// The error exception, the boundary and what a caller sees: HRESULT, error information, debugger output.
#include <windows.h>
#include <gtest/gtest.h>
#include "CvMMUpdater2.h"
#include "server/ComException.h"
#include "server/ComObject.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::ComTest;

// Publishes error information as a failing inner call would.
void SetInnerErrorInfo(REFGUID guid, const wchar_t* source, const wchar_t* description) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(S_OK, CreateErrorInfo(&create));
    create->SetGUID(guid);
    create->SetSource(const_cast<wchar_t*>(source));
    create->SetDescription(const_cast<wchar_t*>(description));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}

class Errors : public ComTest {};

TEST_F(Errors, ExceptionWithoutErrorInfoTakesTheSystemText) {
    SetErrorInfo(0, nullptr);
    com_exception e(E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, e.Error());
    EXPECT_EQ(cvtest::SystemText(E_ACCESSDENIED), e.Description());
    EXPECT_TRUE(e.Source().empty());
    EXPECT_EQ(GUID_NULL, e.InterfaceGuid());
    EXPECT_EQ(GUID_NULL, e.SourceClsid());

    // A code the system has no text for still gets a readable description.
    com_exception unknown(MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x201));
    EXPECT_EQ(_stringx(L"Unknown error"), unknown.Description());
}

TEST_F(Errors, ExceptionTakesAndClearsTheThreadsErrorInfo) {
    SetInnerErrorInfo(IID_IDispatch, L"CvMMUpdater.MergeModule2.1", L"inner failure");
    com_exception e(E_FAIL);
    EXPECT_EQ(_stringx(L"inner failure"), e.Description());
    EXPECT_EQ(IID_IDispatch, e.InterfaceGuid());
    EXPECT_EQ(_stringx(L"CvMMUpdater.MergeModule2.1"), e.Source());
    EXPECT_EQ(CLSID_MergeModule2, e.SourceClsid()) << "source ProgID resolved through the registry";
    EXPECT_FALSE(cvtest::TakeErrorInfo().present) << "taking the error information clears it";
}

TEST_F(Errors, BoundaryReportsWithTheClassProgId) {
    HRESULT hr = ErrorBoundary(CLSID_MMCatalog, [] {
        CheckResult(E_ACCESSDENIED);
        return S_OK;
    });
    EXPECT_EQ(E_ACCESSDENIED, hr);
    cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
    ASSERT_TRUE(info.present);
    EXPECT_EQ(cvtest::SystemText(E_ACCESSDENIED), info.description);
    EXPECT_EQ(_stringx(L"CvMMUpdater.MMCatalog.1"), info.source);
}

TEST_F(Errors, InnerErrorInfoReachesTheCallerUnderTheClassSource) {
    HRESULT hr = ErrorBoundary(CLSID_MMCatalogManager, [] {
        SetInnerErrorInfo(IID_IClassFactory, L"Somebody.Else.1", L"the inner call failed");
        CheckResult(E_INVALIDARG);
        return S_OK;
    });
    EXPECT_EQ(E_INVALIDARG, hr);
    cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
    EXPECT_EQ(_stringx(L"the inner call failed"), info.description);
    EXPECT_EQ(IID_IClassFactory, info.guid);
    EXPECT_EQ(_stringx(L"CvMMUpdater.MMCatalogManager.1"), info.source);
}

TEST_F(Errors, BoundaryMapsEveryExceptionToAFailure) {
    EXPECT_EQ(E_OUTOFMEMORY, ErrorBoundary(CLSID_MergeModule2, []() -> HRESULT { throw std::bad_alloc(); }));
    EXPECT_EQ(E_UNEXPECTED, ErrorBoundary(CLSID_MergeModule2, []() -> HRESULT { throw 42; }));
    // A raised S_OK still reaches the caller as a failure.
    EXPECT_EQ(DISP_E_EXCEPTION, ErrorBoundary(CLSID_MergeModule2, []() -> HRESULT {
                  RaiseComException(com_exception(S_OK));
              }));
    EXPECT_EQ(S_FALSE, ErrorBoundary(CLSID_MergeModule2, [] { return S_FALSE; }));
}

TEST_F(Errors, ContextIsAppendedToTheMessage) {
    SetErrorInfo(0, nullptr);
    ReportComException(com_exception(E_ACCESSDENIED), CLSID_MergeModule2, L"while reading");
    cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
    EXPECT_EQ(cvtest::SystemText(E_ACCESSDENIED) + L"\n     > while reading", info.description);
}

TEST(ErrorMessage, IsTruncatedToTheBuffer) {
    SetErrorInfo(0, nullptr);
    CComException e{com_exception(E_ACCESSDENIED)};
    wchar_t buffer[5];
    EXPECT_TRUE(e.GetErrorMessage(buffer, 5));
    EXPECT_EQ(cvtest::SystemText(E_ACCESSDENIED).substr(0, 4), _stringx(buffer));
}

// ---- the standard object creator

int g_destroyed = 0;

class Finishing : public ComObjectRoot, public IUnknown {
public:
    explicit Finishing(HRESULT result) : result_(result) {}
    ~Finishing() override { ++g_destroyed; }
    void* InternalQueryInterface(REFIID iid) { return iid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr; }
    HRESULT FinalConstruct() { return result_; }

private:
    HRESULT result_;
};

class Throwing : public ComObjectRoot, public IUnknown {
public:
    Throwing() { CheckResult(REGDB_E_CLASSNOTREG); }
    void* InternalQueryInterface(REFIID) { return nullptr; }
};

TEST(Creator, FailedSecondStepOrConstructorDestroysTheObjectAndReleasesTheLock) {
    LONG locks = TheServer().LockCount();
    g_destroyed = 0;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(S_FALSE, CreateComInstance<Finishing>(nullptr, IID_IUnknown, &out, S_FALSE));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ(E_ACCESSDENIED, CreateComInstance<Finishing>(nullptr, IID_IUnknown, &out, E_ACCESSDENIED));
    EXPECT_EQ(2, g_destroyed);
    EXPECT_EQ(E_NOINTERFACE, CreateComInstance<Finishing>(nullptr, IID_IDispatch, &out, S_OK));
    EXPECT_EQ(3, g_destroyed);
    EXPECT_EQ(E_OUTOFMEMORY, CreateComInstance<Throwing>(nullptr, IID_IUnknown, &out));
    EXPECT_EQ(locks, TheServer().LockCount());

    ASSERT_EQ(S_OK, CreateComInstance<Finishing>(nullptr, IID_IUnknown, &out, S_OK));
    EXPECT_EQ(locks + 1, TheServer().LockCount()) << "a live object holds a lock";
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(locks, TheServer().LockCount());
    EXPECT_EQ(E_POINTER, CreateComInstance<Finishing>(nullptr, IID_IUnknown, nullptr, S_OK));
}

}  // namespace
