#include <windows.h>
#include <gtest/gtest.h>
#include <functional>
#include "msi/InstallerAccess.h"
#include "server/ComException.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

using cvtest::FixturePath;
using cvtest::SystemText;

struct Raised {
    bool thrown = false;
    HRESULT hr = S_OK;
    _stringx description;
};

Raised Catch(const std::function<void()>& body) {
    Raised raised;
    try {
        body();
    } catch (const CComException& e) {
        raised.thrown = true;
        raised.hr = e.Error().Error();
        raised.description = e.Error().Description();
    }
    return raised;
}

class InstallerAccess : public cvtest::ComTest {};

TEST_F(InstallerAccess, SuccessRaisesNothingAndLeavesNoErrorInformation) {
    Raised raised = Catch([] { CheckInstallerResult(0, L"MsiViewFetch", L"a", L"b"); });
    EXPECT_FALSE(raised.thrown);
    EXPECT_FALSE(cvtest::TakeErrorInfo().present);
}

TEST_F(InstallerAccess, DescriptionNamesTheCallAndItsArguments) {
    struct Case {
        LONG code;
        const wchar_t* function;
        const wchar_t* argument1;
        const wchar_t* argument2;
        HRESULT hr;
        const wchar_t* call;
    } cases[] = {
        {ERROR_INSTALL_FAILURE, L"MsiOpenDatabase", L"C:\\m.msm", L"x", HRESULT_FROM_WIN32(ERROR_INSTALL_FAILURE),
         L"MsiOpenDatabase(C:\\m.msm, x)"},
        {ERROR_INSTALL_FAILURE, L"MsiOpenDatabase", L"C:\\m.msm", L"", HRESULT_FROM_WIN32(ERROR_INSTALL_FAILURE),
         L"MsiOpenDatabase(C:\\m.msm)"},
        {ERROR_BAD_QUERY_SYNTAX, L"MsiOpenDatabaseView", L"", L"shown only with a first",
         HRESULT_FROM_WIN32(ERROR_BAD_QUERY_SYNTAX), L"MsiOpenDatabaseView()"},
        // Codes above 16 bits keep their low word; this one has no system text, so the
        // description starts with the call. Negative codes are HRESULTs already.
        {0x3FFF0, L"MsiViewFetch", nullptr, nullptr, static_cast<HRESULT>(0x8007FFF0), L"MsiViewFetch()"},
        {E_ACCESSDENIED, L"MsiViewExecute", L"", L"", E_ACCESSDENIED, L"MsiViewExecute()"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(_stringx(c.call).AsNarrow());
        Raised raised = Catch([&] { CheckInstallerResult(c.code, c.function, c.argument1, c.argument2); });
        ASSERT_TRUE(raised.thrown);
        EXPECT_EQ(c.hr, raised.hr);
        EXPECT_EQ(SystemText(c.hr) + c.call, raised.description);
        EXPECT_FALSE(cvtest::TakeErrorInfo().present) << "the exception took the error information over";
    }
    EXPECT_TRUE(SystemText(static_cast<HRESULT>(0x8007FFF0)).empty());
}

// A COM caller sees the failure through GetErrorInfo once the method's boundary has returned.
TEST_F(InstallerAccess, FailureReachesTheComCallerThroughErrorInfo) {
    HRESULT hr = ErrorBoundary(GUID_NULL, [] {
        InstallerHandle database;
        EXPECT_EQ(0u, MsiOpenDatabaseW(FixturePath(L"full.msm").c_str(), MSIDBOPEN_READONLY, database.put()));
        InstallerHandle view;
        OpenDatabaseView(database.get(), L"SELECT `Nothing` FROM `NoSuchTable`", view);
        return S_OK;
    });
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_QUERY_SYNTAX), hr);
    cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
    ASSERT_TRUE(info.present);
    EXPECT_EQ(SystemText(hr) + L"MsiOpenDatabaseView()", info.description);
}

TEST_F(InstallerAccess, EndOfRowsIsQuietUnlessAskedToBeAnError) {
    InstallerHandle database;
    ASSERT_EQ(0u, MsiOpenDatabaseW(FixturePath(L"signature-only.msm").c_str(), MSIDBOPEN_READONLY, database.put()));
    InstallerHandle view, record;
    EXPECT_EQ(0u, OpenDatabaseView(database.get(), L"SELECT * FROM `ModuleSignature`", view));
    EXPECT_EQ(0u, ExecuteView(view.get(), 0));
    EXPECT_EQ(0u, FetchRecord(view.get(), record, false));
    EXPECT_TRUE(record);
    EXPECT_EQ(static_cast<UINT>(ERROR_NO_MORE_ITEMS), FetchRecord(view.get(), record, false));
    EXPECT_FALSE(record);

    MsiViewClose(view.get());
    EXPECT_EQ(0u, ExecuteView(view.get(), 0));
    EXPECT_EQ(0u, FetchRecord(view.get(), record, true)) << "a row is never an error";
    Raised raised = Catch([&] { FetchRecord(view.get(), record, true); });
    EXPECT_TRUE(raised.thrown);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS), raised.hr);
    EXPECT_EQ(SystemText(raised.hr) + L"MsiViewFetch()", raised.description);
}

