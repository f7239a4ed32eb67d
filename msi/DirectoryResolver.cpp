#include "msi/DirectoryResolver.h"

#include <msiquery.h>
#include <set>
#include <cwctype>
#include "msi/InstallerAccess.h"
#include "server/ComException.h"

namespace {
// Every text read from a row gets room for 259 characters and a terminator; longer values fail
// the read with ERROR_MORE_DATA, which the callers pass on or take as "no".
constexpr DWORD kFieldCapacity = 260;

UINT ReadField(MSIHANDLE record, UINT field, _stringx& text) {
    wchar_t buffer[kFieldCapacity];
    DWORD size = kFieldCapacity;
    UINT result = MsiRecordGetStringW(record, field, buffer, &size);
    if (result == ERROR_SUCCESS) text = _stringx(size, buffer);
    return result;
}

bool EqualsNoCase(const _stringx& text, const wchar_t* other) { return _wcsicmp(text.c_str(), other) == 0; }
bool StartsWithDot(const _stringx& text) { return !text.empty() && text[0] == L'.'; }
_stringx Bracketed(const _stringx& key) { return L"[" + key + L"]"; }

_stringx WithoutModuleSuffix(const _stringx& key) {
    size_t dot = key.rfind(L'.');
    return dot != _stringx::npos && HasModuleSuffix(key.substr(dot + 1)) ? key.substr(0, dot) : key;
}

// The first row of a query without parameters; the record outlives the statement.
bool FetchFirstRow(MSIHANDLE database, const _stringx& query, InstallerHandle& row) {
    InstallerHandle view;
    OpenDatabaseView(database, query.c_str(), view);
    ExecuteView(view.get(), 0);
    return FetchRecord(view.get(), row, false) == ERROR_SUCCESS;
}

// A level's folder name in front of the path collected below it.
_stringx Prepend(const _stringx& name, const _stringx& below, bool separated) {
    if (below.empty()) return name;
    if (!separated || name.ends_with(L'\\')) return name + below;
    return name + L"\\" + below;
}
}  // namespace

const std::map<_stringx, _stringx>& PredefinedFolderNames() {
    static const std::map<_stringx, _stringx> names = [] {
        std::map<_stringx, _stringx> map;
        for (const wchar_t* name :
             {L"AdminToolsFolder", L"AppDataFolder", L"CommonAppDataFolder", L"CommonFilesFolder", L"DesktopFolder",
              L"FavoritesFolder", L"FontsFolder", L"LocalAppDataFolder", L"MyPicturesFolder", L"PersonalFolder",
              L"ProgramFilesFolder", L"ProgramMenuFolder", L"SendToFolder", L"StartMenuFolder", L"StartupFolder",
              L"System16Folder", L"SystemFolder", L"TempFolder", L"TemplateFolder", L"WindowsFolder",
              L"WindowsVolume"})
            map[_stringx(name).Upper()] = name;
        return map;
    }();
    return names;
}

bool HasModuleSuffix(const _stringx& text) { return text.length() == 32 || text.length() == 36; }

UINT ParseDefaultDir(const _stringx& value, bool useSource, bool useShortName, _stringx& result) {
    _stringx part = value;
    size_t colon = part.find(L':');
    if (colon != _stringx::npos) part = useSource ? part.substr(colon + 1) : part.substr(0, colon);
    size_t bar = part.find(L'|');
    if (bar != _stringx::npos) part = useShortName ? part.substr(0, bar) : part.substr(bar + 1);
    result = part;
    return ERROR_SUCCESS;
}

bool IsPredefinedFolderKey(MSIHANDLE database, const _stringx& key) {
    const auto& names = PredefinedFolderNames();
    InstallerHandle row;
    if (!FetchFirstRow(database,
                       _stringx::Formatted(L"SELECT `Directory_Parent` FROM `Directory` WHERE `Directory` = '%s'",
                                           key.c_str()),
                       row))
        return false;
    _stringx parent;
    if (ReadField(row.get(), 1, parent) != ERROR_SUCCESS) return false;
    return names.count(key.Upper()) != 0;
}

bool LookupPropertyValue(MSIHANDLE database, const _stringx& name, _stringx& value) {
    MSICONDITION table = MsiDatabaseIsTablePersistentW(database, L"Property");
    if (table != MSICONDITION_TRUE && table != MSICONDITION_FALSE) return false;
    InstallerHandle row;
    if (!FetchFirstRow(database,
                       _stringx::Formatted(L"SELECT * FROM `Property` WHERE `Property` = '%s'", name.c_str()), row))
        return false;
    _stringx text;
    if (ReadField(row.get(), 2, text) != ERROR_SUCCESS) return false;
    value = text;
    return true;
}

