#include "msi/ModuleData.h"

#include <propidl.h>
#include <algorithm>
#include <new>
#include <set>
#include "base/Handles.h"
#include "msi/DirectoryResolver.h"
#include "msi/CompoundFile.h"
#include "msi/InstallerAccess.h"
#include "server/ComException.h"

namespace {
InstallerHandle OpenReadOnly(const _stringx& path) {
    InstallerHandle database;
    if (MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, database.put()) != ERROR_SUCCESS) database.reset();
    return database;
}

void ReadHeader(const _stringx& path, ModuleReadResult& result) {
    // One open serves the signature and the summary; a file whose database does not open may still
    // have a readable summary stream, so that is then read by path.
    InstallerHandle database = OpenReadOnly(path);
    if (!database) result.InstallerFailed = true;
    TableCursor cursor;
    if (database) cursor.OpenTable(database.get(), L"ModuleSignature");
    // A missing or empty table leaves the values empty: the fetch's result is not needed.
    cursor.Fetch();
    ModuleHeader& header = result.Header;
    header.Language = cursor.GetInteger(2);
    header.ModuleId = cursor.GetString(1);
    header.Version = cursor.GetString(3);
    cursor.Close();

    InstallerHandle summary;
    MsiGetSummaryInformationW(database.get(), database ? nullptr : path.c_str(), 0, summary.put());
    header.Author = ReadSummaryText(summary.get(), PIDSI_AUTHOR);
    header.Comments = ReadSummaryText(summary.get(), PIDSI_COMMENTS);
    header.RevisionNumber = ReadSummaryText(summary.get(), PIDSI_REVNUMBER);
    header.Subject = ReadSummaryText(summary.get(), PIDSI_SUBJECT);
}

void ReadFirstColumn(const _stringx& path, const wchar_t* table, ModuleReadResult& result) {
    TableCursor cursor;
    cursor.OpenTable(path, table);
    while (cursor.Fetch()) result.Names.push_back(cursor.GetString(1));
}

void ReadDependencies(const _stringx& path, ModuleReadResult& result) {
    TableCursor cursor;
    cursor.OpenTable(path, L"ModuleDependency");
    while (cursor.Fetch()) {
        DependencyEntry entry;
        entry.ModuleId = cursor.GetString(3);
        entry.Language = cursor.GetInteger(4);
        entry.Key = MakeEntryKey(entry.ModuleId, entry.Language);
        entry.Version = cursor.GetString(5);
        result.Dependencies.push_back(entry);
    }
}

void ReadExclusions(const _stringx& path, ModuleReadResult& result) {
    TableCursor cursor;
    cursor.OpenTable(path, L"ModuleExclusion");
    while (cursor.Fetch()) {
        ExclusionEntry entry;
        entry.ModuleId = cursor.GetString(3);
        entry.Language = cursor.GetInteger(4);
        entry.Key = MakeEntryKey(entry.ModuleId, entry.Language);
        entry.MinVersion = cursor.GetString(5);
        entry.MaxVersion = cursor.GetString(6);
        result.Exclusions.push_back(entry);
    }
}

void ResolveInto(MSIHANDLE database, const _stringx& key, DirectoryAnswer& answer) {
    try {
        // Target names, long names, module suffixes cut, dot folders collapsed, roots in brackets:
        // the resolver's defaults.
        answer.Status = ResolveDirectoryPath(database, key, answer.Path, ResolveOptions());
        if (answer.Status != ERROR_SUCCESS) answer.Path.clear();
    } catch (const CComException& error) {
        answer.Failure = ReadFailure::Of(error.Error());
    }
}

// The list as the catalog files it: one record per key, in key order, so that it is filed without a
// search. Of several rows with one key the one of the highest Sequence wins, and of those the last
// fetched, as when the rows were filed one by one in Sequence order.
void KeepOnePerKey(std::vector<FileEntry>& files) {
    std::vector<uint32_t> order(files.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        int byKey = files[a].FileKey().compare(files[b].FileKey());
        if (byKey != 0) return byKey < 0;
        return files[a].Sequence != files[b].Sequence ? files[a].Sequence < files[b].Sequence : a < b;
    });
    std::vector<FileEntry> kept;
    kept.reserve(files.size());
    for (size_t i = 0; i < order.size(); ++i)
        if (i + 1 == order.size() || files[order[i]].FileKey() != files[order[i + 1]].FileKey())
            kept.push_back(std::move(files[order[i]]));
    files.swap(kept);
}