TEST_F(InstallerAccess, WrappersRaiseUnderTheirOwnNames) {
    struct Case {
        const wchar_t* name;
        std::function<void()> call;
    } cases[] = {
        {L"MsiViewExecute", [] { ExecuteView(0, 0); }},
        {L"MsiViewFetch", [] { InstallerHandle record; FetchRecord(0, record, false); }},
        {L"MsiRecordSetString", [] { SetRecordString(0, 1, L"text"); }},
        {L"MsiRecordGetString", [] { GetRecordString(0, 1); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(_stringx(c.name).AsNarrow());
        Raised raised = Catch(c.call);
        ASSERT_TRUE(raised.thrown);
        EXPECT_EQ(E_HANDLE, raised.hr);
        EXPECT_EQ(SystemText(E_HANDLE) + c.name + L"()", raised.description);
    }
}

TEST_F(InstallerAccess, ErrorRecordGetsTheStandardTemplateWhenItHasNone) {
    InstallerHandle record(MsiCreateRecord(5));
    MsiRecordSetInteger(record.get(), 1, 2259);
    MsiRecordSetStringW(record.get(), 2, L"Table");
    MsiRecordSetStringW(record.get(), 3, L"Column");
    EXPECT_EQ(_stringx(L"Windows Installer Error 2259: Table, Column\n"), FormatInstallerErrorRecord(record.get()));

    MsiRecordSetStringW(record.get(), 0, L"Own template [2]");
    EXPECT_EQ(_stringx(L"Own template Table"), FormatInstallerErrorRecord(record.get()));
}

TEST_F(InstallerAccess, LongValuesAreReadWhole) {
    struct Case {
        const wchar_t* property;
        std::wstring value;
    } cases[] = {
        {L"Edge2047", std::wstring(2047, L'f')},
        {L"Edge2048", std::wstring(2048, L'f')},
        {L"LongValue", [] {
             std::wstring text;
             for (int i = 0; i < 250; ++i) text += L"0123456789";
             return text;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(_stringx(c.property).AsNarrow());
        TableCursor cursor;
        cursor.OpenQuery(FixturePath(L"full.msm"),
                         _stringx::Formatted(L"SELECT `Value` FROM `Property` WHERE `Property` = '%s'", c.property));
        ASSERT_TRUE(cursor.Fetch());
        EXPECT_EQ(_stringx(c.value), cursor.GetString(1));
    }
}

TEST_F(InstallerAccess, CursorReadsRowsThenStopsWithNoCurrentRow) {
    TableCursor cursor;
    cursor.OpenTable(FixturePath(L"full.msm"), L"ModuleSignature");
    ASSERT_TRUE(cursor.IsOpen());
    ASSERT_TRUE(cursor.Fetch());
    EXPECT_EQ(_stringx(L"FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9"), cursor.GetString(1));
    EXPECT_EQ(1033, cursor.GetInteger(2));
    EXPECT_EQ(_stringx(L"1033"), cursor.GetString(2));
    EXPECT_EQ(_stringx(L"1.2.3.4"), cursor.GetString(3));
    EXPECT_FALSE(cursor.Fetch());
    EXPECT_EQ(_stringx(), cursor.GetString(1));
    EXPECT_EQ(0, cursor.GetInteger(2));
    EXPECT_FALSE(cursor.Fetch()) << "fetching past the end stays at the end";
}

TEST_F(InstallerAccess, NullColumnsReadAsEmptyTextAndTheNullInteger) {
    TableCursor cursor;
    cursor.OpenTable(FixturePath(L"null-language.msm"), L"ModuleSignature");
    ASSERT_TRUE(cursor.Fetch());
    EXPECT_EQ(MSI_NULL_INTEGER, cursor.GetInteger(2));
    EXPECT_EQ(_stringx(), cursor.GetString(2));
}

TEST_F(InstallerAccess, CursorThatCannotOpenHasNoRowsAndReportsNothing) {
    struct Case {
        const wchar_t* what;
        _stringx path;
        const wchar_t* table;
    } cases[] = {
        {L"missing table", FixturePath(L"signature-only.msm"), L"File"},
        {L"empty table", FixturePath(L"empty-signature.msm"), L"ModuleSignature"},
        {L"garbage file", FixturePath(L"corrupt.msm"), L"ModuleSignature"},
        {L"missing file", FixturePath(L"no-such-module.msm"), L"ModuleSignature"},
        {L"empty path", L"", L"ModuleSignature"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(_stringx(c.what).AsNarrow());
        Raised raised = Catch([&] {
            TableCursor cursor;
            cursor.OpenTable(c.path, c.table);
            EXPECT_FALSE(cursor.Fetch());
            EXPECT_EQ(_stringx(), cursor.GetString(1));
        });
        EXPECT_FALSE(raised.thrown);
        EXPECT_FALSE(cvtest::TakeErrorInfo().present);
    }
}

// The fixture's teardown finds every handle closed although an exception left the scopes.
TEST_F(InstallerAccess, ExceptionsCloseEveryHandleOnTheWay) {
    Raised raised = Catch([] {
        TableCursor cursor;
        cursor.OpenTable(FixturePath(L"full.msm"), L"File");
        ASSERT_TRUE(cursor.Fetch());
        InstallerHandle database;
        ASSERT_EQ(0u, MsiOpenDatabaseW(FixturePath(L"full.msm").c_str(), MSIDBOPEN_READONLY, database.put()));
        InstallerHandle view, record;
        OpenDatabaseView(database.get(), L"SELECT * FROM `Dialog`", view);
        ExecuteView(view.get(), 0);
        while (FetchRecord(view.get(), record, true) == 0) {
        }
    });
    EXPECT_TRUE(raised.thrown);
}

}  // namespace
