#include "msi/ModuleEntry.h"

#include <set>
#include <stdexcept>
#include "base/FileStamp.h"
#include "msi/InstallerAccess.h"
#include "msi/ReaderPool.h"
#include "server/ComException.h"

namespace {
// The installer's answer to a file it cannot open, for a file it is never shown.
[[noreturn]] void RaiseUnreadable(const _stringx& path) {
    CheckInstallerResult(ERROR_FUNCTION_FAILED, L"MsiOpenDatabase", path.c_str());
    throw std::logic_error("unreachable");
}
}  // namespace

void ModuleEntry::Load(const _stringx& path, const _stringx& sourceLocation) {
    Load(path, sourceLocation, ReadModuleGuarded(ModuleRead::Header, path));
}

void ModuleEntry::Load(const _stringx& path, const _stringx& sourceLocation, const ModuleReadResult& header) {
    SetPath(path);
    SetSourceLocation(sourceLocation);
    ApplyHeader(header);
    ComputeDisplayName();
}

void ModuleEntry::ApplyHeader(const ModuleReadResult& read) {
    if (read.Failure) read.Failure.Raise();
    const ModuleHeader& h = read.Header;
    SetHeader(h.ModuleId, h.Language, h.Version, h.Author, h.Comments, h.RevisionNumber, h.Subject);
}

void ModuleEntry::ReadDialogNames(std::vector<_stringx>& names) {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::Dialogs, Path());
    names.insert(names.end(), read.Names.begin(), read.Names.end());
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadCustomActionNames(std::vector<_stringx>& names) {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::CustomActions, Path());
    names.insert(names.end(), read.Names.begin(), read.Names.end());
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadDependencies() {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::Dependencies, Path());
    for (const DependencyEntry& entry : read.Dependencies) AddDependency(entry);
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadExclusions() {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::Exclusions, Path());
    for (const ExclusionEntry& entry : read.Exclusions) AddExclusion(entry);
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::TakeDirectories(DirectoryAnswerMap& read) {
    // What is known already stands.
    DirectoryAnswerMap& known = Directories();
    if (known.empty()) known.swap(read);
    else known.insert(std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
}

void ModuleEntry::LinkCache(std::shared_ptr<LocationCache> cache, const ListedStamp& stamp) {
    cacheLink_ = std::make_unique<CacheLink>(CacheLink{std::move(cache), stamp});
}

namespace {
// A module file unchanged since it was listed: size and last-write time as the listing gave them.
bool StillAsListed(const _stringx& path, const ListedStamp& stamp) {
    FileStamp now = FileStamp::Of(path.c_str());
    ListedStamp listed{now.size, static_cast<ULONGLONG>(now.written.dwHighDateTime) << 32 | now.written.dwLowDateTime};
    return now.present && listed == stamp;
}
}  // namespace

ReadFailure ModuleEntry::ReadFiles() {
    LocationCache* cache = cacheLink_ && StillAsListed(Path(), cacheLink_->stamp) ? cacheLink_->cache.get() : nullptr;
    const std::wstring name = cache ? cache->NameOf(Path()) : std::wstring();
    ModuleReadResult read;
    bool cached = false;
    if (cache)
        cache->FindLists({{name, cacheLink_->stamp}}, [&](size_t, ModuleReadResult& list) {
            read = std::move(list);
            cached = true;
        });
    if (!cached) {
        read = ReadModuleGuarded(ModuleRead::Files, Path());
        if (cache) cache->NoteList(name, cacheLink_->stamp, read);
    }
    for (FileEntry& entry : read.Files) AddFile(std::move(entry));
    // The folders come with the list, so a file replaced or removed since then answers from them.
    TakeDirectories(read.Directories);
    return read.Failure;
}

void ModuleEntry::AdoptFileList(ModuleReadResult& read) {
    TakeDirectories(read.Directories);
    AdoptFiles(std::move(read.Files), std::move(read.Failure));
}

void PreloadFileLists(const std::vector<CatalogEntry*>& entries) {
    std::vector<ModuleEntry*> waiting;
    // Lists the cache holds for files still as listed (one listing per location, not a look at
    // each file) are taken from it; the rest are read, and the caches written once at the end.
    std::map<LocationCache*, std::pair<ListedFiles, std::vector<ModuleEntry*>>> fromCache;
    std::set<std::shared_ptr<LocationCache>> caches;
    for (CatalogEntry* entry : entries) {
        auto* module = dynamic_cast<ModuleEntry*>(entry);
        if (!module || module->FromGallery() || module->FilesLoaded()) continue;
        if (!module->cacheLink_) {
            waiting.push_back(module);
            continue;
        }
        LocationCache* cache = module->cacheLink_->cache.get();
        caches.insert(module->cacheLink_->cache);
        fromCache[cache].first.emplace_back(cache->NameOf(module->Path()), module->cacheLink_->stamp);
        fromCache[cache].second.push_back(module);
    }
    std::set<ModuleEntry*> current;
    for (auto& [cache, wanted] : fromCache) {
        ListedFiles now = cache->ListNow();
        std::map<std::wstring, ListedStamp> stamps(now.begin(), now.end());
        ListedFiles asked;
        std::vector<ModuleEntry*> askers;
        for (size_t i = 0; i < wanted.first.size(); ++i) {
            auto listed = stamps.find(wanted.first[i].first);
            bool same = listed != stamps.end() && listed->second == wanted.first[i].second;
            if (same) {
                current.insert(wanted.second[i]);
                asked.push_back(wanted.first[i]);
                askers.push_back(wanted.second[i]);
            }
        }
        cache->FindLists(asked, [&](size_t i, ModuleReadResult& list) { askers[i]->AdoptFileList(list); });
        for (ModuleEntry* module : wanted.second)
            if (!module->FilesLoaded()) waiting.push_back(module);
    }
    std::vector<_stringx> paths;
    for (ModuleEntry* module : waiting) paths.push_back(module->Path());
    ReadModulesGuarded(ModuleRead::Files, paths, [&](size_t i, ModuleReadResult& list) {
        ModuleEntry* module = waiting[i];
        if (current.count(module))
            module->cacheLink_->cache->NoteList(module->cacheLink_->cache->NameOf(module->Path()),
                                                module->cacheLink_->stamp, list);
        module->AdoptFileList(list);
    });
    for (const auto& cache : caches) cache->Save();
}

DirectoryAnswerMap& ModuleEntry::Directories() {
    if (!directories_) directories_ = std::make_unique<DirectoryAnswerMap>();
    return *directories_;
}

const _stringx* ModuleEntry::ModuleDirectory(const _stringx& directoryKey) {
    if (directoryKey.empty() || FromGallery()) return nullptr;
    DirectoryAnswerMap& directories = Directories();
    auto known = directories.find(directoryKey);
    if (known == directories.end()) {
        // The file list brings every folder it names through one open; its own failure is
        // reported by whoever asks for the list.
        LoadFiles();
        known = directories.find(directoryKey);
    }
    if (known == directories.end()) {
        ModuleReadResult read = ReadModuleGuarded(ModuleRead::Directory, Path(), directoryKey);
        if (read.Unsafe) RaiseUnreadable(Path());
        if (read.Failure) read.Failure.Raise();
        known = directories.emplace(directoryKey, read.Directories[directoryKey]).first;
    }
    const DirectoryAnswer& answer = known->second;
    if (answer.Failure) answer.Failure.Raise();
    return answer.Status == ERROR_SUCCESS ? &answer.Path : nullptr;
}
