#include "msi/ModuleData.h"

#include <propidl.h>
#include <algorithm>
#include <cstring>
#include <new>
#include <set>
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
        int byKey = files[a].FileKey.compare(files[b].FileKey);
        if (byKey != 0) return byKey < 0;
        return files[a].Sequence != files[b].Sequence ? files[a].Sequence < files[b].Sequence : a < b;
    });
    std::vector<FileEntry> kept;
    kept.reserve(files.size());
    for (size_t i = 0; i < order.size(); ++i)
        if (i + 1 == order.size() || files[order[i]].FileKey != files[order[i + 1]].FileKey)
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
    std::map<_stringx, _stringx> componentDirectories;
    {
        TableCursor components;
        components.OpenQuery(database.get(), L"SELECT * FROM Component");
        while (components.Fetch()) componentDirectories[components.GetString(1)] = components.GetString(3);
    }
    TableCursor cursor;
    cursor.OpenQuery(database.get(), L"SELECT * FROM File");
    std::set<_stringx> directories;
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
        if (!entry.Directory.empty()) directories.insert(entry.Directory);
        result.Files.push_back(std::move(entry));
    }
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

// ---------------------------------------------------------------- wire form

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    void Number(uint32_t value) { out_.append(reinterpret_cast<const char*>(&value), sizeof value); }
    void Text(const _stringx& text) {
        Number(static_cast<uint32_t>(text.length()));
        out_.append(reinterpret_cast<const char*>(text.c_str()), text.length() * sizeof(wchar_t));
    }
    void Guid(const GUID& guid) { out_.append(reinterpret_cast<const char*>(&guid), sizeof guid); }

private:
    std::string& out_;
};

class Reader {
public:
    explicit Reader(const std::string& in) : in_(in) {}
    bool ok() const { return ok_; }
    bool AtEnd() const { return at_ == in_.size(); }
    uint32_t Number() {
        uint32_t value = 0;
        Raw(&value, sizeof value);
        return value;
    }
    LONG Signed() { return static_cast<LONG>(Number()); }
    _stringx Text() {
        uint32_t length = Number();
        if (!ok_ || length > (in_.size() - at_) / sizeof(wchar_t)) {
            ok_ = false;
            return _stringx();
        }
        std::wstring text(length, L'\0');
        Raw(text.data(), length * sizeof(wchar_t));
        return _stringx(std::move(text));
    }
    void Guid(GUID& guid) { Raw(&guid, sizeof guid); }
    void Fail() { ok_ = false; }
    // A count of items that each take at least one number: more than the rest could hold is damage.
    uint32_t Count() {
        uint32_t count = Number();
        if (count > (in_.size() - at_) / sizeof(uint32_t)) ok_ = false;
        return ok_ ? count : 0;
    }

private:
    void Raw(void* to, size_t size) {
        if (!ok_ || size > in_.size() - at_) {
            ok_ = false;
            return;
        }
        memcpy(to, in_.data() + at_, size);
        at_ += size;
    }

    const std::string& in_;
    size_t at_ = 0;
    bool ok_ = true;
};

void WriteFailure(Writer& w, const ReadFailure& failure) {
    w.Number(static_cast<uint32_t>(failure.Error));
    w.Guid(failure.InterfaceGuid);
    w.Text(failure.Description);
}