namespace {
// A Directory row as the walk sees it: each text with the status of its read (ERROR_MORE_DATA for
// one too long to read).
struct DirectoryRow {
    _stringx key, defaultDir, parent;
    bool parentNull = true;
    UINT keyStatus = ERROR_SUCCESS, defaultDirStatus = ERROR_SUCCESS, parentStatus = ERROR_SUCCESS;
};

// What the walk needs of a module's Directory and Property tables: from a query each, or from
// the rows read once. A source that cannot answer as the queries would declines (false).
class DirectoryRows {
public:
    virtual ~DirectoryRows() = default;
    // ERROR_SUCCESS with the row, or ERROR_NO_MORE_ITEMS when the key has none.
    virtual bool Fetch(const _stringx& key, DirectoryRow& row, UINT& status) = 0;
    virtual bool Accepts(const _stringx& levelKey) const = 0;
    virtual bool IsPredefined(const _stringx& levelKey) = 0;
    virtual bool LookupProperty(const _stringx& name, _stringx& value) = 0;
};

// The parent walk from a key to its root, one level a step; false when the source declines.
bool WalkDirectories(DirectoryRows& rows, const _stringx& key, const ResolveOptions& options, UINT& status,
                     _stringx& result) {
    result.clear();
    _stringx path, next = key;
    std::set<_stringx> visited;
    for (;;) {
        DirectoryRow row;
        if (!rows.Fetch(next, row, status)) return false;
        if (status != ERROR_SUCCESS) return true;
        if ((status = row.defaultDirStatus) != ERROR_SUCCESS || (status = row.keyStatus) != ERROR_SUCCESS) return true;
        if (!visited.insert(row.key).second) {
            status = ERROR_CIRCULAR_DEPENDENCY;
            return true;
        }
        _stringx levelKey = options.stripModuleSuffix ? WithoutModuleSuffix(row.key) : row.key;
        if (!rows.Accepts(levelKey)) return false;

        const bool predefined = rows.IsPredefined(levelKey);
        bool propertyRoot = false;
        bool addsName = true;
        _stringx name;
        if (predefined) {
            name = options.bracketRoots ? Bracketed(levelKey) : levelKey;
        } else {
            ParseDefaultDir(row.defaultDir, options.useSource, options.useShortName, name);
            if (EqualsNoCase(name, L"SOURCEDIR")) {
                // A root named by one of the module's properties, or by nothing the module knows.
                if (!rows.LookupProperty(levelKey, name)) break;
                propertyRoot = true;
            }
            if (options.collapseDotFolders && !options.useSource) {
                if ((status = row.parentStatus) != ERROR_SUCCESS) return true;
                if (StartsWithDot(name)) {
                    if (EqualsNoCase(row.parent, L"TARGETDIR")) {
                        // A "." folder under the target root roots the path: its own key or
                        // the module's value for it, with the levels below kept behind it.
                        _stringx root = levelKey;
                        rows.LookupProperty(levelKey, root);
                        path = Prepend(root, path, true);
                        break;
                    }
                    addsName = false;
                }
            } else if (StartsWithDot(name)) {
                name = options.bracketRoots ? Bracketed(levelKey) : levelKey;
            }
        }
        if (addsName) {
            // A bracketed predefined root already stands for a folder: no backslash after it.
            path = Prepend(name, path, !(predefined && options.bracketRoots));
            if (predefined || propertyRoot) break;
        }

        // A row without a parent is a root that is neither predefined nor "SourceDir".
        if (row.parentNull) {
            status = ERROR_NO_MORE_ITEMS;
            return true;
        }
        next = row.parent;
    }
    status = ERROR_SUCCESS;
    result = path;
    return true;
}

// The rows through a prepared statement, one execution a level; predefined roots and property
// values through a query each.
class QueriedRows : public DirectoryRows {
public:
    QueriedRows(MSIHANDLE database, MSIHANDLE view) : database_(database), view_(view) {}

    bool Fetch(const _stringx& key, DirectoryRow& row, UINT& status) override {
        InstallerHandle parameters(MsiCreateRecord(1));
        if (!parameters) {
            status = ERROR_OUTOFMEMORY;
            return true;
        }
        if ((status = MsiRecordSetStringW(parameters.get(), 1, key.c_str())) != ERROR_SUCCESS) return true;
        if (executed_) MsiViewClose(view_);
        executed_ = true;
        ExecuteView(view_, parameters.get());
        InstallerHandle record;
        if (FetchRecord(view_, record, false) != ERROR_SUCCESS) {
            status = ERROR_NO_MORE_ITEMS;
            return true;
        }
        row.defaultDirStatus = ReadField(record.get(), 2, row.defaultDir);
        row.keyStatus = ReadField(record.get(), 3, row.key);
        row.parentStatus = ReadField(record.get(), 1, row.parent);
        row.parentNull = MsiRecordIsNull(record.get(), 1) != FALSE;
        // The next level is asked for by the whole parent, however long.
        if (row.parentStatus != ERROR_SUCCESS) row.parent = GetRecordString(record.get(), 1);
        status = ERROR_SUCCESS;
        return true;
    }
    bool Accepts(const _stringx&) const override { return true; }
    bool IsPredefined(const _stringx& levelKey) override { return IsPredefinedFolderKey(database_, levelKey); }
    bool LookupProperty(const _stringx& name, _stringx& value) override {
        return LookupPropertyValue(database_, name, value);
    }

private:
    MSIHANDLE database_;
    MSIHANDLE view_;
    bool executed_ = false;
};
}  // namespace

