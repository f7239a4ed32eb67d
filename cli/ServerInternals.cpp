#include "cli/ServerInternals.h"

#include <map>
#include "base/FileStamp.h"
#include "model/ModuleRecords.h"
#include "msi/ModuleCache.h"
#include "msi/ModuleEntry.h"
#include "msi/ReaderPool.h"
#include "msi/SearchLocation.h"
#include "appservices.h"
#include "server/ComException.h"
#include "server/SiblingLoader.h"

namespace server_internals {
namespace {
bool ResolveIn(ModuleEntry& entry, const _stringx& directoryKey, _stringx& folder) {
    bool resolved = false;
    try {
        resolved = entry.ResolveModuleDirectory(directoryKey, folder);
    } catch (const CComException&) {
        // A module that cannot be opened again leaves its folders unresolved.
        resolved = false;
    }
    if (!resolved) folder.clear();
    return resolved;
}

// The file as a listing shows it now; the cache answers only for that stamp.
bool StampNow(const _stringx& path, ListedStamp& stamp) {
    FileStamp now = FileStamp::Of(path.c_str());
    stamp = {now.size, static_cast<ULONGLONG>(now.written.dwHighDateTime) << 32 | now.written.dwLowDateTime};
    return now.present;
}

// The cache of the search location that lists the file, when the catalog's scan wrote one: a
// location is a folder as configured, with or without its final backslash. No new cache is made.
std::shared_ptr<LocationCache> ExistingCache(const _stringx& path) {
    size_t slash = path.rfind(L'\\');
    if (slash == _stringx::npos || !ModuleCacheEnabled()) return nullptr;
    for (const _stringx& folder : {path.substr(0, slash), path.substr(0, slash + 1)}) {
        DWORD attributes = GetFileAttributesW(ModuleCacheFile(folder, 0).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return LocationCache::Open(folder, 0);
    }
    return nullptr;
}

// An entry of its own for each file, as a scan makes it: headers from the cache where it has them,
// the others read together. Null where the header does not read.
std::vector<std::unique_ptr<ModuleEntry>> LoadEntries(const std::vector<ModuleOfSet>& modules) {
    std::map<_stringx, std::shared_ptr<LocationCache>> caches;  // by lower-cased folder
    std::vector<std::unique_ptr<ModuleEntry>> entries(modules.size());
    std::vector<std::pair<std::shared_ptr<LocationCache>, ListedStamp>> links(modules.size());
    std::vector<_stringx> reading;
    std::vector<size_t> readingAt;
    auto load = [&](size_t i, const ModuleReadResult& header) {
        auto entry = std::make_unique<ModuleEntry>();
        try {
            entry->Load(modules[i].Path, L"", header);
        } catch (const CComException&) {
            return;
        }
        if (links[i].first) entry->LinkCache(links[i].first, links[i].second);
        entries[i] = std::move(entry);
    };
    for (size_t i = 0; i < modules.size(); ++i) {
        const _stringx& path = modules[i].Path;
        _stringx folder = path.substr(0, path.rfind(L'\\') + 1).Lower();
        auto known = caches.find(folder);
        if (known == caches.end()) known = caches.emplace(folder, ExistingCache(path)).first;
        ListedStamp stamp;
        if (known->second && StampNow(path, stamp)) links[i] = {known->second, stamp};
        ModuleReadResult header;
        const std::shared_ptr<LocationCache>& cache = links[i].first;
        if (cache && cache->FindHeader(cache->NameOf(path), stamp, header)) {
            load(i, header);
        } else {
            reading.push_back(path);
            readingAt.push_back(i);
        }
    }
    ReadModulesGuarded(ModuleRead::Header, reading, [&](size_t k, ModuleReadResult& header) { load(readingAt[k], header); });
    return entries;
}

// The records as FileRecordsOf reads them from the module's Files collection, folders resolved.
ModuleFileList ListOf(ModuleEntry& entry) {
    ModuleFileList list;
    if (entry.FilesFailurePending()) return list;
    list.Read = true;
    for (const FileEntry& file : entry.LoadedFiles()) {
        FileRecord record;
        record.FileKey = _stringx(file.FileKey());
        record.StoredName = _stringx(file.StoredName());
        record.FileName = _stringx(file.LongName());
        record.Directory = file.Directory();
        record.Version = _stringx(file.Version());
        record.Language = _stringx(file.Language());
        record.Size = file.FileSize;
        record.Sequence = file.Sequence;
        record.Resolved = ResolveIn(entry, record.Directory, record.TargetFolder);
        list.Files.push_back(std::move(record));
    }
    return list;
}
}  // namespace

ModuleFolders::ModuleFolders(const _stringx& path) : entry_(std::make_unique<ModuleEntry>()) {
    entry_->Load(path, L"");
}

ModuleFolders::~ModuleFolders() = default;

bool ModuleFolders::Resolve(const _stringx& directoryKey, _stringx& folder) {
    return ResolveIn(*entry_, directoryKey, folder);
}

std::vector<ModuleFileList> ReadFileLists(const std::vector<ModuleOfSet>& modules) {
    std::vector<std::unique_ptr<ModuleEntry>> entries = LoadEntries(modules);
    std::vector<CatalogEntry*> reading;
    for (size_t i = 0; i < modules.size(); ++i)
        if (entries[i] && entries[i]->EntryKey() == modules[i].EntryKey) reading.push_back(entries[i].get());
    try {
        PreloadFileLists(reading);
    } catch (const CComException&) {
        // Every list not settled holds the failure, and answers as one that did not read.
    }
    std::vector<ModuleFileList> lists(modules.size());
    for (size_t i = 0; i < modules.size(); ++i)
        if (entries[i] && entries[i]->EntryKey() == modules[i].EntryKey) lists[i] = ListOf(*entries[i]);
    return lists;
}

_stringx LongFileName(const _stringx& storedName) { return ::LongFileName(storedName); }

void SearchPathFolders(std::vector<_stringx>& folders, std::vector<_stringx>& missing) {
    ComPtr<IAppSettings> settings;
    ComPtr<IAppFolders> appFolders;
    CheckResult(CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppSettings, settings.PutVoid()));
    CheckResult(settings.As(IID_IAppFolders, appFolders));
    unique_bstr first, second;
    CheckResult(settings->MergeModuleSearchPath(first.put()));
    CheckResult(appFolders->SecondSearchPath(second.put()));
    _stringx a(first.get()), b(second.get());
    SplitSearchPath(!a.empty() && !b.empty() ? b + L"," + a : (a.empty() ? b : a), folders, missing);
}

std::vector<_stringx> ModuleFilesIn(const _stringx& folder) {
    FoundFiles found;
    FindModuleFiles(folder, found);
    std::vector<_stringx> paths;
    for (size_t i = 0; i < found.files.size(); ++i) paths.push_back(found.PathOf(i));
    return paths;
}
}  // namespace server_internals
