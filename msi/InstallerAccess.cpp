#include "msi/InstallerAccess.h"

#include <vector>
#include "server/ComException.h"

namespace {
const wchar_t kErrorTemplate[] = L"Windows Installer Error [1]: [2]{, [3]}{, [4]}{, [5]}\n";

bool IsEmpty(const wchar_t* text) { return !text || !*text; }

// Publishes the description as the thread's error information and throws. A step of the
// publishing that fails is thrown in place of the installer's failure.
[[noreturn]] void RaiseInstallerFailure(HRESULT hr, const _stringx& failureText, const wchar_t* functionName,
                                        const wchar_t* argument1, const wchar_t* argument2) {
    _stringx description;
    if (IsEmpty(argument1))
        description.Format(L"%s%s()", failureText.c_str(), functionName);
    else if (IsEmpty(argument2))
        description.Format(L"%s%s(%s)", failureText.c_str(), functionName, argument1);
    else
        description.Format(L"%s%s(%s, %s)", failureText.c_str(), functionName, argument1, argument2);

    CheckResult(PublishDescription(description));
    RaiseComException(com_exception(hr));
}

HRESULT InstallerHResult(LONG code) {
    return code > 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<ULONG>(code) & 0xFFFFu)) : code;
}
}  // namespace

_stringx FormatInstallerErrorRecord(MSIHANDLE record) {
    if (MsiRecordIsNull(record, 0)) SetRecordString(record, 0, kErrorTemplate);
    wchar_t text[1024] = L"";
    DWORD size = ARRAYSIZE(text);
    MsiFormatRecordW(0, record, text, &size);  // its result does not matter: at worst the text is cut short
    text[ARRAYSIZE(text) - 1] = L'\0';
    return text;
}

void CheckInstallerResult(LONG code, const wchar_t* functionName, const wchar_t* argument1, const wchar_t* argument2) {
    if (code == 0) return;
    HRESULT hr = InstallerHResult(code);
    _stringx failureText;
    {
        // msi.dll keeps at most one error record per thread; taking it hands it over to us.
        InstallerHandle record(MsiGetLastErrorRecord());
        failureText = record ? FormatInstallerErrorRecord(record.get()) : SystemMessage(hr);
    }
    RaiseInstallerFailure(hr, failureText, functionName, argument1, argument2);
}

UINT OpenDatabaseView(MSIHANDLE database, const wchar_t* query, InstallerHandle& view) {
    UINT result = MsiDatabaseOpenViewW(database, query, view.put());
    CheckInstallerResult(result, L"MsiOpenDatabaseView");
    return result;
}

UINT ExecuteView(MSIHANDLE view, MSIHANDLE parameters) {
    UINT result = MsiViewExecute(view, parameters);
    CheckInstallerResult(result, L"MsiViewExecute");
    return result;
}

UINT FetchRecord(MSIHANDLE view, InstallerHandle& record, bool endIsError) {
    UINT result = MsiViewFetch(view, record.put());
    if (result == ERROR_NO_MORE_ITEMS && !endIsError) return result;
    CheckInstallerResult(result, L"MsiViewFetch");
    return result;
}

UINT SetRecordString(MSIHANDLE record, UINT field, const wchar_t* text) {
    UINT result = MsiRecordSetStringW(record, field, text);
    CheckInstallerResult(result, L"MsiRecordSetString");
    return result;
}

_stringx GetRecordString(MSIHANDLE record, UINT field) {
    wchar_t text[0x800];
    DWORD size = ARRAYSIZE(text);
    UINT result = MsiRecordGetStringW(record, field, text, &size);
    if (result == ERROR_MORE_DATA) {
        // The size asked for is in characters; twice that leaves room whatever the installer counts.
        size = 2 * MsiRecordDataSize(record, field) + 1;
        std::vector<wchar_t> longText(size);
        result = MsiRecordGetStringW(record, field, longText.data(), &size);
        if (result == ERROR_SUCCESS) return _stringx(size, longText.data());
    }
    CheckInstallerResult(result, L"MsiRecordGetString");
    return _stringx(size, text);
}

void TableCursor::OpenQuery(const _stringx& databasePath, const _stringx& query) {
    // The view keeps the database alive, so its handle is closed on the way out.
    InstallerHandle database;
    if (MsiOpenDatabaseW(databasePath.c_str(), MSIDBOPEN_READONLY, database.put()) != ERROR_SUCCESS || !database)
        return;
    OpenQuery(database.get(), query);
}

void TableCursor::OpenQuery(MSIHANDLE database, const _stringx& query) {
    Close();
    if (MsiDatabaseOpenViewW(database, query.c_str(), view_.put()) != ERROR_SUCCESS ||
        MsiViewExecute(view_.get(), 0) != ERROR_SUCCESS)
        Close();
}

void TableCursor::OpenTable(const _stringx& databasePath, const _stringx& table) {
    OpenQuery(databasePath, _stringx::Formatted(L"SELECT * FROM `%s`", table.c_str()));
}

void TableCursor::OpenTable(MSIHANDLE database, const _stringx& table) {
    OpenQuery(database, _stringx::Formatted(L"SELECT * FROM `%s`", table.c_str()));
}

bool TableCursor::Fetch() {
    if (!view_) return false;
    record_.reset();
    UINT result = MsiViewFetch(view_.get(), record_.put());
    if (result == ERROR_SUCCESS) return true;
    if (result == ERROR_NO_MORE_ITEMS) {
        // Some installers start over on the next fetch; a cursor at its end stays there.
        view_.reset();
        return false;
    }
    CheckInstallerResult(result, L"MsiViewFetch");
    return false;
}

_stringx TableCursor::GetString(UINT field) { return record_ ? GetRecordString(record_.get(), field) : _stringx(); }

int TableCursor::GetInteger(UINT field) { return record_ ? MsiRecordGetInteger(record_.get(), field) : 0; }

void TableCursor::Close() {
    record_.reset();
    view_.reset();
}