UINT ResolveDirectoryPath(MSIHANDLE database, const _stringx& key, _stringx& result, const ResolveOptions& options) {
    result.clear();
    // The statement is prepared once and executed for each level.
    InstallerHandle view;
    UINT status = MsiDatabaseOpenViewW(
        database, L"SELECT `Directory_Parent`,`DefaultDir`, `Directory` FROM `Directory` WHERE `Directory`.`Directory`=?",
        view.put());
    if (status != ERROR_SUCCESS) return status;
    QueriedRows rows(database, view.get());
    WalkDirectories(rows, key, options, status, result);
    return status;
}

namespace {
// Longer texts fail ReadField's fixed buffer.
bool TooLong(const _stringx& text) { return text.length() >= kFieldCapacity; }

// Names that a query's quoted text holds as they are.
bool PlainKey(const _stringx& key) {
    for (wchar_t c : key.str())
        if (c >= 128 || !(iswalnum(c) || c == L'_' || c == L'.')) return false;
    return !key.empty();
}

// Every row of a query, each field's whole text; false when any step fails.
template <typename Take>
bool ReadAllRows(MSIHANDLE database, const wchar_t* query, Take take) {
    InstallerHandle view;
    if (MsiDatabaseOpenViewW(database, query, view.put()) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), 0) != ERROR_SUCCESS)
        return false;
    for (;;) {
        InstallerHandle row;
        UINT result = MsiViewFetch(view.get(), row.put());
        if (result == ERROR_NO_MORE_ITEMS) return true;
        if (result != ERROR_SUCCESS) return false;
        try {
            take(row.get());
        } catch (const CComException&) {
            return false;
        }
    }
}
}  // namespace

bool DirectoryTable::Load(MSIHANDLE database) {
    rows_.clear();
    properties_.clear();
    loaded_ = ReadAllRows(database, L"SELECT `Directory`,`Directory_Parent`,`DefaultDir` FROM `Directory`",
                          [&](MSIHANDLE record) {
                              Row row;
                              _stringx key = GetRecordString(record, 1);
                              row.parentNull = MsiRecordIsNull(record, 2) != FALSE;
                              row.parent = GetRecordString(record, 2);
                              row.defaultDir = GetRecordString(record, 3);
                              row.keyTooLong = TooLong(key);
                              row.parentTooLong = TooLong(row.parent);
                              row.defaultDirTooLong = TooLong(row.defaultDir);
                              rows_.emplace(key, row);
                          });
    MSICONDITION table = MsiDatabaseIsTablePersistentW(database, L"Property");
    propertyTable_ = table == MSICONDITION_TRUE || table == MSICONDITION_FALSE;
    if (loaded_ && propertyTable_)
        loaded_ = ReadAllRows(database, L"SELECT `Property`,`Value` FROM `Property`", [&](MSIHANDLE record) {
            _stringx value = GetRecordString(record, 2);
            properties_.emplace(GetRecordString(record, 1), std::make_pair(value, TooLong(value)));
        });
    return loaded_;
}

bool DirectoryTable::LookupProperty(const _stringx& name, _stringx& value) const {
    if (!propertyTable_) return false;
    auto found = properties_.find(name);
    if (found == properties_.end() || found->second.second) return false;
    value = found->second.first;
    return true;
}

// The rows read once, for keys the query text could hold as they are.
class DirectoryTable::Rows : public DirectoryRows {
public:
    explicit Rows(const DirectoryTable& table) : table_(table) {}

    bool Fetch(const _stringx& key, DirectoryRow& row, UINT& status) override {
        auto found = table_.rows_.find(key);
        if (found == table_.rows_.end()) {
            status = ERROR_NO_MORE_ITEMS;
            return true;
        }
        const DirectoryTable::Row& kept = found->second;
        row.key = found->first;
        row.defaultDir = kept.defaultDir;
        row.parent = kept.parent;
        row.parentNull = kept.parentNull;
        row.keyStatus = kept.keyTooLong ? ERROR_MORE_DATA : ERROR_SUCCESS;
        row.defaultDirStatus = kept.defaultDirTooLong ? ERROR_MORE_DATA : ERROR_SUCCESS;
        row.parentStatus = kept.parentTooLong ? ERROR_MORE_DATA : ERROR_SUCCESS;
        status = ERROR_SUCCESS;
        return true;
    }
    bool Accepts(const _stringx& levelKey) const override { return PlainKey(levelKey); }
    bool IsPredefined(const _stringx& levelKey) override {
        auto own = table_.rows_.find(levelKey);
        return own != table_.rows_.end() && !own->second.parentTooLong &&
               PredefinedFolderNames().count(levelKey.Upper()) != 0;
    }
    bool LookupProperty(const _stringx& name, _stringx& value) override { return table_.LookupProperty(name, value); }

private:
    const DirectoryTable& table_;
};

bool DirectoryTable::Resolve(const _stringx& key, UINT& status, _stringx& result) const {
    if (!loaded_) return false;
    Rows rows(*this);
    return WalkDirectories(rows, key, ResolveOptions(), status, result);
}