void ReadFileList(const _stringx& path, ModuleReadResult& result) {
    InstallerHandle database = OpenReadOnly(path);
    if (!database) {
        result.InstallerFailed = true;
        return;
    }
    // No ORDER BY: the installer library sorts slowly, and a table's rows differ in their keys, so
    // the order they come in changes nothing but which of two rows with one key would win. For the
    // files that stays the higher Sequence, as sorted below.
    std::map<_stringx, std::shared_ptr<const _stringx>> componentDirectories;
    {
        TableCursor components;
        components.OpenQuery(database.get(), L"SELECT * FROM Component");
        while (components.Fetch()) {
            _stringx directory = components.GetString(3);
            componentDirectories[components.GetString(1)] =
                directory.empty() ? nullptr : std::make_shared<const _stringx>(std::move(directory));
        }
    }
    TableCursor cursor;
    cursor.OpenQuery(database.get(), L"SELECT * FROM File");
    std::set<_stringx> directories;
    FileTexts texts;
    // The records read before a failure are kept with it, texts and all.
    const size_t first = result.Files.size();
    auto share = [&] { texts.Share(result.Files.data() + first, result.Files.data() + result.Files.size()); };
    try {
        while (cursor.Fetch()) {
            FileEntry entry;
            texts.Append(entry, FileEntry::kFileKey, cursor.GetString(1));
            texts.Append(entry, FileEntry::kLanguage, cursor.GetString(6));
            texts.Append(entry, FileEntry::kStoredName, cursor.GetString(3));
            entry.FileSize = cursor.GetInteger(4);
            texts.Append(entry, FileEntry::kVersion, cursor.GetString(5));
            entry.Sequence = cursor.GetInteger(8);
            auto directory = componentDirectories.find(cursor.GetString(2));
            if (directory != componentDirectories.end()) entry.SetDirectory(directory->second);
            if (!entry.Directory().empty()) directories.insert(entry.Directory());
            result.Files.push_back(std::move(entry));
        }
    } catch (...) {
        share();
        throw;
    }
    share();
    cursor.Close();
    KeepOnePerKey(result.Files);
    // Every folder the list names, through the same open: the file search asks for them by key. The
    // table read once answers most of them; the queries answer the rest.
    DirectoryTable table;
    table.Load(database.get());
    for (const _stringx& key : directories) {
        DirectoryAnswer& answer = result.Directories[key];
        if (!table.Resolve(key, answer.Status, answer.Path)) ResolveInto(database.get(), key, answer);
    }
}

void ReadDirectory(const _stringx& path, const _stringx& key, ModuleReadResult& result) {
    InstallerHandle database;
    UINT status = MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, database.put());
    if (status != ERROR_SUCCESS) result.InstallerFailed = true;
    CheckInstallerResult(status, L"MsiOpenDatabase", path.c_str());
    ResolveInto(database.get(), key, result.Directories[key]);
}

}  // namespace

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

void PerformModuleRead(ModuleRead what, const _stringx& path, const _stringx& argument, ModuleReadResult& result,
                       bool checkContainer) {
    result.Path = path;
    // Held with the installer's own sharing for the whole read: nobody can move or write the file
    // meanwhile, so a failure below belongs to the file, not to whoever else was using it. A file
    // held already is read all the same (it answers as it always did) and marked in use.
    unique_file guard(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    result.InUse = !guard && (GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_LOCK_VIOLATION);
    if (checkContainer && !IsSoundCompoundFile(path.c_str())) {
        result.Unsafe = true;
        return;
    }
    try {
        switch (what) {
        case ModuleRead::Header: ReadHeader(path, result); break;
        case ModuleRead::Dialogs: ReadFirstColumn(path, L"Dialog", result); break;
        case ModuleRead::CustomActions: ReadFirstColumn(path, L"CustomAction", result); break;
        case ModuleRead::Dependencies: ReadDependencies(path, result); break;
        case ModuleRead::Exclusions: ReadExclusions(path, result); break;
        case ModuleRead::Files: ReadFileList(path, result); break;
        case ModuleRead::Directory: ReadDirectory(path, argument, result); break;
        }
    } catch (const CComException& error) {
        result.Failure = ReadFailure::Of(error.Error());
        result.InstallerFailed = true;
    } catch (const std::bad_alloc&) {
        result.Failure.Error = E_OUTOFMEMORY;
        result.InstallerFailed = true;
    }
    for (const auto& directory : result.Directories)
        if (directory.second.Failure) result.InstallerFailed = true;
}
