// Read-only access to installer databases. Every handle is owned, so none leaks when an exception
// passes, and every failing installer call becomes COM error information plus a thrown
// CComException whose description names the call.
#pragma once
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include "base/stringx.h"
#include "base/Handles.h"

CV_HANDLE_TRAITS(installer_traits, MSIHANDLE, 0, MsiCloseHandle(h));
using InstallerHandle = unique_any<installer_traits>;

// Does nothing for 0. Otherwise publishes error information whose description is the failure text
// (the thread's installer error record, else the system's message) followed by the call, as
// "<text><function>(<argument1>, <argument2>)", and throws CComException with 0x8007xxxx
// (a negative code is taken as the HRESULT itself).
void CheckInstallerResult(LONG code, const wchar_t* functionName, const wchar_t* argument1 = L"",
                          const wchar_t* argument2 = L"");

// The text of an installer error record; a record without a template gets the standard one.
_stringx FormatInstallerErrorRecord(MSIHANDLE record);

// Call wrappers: each returns the installer's result, which is 0 unless stated otherwise, because
// every other result is raised through CheckInstallerResult.
UINT OpenDatabaseView(MSIHANDLE database, const wchar_t* query, InstallerHandle& view);
UINT ExecuteView(MSIHANDLE view, MSIHANDLE parameters);
// Returns ERROR_NO_MORE_ITEMS at the end of the rows, unless endIsError makes that a failure too.
UINT FetchRecord(MSIHANDLE view, InstallerHandle& record, bool endIsError);
UINT SetRecordString(MSIHANDLE record, UINT field, const wchar_t* text);
// The whole text of a field, however long.
_stringx GetRecordString(MSIHANDLE record, UINT field);

// Rows of one query on a database opened read-only for the purpose. A cursor that cannot be
// opened (no database, no such table) reports nothing and simply has no rows.
class TableCursor {
public:
    TableCursor() = default;
    ~TableCursor() { Close(); }
    TableCursor(const TableCursor&) = delete;
    TableCursor& operator=(const TableCursor&) = delete;

    void OpenQuery(const _stringx& databasePath, const _stringx& query);
    // The same on a database the caller holds open (and keeps open while the cursor lives).
    void OpenQuery(MSIHANDLE database, const _stringx& query);
    // Every column of a table, in the installer's row order.
    void OpenTable(const _stringx& databasePath, const _stringx& table);
    void OpenTable(MSIHANDLE database, const _stringx& table);
    // True from a successful open until the end of the rows.
    bool IsOpen() const { return static_cast<bool>(view_); }

    // Moves to the next row; false at the end (or when not open). A failing fetch throws.
    bool Fetch();
    // Columns of the current row (1-based); empty text and 0 when there is no current row.
    _stringx GetString(UINT field);
    int GetInteger(UINT field);
    void Close();

private:
    InstallerHandle record_;  // the row last fetched
    InstallerHandle view_;
};
