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
        raised = {true, e.Error().Error(), e.Error().Description()};
    }
    return raised;
}

class InstallerAccess : public cvtest::ComTest {};

TEST_F(InstallerAccess, DescriptionNamesTheFailureTheCallAndItsArguments) {
    EXPECT_FALSE(Catch([] { CheckInstallerResult(0, L"MsiViewFetch", L"a", L"b"); }).thrown);
    struct Case {
        LONG code;
        const wchar_t *function, *argument1, *argument2;
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

    // The installer's own error record gets the standard template when it has none.
    InstallerHandle record(MsiCreateRecord(5));
    MsiRecordSetInteger(record.get(), 1, 2259);
    MsiRecordSetStringW(record.get(), 2, L"Table");
    MsiRecordSetStringW(record.get(), 3, L"Column");
    EXPECT_EQ(_stringx(L"Windows Installer Error 2259: Table, Column\n"), FormatInstallerErrorRecord(record.get()));

    MsiRecordSetStringW(record.get(), 0, L"Own template [2]");
    EXPECT_EQ(_stringx(L"Own template Table"), FormatInstallerErrorRecord(record.get()));
}

// A COM caller sees the failure through GetErrorInfo once the method's boundary has returned; the
// fixture's teardown finds every handle closed although the exception left their scopes.
TEST_F(InstallerAccess, FailureReachesTheComCallerAndClosesEveryHandle) {
    HRESULT hr = ErrorBoundary(GUID_NULL, [] {
        TableCursor cursor;
        cursor.OpenTable(FixturePath(L"full.msm"), L"File");
        EXPECT_TRUE(cursor.Fetch());
        InstallerHandle database, view;
        EXPECT_EQ(0u, MsiOpenDatabaseW(FixturePath(L"full.msm").c_str(), MSIDBOPEN_READONLY, database.put()));
        OpenDatabaseView(database.get(), L"SELECT `Nothing` FROM `NoSuchTable`", view);
        return S_OK;
    });
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_QUERY_SYNTAX), hr);
    cvtest::ErrorInfoText error = cvtest::TakeErrorInfo();
    EXPECT_EQ(SystemText(hr) + L"MsiOpenDatabaseView()", error.description);
    EXPECT_EQ(GUID_NULL, error.guid);
}

TEST_F(InstallerAccess, WrappersRaiseUnderTheirOwnNamesButEndOfRowsOnlyOnRequest) {
    const std::pair<const wchar_t*, std::function<void()>> cases[] = {
        {L"MsiViewExecute", [] { ExecuteView(0, 0); }},
        {L"MsiViewFetch", [] { InstallerHandle record; FetchRecord(0, record, false); }},
        {L"MsiRecordSetString", [] { SetRecordString(0, 1, L"text"); }},
        {L"MsiRecordGetString", [] { GetRecordString(0, 1); }},
    };
    for (const auto& [name, call] : cases) {
        Raised raised = Catch(call);
        EXPECT_EQ(E_HANDLE, raised.hr) << _stringx(name).AsNarrow();
        EXPECT_EQ(SystemText(E_HANDLE) + name + L"()", raised.description);
    }

    InstallerHandle database, view, record;
    ASSERT_EQ(0u, MsiOpenDatabaseW(FixturePath(L"signature-only.msm").c_str(), MSIDBOPEN_READONLY, database.put()));
    EXPECT_EQ(0u, OpenDatabaseView(database.get(), L"SELECT * FROM `ModuleSignature`", view));
    EXPECT_EQ(0u, ExecuteView(view.get(), 0));
    EXPECT_EQ(0u, FetchRecord(view.get(), record, false));
    EXPECT_EQ(static_cast<UINT>(ERROR_NO_MORE_ITEMS), FetchRecord(view.get(), record, false));
    EXPECT_FALSE(record);
    MsiViewClose(view.get());
    EXPECT_EQ(0u, ExecuteView(view.get(), 0));
    EXPECT_EQ(0u, FetchRecord(view.get(), record, true)) << "a row is never an error";
    Raised raised = Catch([&] { FetchRecord(view.get(), record, true); });
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS), raised.hr);
    EXPECT_EQ(SystemText(raised.hr) + L"MsiViewFetch()", raised.description);
}

// A value of 2048 characters or more needs a second read.
TEST_F(InstallerAccess, LongValuesAreReadWhole) {
    for (int length : {2047, 2048}) {
        TableCursor cursor;
        cursor.OpenQuery(FixturePath(L"full.msm"),
                         _stringx::Formatted(L"SELECT `Value` FROM `Property` WHERE `Property` = 'Edge%d'", length));
        ASSERT_TRUE(cursor.Fetch()) << length;
        EXPECT_EQ(_stringx(std::wstring(length, L'f')), cursor.GetString(1));
    }
}

TEST_F(InstallerAccess, CursorReadsRowsThenStopsWithNoCurrentRow) {
    TableCursor cursor;
    cursor.OpenTable(FixturePath(L"full.msm"), L"ModuleSignature");
    ASSERT_TRUE(cursor.Fetch());
    EXPECT_EQ(1033, cursor.GetInteger(2));
    EXPECT_EQ(_stringx(L"1.2.3.4"), cursor.GetString(3));
    EXPECT_FALSE(cursor.Fetch());
    EXPECT_EQ(_stringx(), cursor.GetString(1));
    EXPECT_EQ(0, cursor.GetInteger(2));
    EXPECT_FALSE(cursor.Fetch()) << "fetching past the end stays at the end";
}

TEST_F(InstallerAccess, CursorThatCannotOpenHasNoRowsAndReportsNothing) {
    const std::pair<_stringx, const wchar_t*> cases[] = {
        {FixturePath(L"signature-only.msm"), L"File"},
        {FixturePath(L"corrupt.msm"), L"ModuleSignature"},
        {L"", L"ModuleSignature"},
    };
    for (const auto& [path, table] : cases) {
        SCOPED_TRACE((path + L" " + table).AsNarrow());
        EXPECT_FALSE(Catch([&] {
                         TableCursor cursor;
                         cursor.OpenTable(path, table);
                         EXPECT_FALSE(cursor.Fetch());
                     }).thrown);
        EXPECT_FALSE(cvtest::TakeErrorInfo().present);
    }
}

}  // namespace
