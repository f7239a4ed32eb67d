#include "msi/ModuleReader.h"

#include <map>
#include <propidl.h>
#include "folders/DirectoryResolver.h"
#include "msi/InstallerAccess.h"

void ModuleEntry::Load(const _stringx& path, const _stringx& sourceLocation) {
    SetPath(path);
    SetSourceLocation(sourceLocation);
    ReadHeader();
    ComputeDisplayName();
}

void ModuleEntry::ReadHeader() {
    TableCursor cursor;
    cursor.OpenTable(Path(), L"ModuleSignature");
    // A missing or empty table leaves the values empty: the fetch's result is not needed.
    cursor.Fetch();
    LONG language = cursor.GetInteger(2);
    _stringx moduleId = cursor.GetString(1);
    _stringx version = cursor.GetString(3);
    cursor.Close();

    InstallerHandle summary;
    MsiGetSummaryInformationW(0, Path().c_str(), 0, summary.put());
    _stringx author = ReadSummaryText(summary.get(), PIDSI_AUTHOR);
    _stringx comments = ReadSummaryText(summary.get(), PIDSI_COMMENTS);
    _stringx revisionNumber = ReadSummaryText(summary.get(), PIDSI_REVNUMBER);
    _stringx subject = ReadSummaryText(summary.get(), PIDSI_SUBJECT);
    SetHeader(moduleId, language, version, author, comments, revisionNumber, subject);
}

_stringx ReadSummaryText(MSIHANDLE summary, UINT property) {
    if (!summary) return _stringx();
    UINT type = 0;
    INT number = 0;
    FILETIME time{};
    wchar_t buffer[0x104] = {};
    DWORD length = 0x104;
    UINT result = MsiSummaryInfoGetPropertyW(summary, property, &type, &number, &time, buffer, &length);
    if (result == ERROR_SUCCESS) return type == VT_LPSTR ? _stringx(buffer) : _stringx();
    if (result != ERROR_MORE_DATA) return _stringx();
    std::wstring larger(length + 1, L'\0');
    length += 1;
    result = MsiSummaryInfoGetPropertyW(summary, property, &type, &number, &time, &larger[0], &length);
    if (result != ERROR_SUCCESS || type != VT_LPSTR) return _stringx();
    larger.resize(length);
    return _stringx(larger);
}

void ModuleEntry::ReadFirstColumn(const wchar_t* table, std::vector<_stringx>& names) {
    TableCursor cursor;
    cursor.OpenTable(Path(), table);
    while (cursor.Fetch()) names.push_back(cursor.GetString(1));
}

void ModuleEntry::ReadDialogNames(std::vector<_stringx>& names) { ReadFirstColumn(L"Dialog", names); }

void ModuleEntry::ReadCustomActionNames(std::vector<_stringx>& names) { ReadFirstColumn(L"CustomAction", names); }

void ModuleEntry::ReadDependencies() {
    TableCursor cursor;
    cursor.OpenTable(Path(), L"ModuleDependency");
    while (cursor.Fetch()) {
        DependencyEntry entry;
        entry.ModuleId = cursor.GetString(3);
        entry.Language = cursor.GetInteger(4);
        entry.Key = MakeEntryKey(entry.ModuleId, entry.Language);
        entry.Version = cursor.GetString(5);
        AddDependency(entry);
    }
}

void ModuleEntry::ReadExclusions() {
    TableCursor cursor;
    cursor.OpenTable(Path(), L"ModuleExclusion");
    while (cursor.Fetch()) {
        ExclusionEntry entry;
        entry.ModuleId = cursor.GetString(3);
        entry.Language = cursor.GetInteger(4);
        entry.Key = MakeEntryKey(entry.ModuleId, entry.Language);
        entry.MinVersion = cursor.GetString(5);
        entry.MaxVersion = cursor.GetString(6);
        AddExclusion(entry);
    }
}

void ModuleEntry::ReadFiles() {
    std::map<_stringx, _stringx> componentDirectories;
    {
        TableCursor components;
        components.OpenQuery(Path(), L"SELECT * FROM Component ORDER BY Component");
        while (components.Fetch()) componentDirectories[components.GetString(1)] = components.GetString(3);
    }
    TableCursor cursor;
    cursor.OpenQuery(Path(), L"SELECT * FROM File ORDER BY Sequence");
    while (cursor.Fetch()) {
        FileEntry entry;
        entry.FileKey = cursor.GetString(1);
        entry.Language = cursor.GetString(6);
        entry.StoredName = cursor.GetString(3);
        entry.LongName = LongFileName(entry.StoredName);
        entry.FileSize = cursor.GetInteger(4);
        entry.Version = cursor.GetString(5);
        entry.Sequence = cursor.GetInteger(8);
        auto directory = componentDirectories.find(cursor.GetString(2));
        if (directory != componentDirectories.end()) entry.Directory = directory->second;
        AddFile(entry);
    }
}

bool ModuleEntry::ResolveModuleDirectory(const _stringx& directoryKey, _stringx& path) {
    if (directoryKey.empty() || FromGallery()) return false;
    InstallerHandle database;
    UINT result = MsiOpenDatabaseW(Path().c_str(), MSIDBOPEN_READONLY, database.put());
    CheckInstallerResult(result, L"MsiOpenDatabase", Path().c_str());
    if (!database) return false;
    // Target names, long names, module suffixes cut, dot folders collapsed, roots in brackets: the
    // resolver's defaults.
    _stringx resolved;
    if (ResolveDirectoryPath(database.get(), directoryKey, resolved, ResolveOptions()) != 0) return false;
    path = resolved;
    return true;
}
