#include "msi/ModuleEntry.h"

#include <functional>
#include <mutex>
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

std::mutex g_directoriesLock;
}  // namespace

void ModuleEntry::Load(const _stringx& path, const _stringx& sourceLocation) {
    Load(path, sourceLocation, ReadModuleGuarded(ModuleRead::Header, path));
}

void ModuleEntry::Load(_stringx path, const _stringx& sourceLocation, ModuleReadResult header) {
    SetPath(std::move(path));
    SetSourceLocation(sourceLocation);
    ApplyHeader(header);
    ComputeDisplayName();
}

void ModuleEntry::ApplyHeader(ModuleReadResult& read) {
    if (read.Failure) read.Failure.Raise();
    ModuleHeader& h = read.Header;
    SetHeader(std::move(h.ModuleId), h.Language, std::move(h.Version), std::move(h.Author), std::move(h.Comments),
              std::move(h.RevisionNumber), std::move(h.Subject));
}

ModuleReadResult ModuleEntry::Read(ModuleRead what, const _stringx& argument) {
    ModuleReadResult read = ReadModuleGuarded(what, Path(), argument);
    if (read.InUse) MarkStale();
    return read;
}

void ModuleEntry::ReadDialogNames(std::vector<_stringx>& names) {
    ModuleReadResult read = Read(ModuleRead::Dialogs);
    names.insert(names.end(), read.Names.begin(), read.Names.end());
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadCustomActionNames(std::vector<_stringx>& names) {
    ModuleReadResult read = Read(ModuleRead::CustomActions);
    names.insert(names.end(), read.Names.begin(), read.Names.end());
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadDependencies() {
    ModuleReadResult read = Read(ModuleRead::Dependencies);
    for (const DependencyEntry& entry : read.Dependencies) AddDependency(entry);
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadExclusions() {
    ModuleReadResult read = Read(ModuleRead::Exclusions);
    for (const ExclusionEntry& entry : read.Exclusions) AddExclusion(entry);
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::TakeDirectories(DirectoryAnswerMap& read) {
    std::lock_guard<std::mutex> hold(g_directoriesLock);
    // What is known already stands.
    DirectoryAnswerMap& known = Directories();
    if (known.empty()) known.swap(read);
    else known.insert(std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
}

void ModuleEntry::LinkCache(std::shared_ptr<LocationCache> cache, const ListedStamp& stamp) {
    cacheLink_.emplace(CacheLink{std::move(cache), stamp});
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
    if (cache) {
        ListedFiles wanted;
        wanted.Add(name, cacheLink_->stamp);
        cache->FindLists(wanted, [&](size_t, ModuleReadResult& list) {
            read = std::move(list);
            cached = true;
        });
    }
    if (!cached) {
        read = Read(ModuleRead::Files);
        if (cache) cache->NoteList(name, cacheLink_->stamp, read);
    }
    AddFiles(std::move(read.Files));
    // The folders come with the list, so a file replaced or removed since then answers from them.
    TakeDirectories(read.Directories);
    return read.Failure;
}

void ModuleEntry::AdoptFileList(ModuleReadResult& read) {
    TakeDirectories(read.Directories);
    AdoptFiles(std::move(read.Files), std::move(read.Failure));
}

// Lists the cache holds for files still as listed (one listing per location, not a look at each
// file) are taken from it; the rest are read, and the caches written once at the end. Each list is
// handed to settle by its module's index.
void ModuleEntry::ReadLists(const std::vector<ModuleEntry*>& modules,
                            const std::function<void(size_t, ModuleReadResult&)>& settle) {
    std::map<LocationCache*, std::vector<size_t>> byCache;
    std::set<std::shared_ptr<LocationCache>> caches;
    std::vector<size_t> reading;
    for (size_t k = 0; k < modules.size(); ++k) {
        if (!modules[k]->cacheLink_) {
            reading.push_back(k);
            continue;
        }
        byCache[modules[k]->cacheLink_->cache.get()].push_back(k);
        caches.insert(modules[k]->cacheLink_->cache);
    }
    std::set<size_t> current, cached;
    for (auto& [cache, wanted] : byCache) {
        ListedFiles now = cache->ListNow();
        std::map<std::wstring_view, ListedStamp> stamps;
        for (size_t i = 0; i < now.size(); ++i) stamps.emplace(now.Name(i), now.Stamp(i));
        ListedFiles asked;
        std::vector<size_t> askers;
        for (size_t k : wanted) {
            std::wstring name = cache->NameOf(modules[k]->Path());
            auto listed = stamps.find(name);
            if (listed == stamps.end() || listed->second != modules[k]->cacheLink_->stamp) continue;
            current.insert(k);
            asked.Add(name, listed->second);
            askers.push_back(k);
        }
        cache->FindLists(asked, [&](size_t i, ModuleReadResult& list) {
            cached.insert(askers[i]);
            settle(askers[i], list);
        });
        for (size_t k : wanted)
            if (!cached.count(k)) reading.push_back(k);
    }
    std::vector<_stringx> paths;
    for (size_t k : reading) paths.push_back(modules[k]->Path());
    ReadModulesGuarded(ModuleRead::Files, paths, [&](size_t i, ModuleReadResult& list) {
        ModuleEntry* module = modules[reading[i]];
        if (list.InUse) module->MarkStale();
        if (current.count(reading[i]))
            module->cacheLink_->cache->NoteList(module->cacheLink_->cache->NameOf(module->Path()),
                                                module->cacheLink_->stamp, list);
        settle(reading[i], list);
    });
    for (const auto& cache : caches) cache->Save();
}

void PreloadFileLists(const std::vector<CatalogEntry*>& entries) {
    // Lists another thread reads meanwhile are left to it; whoever asks for them waits then.
    std::vector<ModuleEntry*> claimed;
    for (CatalogEntry* entry : entries) {
        auto* module = dynamic_cast<ModuleEntry*>(entry);
        if (!module || module->FromGallery() || module->FilesLoaded() || !module->ClaimFiles()) continue;
        claimed.push_back(module);
    }
    // Every list claimed is settled, as its own read would have been.
    std::vector<bool> settled(claimed.size());
    auto settleRest = [&](const ReadFailure& failure) {
        for (size_t k = 0; k < claimed.size(); ++k) {
            if (settled[k]) continue;
            settled[k] = true;
            claimed[k]->FailFiles(failure);
            claimed[k]->FinishFiles();
        }
    };
    try {
        ModuleEntry::ReadLists(claimed, [&](size_t k, ModuleReadResult& list) {
            claimed[k]->AdoptFileList(list);
            settled[k] = true;
            claimed[k]->FinishFiles();
        });
    } catch (const CComException& error) {
        settleRest(ReadFailure::Of(error.Error()));
        throw;
    } catch (const std::bad_alloc&) {
        settleRest(ReadFailure{E_OUTOFMEMORY});
        throw;
    }
}

DirectoryAnswerMap& ModuleEntry::Directories() {
    if (!directories_) directories_ = std::make_unique<DirectoryAnswerMap>();
    return *directories_;
}

const DirectoryAnswer* ModuleEntry::KnownDirectory(const _stringx& directoryKey) {
    std::lock_guard<std::mutex> hold(g_directoriesLock);
    DirectoryAnswerMap& directories = Directories();
    auto known = directories.find(directoryKey);
    return known == directories.end() ? nullptr : &known->second;
}

const _stringx* ModuleEntry::ModuleDirectory(const _stringx& directoryKey) {
    if (directoryKey.empty() || FromGallery()) return nullptr;
    const DirectoryAnswer* answer = KnownDirectory(directoryKey);
    if (!answer) {
        // The file list brings every folder it names through one open; its own failure is
        // reported by whoever asks for the list.
        LoadFiles();
        answer = KnownDirectory(directoryKey);
    }
    if (!answer) {
        ModuleReadResult read = Read(ModuleRead::Directory, directoryKey);
        if (read.Unsafe) RaiseUnreadable(Path());
        if (read.Failure) read.Failure.Raise();
        std::lock_guard<std::mutex> hold(g_directoriesLock);
        // Another thread's answer for the key may have been filed meanwhile: the first stands.
        answer = &Directories().emplace(directoryKey, read.Directories[directoryKey]).first->second;
    }
    if (answer->Failure) answer->Failure.Raise();
    return answer->Status == ERROR_SUCCESS ? &answer->Path : nullptr;
}