void ReadFailureFrom(Reader& r, ReadFailure& failure) {
    failure.Error = static_cast<HRESULT>(r.Number());
    r.Guid(failure.InterfaceGuid);
    failure.Description = r.Text();
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

void EncodeRequest(ModuleRead what, const _stringx& path, const _stringx& argument, std::string& out) {
    Writer w(out);
    w.Number(static_cast<uint32_t>(what));
    w.Text(path);
    w.Text(argument);
}

bool DecodeRequest(const std::string& in, ModuleRead& what, _stringx& path, _stringx& argument) {
    Reader r(in);
    uint32_t kind = r.Number();
    path = r.Text();
    argument = r.Text();
    what = static_cast<ModuleRead>(kind);
    return r.ok() && r.AtEnd() && kind >= static_cast<uint32_t>(ModuleRead::Header) &&
           kind <= static_cast<uint32_t>(ModuleRead::Directory);
}

void EncodeResult(const ModuleReadResult& result, std::string& out) {
    Writer w(out);
    w.Text(result.Path);
    w.Number(result.Unsafe);
    w.Number(result.InstallerFailed);
    WriteFailure(w, result.Failure);
    const ModuleHeader& h = result.Header;
    w.Text(h.ModuleId);
    w.Number(static_cast<uint32_t>(h.Language));
    for (const _stringx* text : {&h.Version, &h.Author, &h.Comments, &h.RevisionNumber, &h.Subject}) w.Text(*text);
    w.Number(static_cast<uint32_t>(result.Names.size()));
    for (const _stringx& name : result.Names) w.Text(name);
    w.Number(static_cast<uint32_t>(result.Dependencies.size()));
    for (const DependencyEntry& d : result.Dependencies) {
        w.Text(d.ModuleId);
        w.Text(d.Key);
        w.Text(d.Version);
        w.Number(static_cast<uint32_t>(d.Language));
    }
    w.Number(static_cast<uint32_t>(result.Exclusions.size()));
    for (const ExclusionEntry& e : result.Exclusions) {
        w.Text(e.ModuleId);
        w.Text(e.Key);
        w.Text(e.MinVersion);
        w.Text(e.MaxVersion);
        w.Number(static_cast<uint32_t>(e.Language));
    }
    // Thousands of files share a few folders: each folder's key is sent once. The long name is
    // the stored name's, made again on the other side.
    auto before = [](const _stringx* a, const _stringx* b) { return *a < *b; };
    auto same = [](const _stringx* a, const _stringx* b) { return *a == *b; };
    std::vector<const _stringx*> folders;
    for (const FileEntry& f : result.Files) folders.push_back(&f.Directory);
    std::sort(folders.begin(), folders.end(), before);
    folders.erase(std::unique(folders.begin(), folders.end(), same), folders.end());
    w.Number(static_cast<uint32_t>(folders.size()));
    for (const _stringx* folder : folders) w.Text(*folder);
    w.Number(static_cast<uint32_t>(result.Files.size()));
    for (const FileEntry& f : result.Files) {
        for (const _stringx* text : {&f.StoredName, &f.Version, &f.Language, &f.FileKey}) w.Text(*text);
        auto folder = std::lower_bound(folders.begin(), folders.end(), &f.Directory, before);
        w.Number(static_cast<uint32_t>(folder - folders.begin()));
        w.Number(static_cast<uint32_t>(f.FileSize));
        w.Number(static_cast<uint32_t>(f.Sequence));
    }
    w.Number(static_cast<uint32_t>(result.Directories.size()));
    for (const auto& d : result.Directories) {
        w.Text(d.first);
        w.Number(d.second.Status);
        w.Text(d.second.Path);
        WriteFailure(w, d.second.Failure);
    }
}

bool DecodeResult(const std::string& in, ModuleReadResult& result) {
    Reader r(in);
    result.Path = r.Text();
    result.Unsafe = r.Number() != 0;
    result.InstallerFailed = r.Number() != 0;
    ReadFailureFrom(r, result.Failure);
    ModuleHeader& h = result.Header;
    h.ModuleId = r.Text();
    h.Language = r.Signed();
    for (_stringx* text : {&h.Version, &h.Author, &h.Comments, &h.RevisionNumber, &h.Subject}) *text = r.Text();
    for (uint32_t n = r.Count(); n > 0 && r.ok(); --n) result.Names.push_back(r.Text());
    for (uint32_t n = r.Count(); n > 0 && r.ok(); --n) {
        DependencyEntry d;
        d.ModuleId = r.Text();
        d.Key = r.Text();
        d.Version = r.Text();
        d.Language = r.Signed();
        result.Dependencies.push_back(std::move(d));
    }
    for (uint32_t n = r.Count(); n > 0 && r.ok(); --n) {
        ExclusionEntry e;
        e.ModuleId = r.Text();
        e.Key = r.Text();
        e.MinVersion = r.Text();
        e.MaxVersion = r.Text();
        e.Language = r.Signed();
        result.Exclusions.push_back(std::move(e));
    }
    std::vector<_stringx> folders;
    for (uint32_t n = r.Count(); n > 0 && r.ok(); --n) folders.push_back(r.Text());
    // Not reserved ahead: a garbled count must not ask for more than the reply holds.
    for (uint32_t files = r.Count(); files > 0 && r.ok(); --files) {
        FileEntry f;
        for (_stringx* text : {&f.StoredName, &f.Version, &f.Language, &f.FileKey}) *text = r.Text();
        f.LongName = LongFileName(f.StoredName);
        uint32_t folder = r.Number();
        if (folder < folders.size()) f.Directory = folders[folder];
        else r.Fail();
        f.FileSize = r.Signed();
        f.Sequence = r.Signed();
        result.Files.push_back(std::move(f));
    }
    for (uint32_t n = r.Count(); n > 0 && r.ok(); --n) {
        _stringx key = r.Text();
        DirectoryAnswer& answer = result.Directories[key];
        answer.Status = r.Number();
        answer.Path = r.Text();
        ReadFailureFrom(r, answer.Failure);
    }
    return r.ok() && r.AtEnd();
}
