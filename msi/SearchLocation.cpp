#include "msi/SearchLocation.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <vector>
#include "msi/ModuleEntry.h"
#include "msi/ReaderPool.h"
#include "base/Handles.h"
#include "server/ApartmentWait.h"

namespace {
std::atomic<ULONG> g_sourcesGeneration{0};
}  // namespace

ULONG SourcesGeneration() { return g_sourcesGeneration; }
void NoteSourcesChanged() { ++g_sourcesGeneration; }

namespace {
bool StillAsListed(const _stringx& path, const ListedStamp& listed) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    ULARGE_INTEGER written{{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime}};
    return written.QuadPart == listed.written;
}
}  // namespace

_stringx FoundFiles::PathOf(size_t i) const {
    std::wstring_view name = files.Name(i);
    std::wstring path;
    path.reserve(folder.length() + name.size());
    path.append(folder.c_str(), folder.length()).append(name);
    return _stringx(std::move(path));
}

void FindModuleFiles(const _stringx& folder, FoundFiles& found) {
    _stringx pattern = folder;
    if (!pattern.ends_with(L'\\')) pattern += L"\\";
    pattern += L"*.msm";
    found.folder = pattern.substr(0, pattern.rfind(L'\\') + 1);
    found.files.Clear();
    WIN32_FIND_DATAW data;
    // Without short names and many entries a call, for fewer round trips to a network share; a
    // pattern still matches short names, so the files are the same.
    unique_find search(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                        FIND_FIRST_EX_LARGE_FETCH));
    if (!search) return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        found.files.Add(data.cFileName, ListedStamp::Of(data));
    } while (FindNextFileW(search.get(), &data));
    // One folder: the order of the names is the order of the paths.
    found.files.SortByName();
}

void SearchLocation::Initialise(const _stringx& folder, SHORT kind, const _stringx& displayName) {
    Describe(folder, kind, displayName);
    Scan();
}

void ListLocation(const _stringx& folder, SHORT kind, FoundFiles& found) {
    if (kind != 1) return FindModuleFiles(folder, found);
    // The location's own path is the only candidate; a folder, or a path that does not exist, is
    // no module.
    found = FoundFiles();
    WIN32_FIND_DATAW data;
    unique_find search(FindFirstFileW(folder.c_str(), &data));
    if (search && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        found.files.Add(folder.str(), ListedStamp::Of(data));
}

std::shared_ptr<CatalogEntry> SearchLocation::NewEntry(const FoundFiles& found, size_t i, ModuleReadResult header) {
    auto entry = std::make_shared<ModuleEntry>();
    const bool inUse = header.InUse;
    // Its texts move into the entry: a copy apiece costs thousands of allocations a start.
    entry->Load(found.PathOf(i), displayName_, std::move(header));
    entry->SetLastWriteTime(found.files.Stamp(i).written);
    if (inUse) entry->MarkStale();
    if (cache_) entry->LinkCache(cache_, found.files.Stamp(i));
    return entry;
}

void SearchLocation::Describe(const _stringx& folder, SHORT kind, const _stringx& displayName) {
    folder_ = folder;
    kind_ = kind;
    displayName_ = displayName;
}

EntryMapSnapshot SearchLocation::Modules() const {
    std::lock_guard<std::mutex> hold(lock_);
    return modules_;
}

bool SearchLocation::Scan() {
    std::shared_ptr<unique_handle> done;
    ULONG arrival = 0, number = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        arrival = scansBegun_;
    }
    for (;;) {
        std::shared_ptr<unique_handle> underWay;
        {
            std::lock_guard<std::mutex> hold(lock_);
            // A scan that began after this call came listed the folder late enough for it.
            if (lastEnded_ > arrival) return false;
            if (!scanning_) {
                done = std::make_shared<unique_handle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
                if (!*done) throw std::bad_alloc();
                scanning_ = true;
                scanDone_ = done;
                number = ++scansBegun_;
                break;
            }
            underWay = scanDone_;
        }
        WaitInServer(underWay->get());
    }
    // Others wait for this scan: this thread dispatches no calls until it ends.
    OwedWork owed;
    struct Ending {
        SearchLocation& location;
        std::shared_ptr<unique_handle> done;
        ULONG number;
        ~Ending() {
            {
                std::lock_guard<std::mutex> hold(location.lock_);
                location.scanning_ = false;
                location.scanDone_.reset();
                location.lastEnded_ = number;
            }
            SetEvent(done->get());
        }
    } ending{*this, done, number};
    EntryMapSnapshot modules = Modules();
    bool changed = Rescan(modules);
    if (changed) {
        std::lock_guard<std::mutex> hold(lock_);
        modules_ = std::move(modules);
    }
    scanned_ = true;
    // Counted after the new map is in place: whoever sees the count move finds the new modules.
    if (changed) NoteSourcesChanged();
    return changed;
}

bool SearchLocation::Rescan(EntryMapSnapshot& modules) {
    bool changed = false;
    FoundFiles found;
    ListLocation(folder_, kind_, found);
    if (!cacheOpened_) {
        cacheOpened_ = true;
        cache_ = LocationCache::Open(folder_, kind_);
    }

    // Both lists are in path order: one walk retires the entries whose file vanished or became
    // newer and collects the files that need an entry. The published map is copied on the first
    // change only.
    std::vector<size_t> fresh;
    const EntryMap& before = *modules;
    std::shared_ptr<EntryMap> after;
    auto retire = [&](EntryMap::const_iterator module) {
        if (!after) after = std::make_shared<EntryMap>(before);
        after->erase(module->first);
        changed = true;
    };
    size_t prefix = found.folder.length();
    const ListedFiles& files = found.files;
    size_t file = 0;
    for (auto module = before.begin(); module != before.end(); ++module) {
        std::wstring_view name(module->first.c_str(), module->first.length());
        name.remove_prefix(std::min(prefix, name.size()));
        for (; file < files.size() && files.Name(file) < name; ++file) fresh.push_back(file);
        if (file == files.size() || files.Name(file) != name) {
            retire(module);
            continue;
        }
        if (module->second->LastWriteTime() < files.Stamp(file).written) {
            retire(module);
            fresh.push_back(file);
        }
        ++file;
    }
    for (; file < files.size(); ++file) fresh.push_back(file);

    changed |= LoadFresh(found, fresh, before, after);
    if (after) modules = std::move(after);
    return changed;
}

bool SearchLocation::LoadFresh(const FoundFiles& found, const std::vector<size_t>& fresh, const EntryMap& before,
                               std::shared_ptr<EntryMap>& after) {
    bool changed = false;
    // New files' headers come from the cache where it knows them; the others are read together,
    // several at once, then taken in path order.
    auto add = [&](size_t i, ModuleReadResult& header) {
        std::shared_ptr<CatalogEntry> entry = NewEntry(found, i, std::move(header));
        if (!after) after = std::make_shared<EntryMap>(before);
        // Files come in path order: on a first scan each lands at the end.
        _stringx path = entry->Path();
        if (after->empty() || std::prev(after->end())->first < path)
            after->emplace_hint(after->end(), std::move(path), std::move(entry));
        else
            (*after)[path] = std::move(entry);
        changed = true;
    };
    std::vector<size_t> reading;
    for (size_t i : fresh) {
        ModuleReadResult header;
        if (cache_ && cache_->FindHeader(found.files.Name(i), found.files.Stamp(i), header)) {
            add(i, header);
        } else {
            reading.push_back(i);
        }
    }
    std::vector<_stringx> added;
    for (size_t i : reading) added.push_back(found.PathOf(i));
    ReadModulesGuarded(ModuleRead::Header, added, [&](size_t k, ModuleReadResult& header) {
        const ListedStamp& stamp = found.files.Stamp(reading[k]);
        // A file refused, or that did not open, because it went away or changed after the listing is
        // left to the next scan: kept, it would stand for the file that comes back under the same
        // name and time.
        auto doubtful = [](const ModuleReadResult& read) {
            return read.Unsafe || read.InstallerFailed || static_cast<bool>(read.Failure);
        };
        if (doubtful(header) && !StillAsListed(added[k], stamp)) return;
        // It may also have gone and come back meanwhile: a refusal is kept only when it holds twice.
        if (doubtful(header)) header = ReadModuleGuarded(ModuleRead::Header, added[k]);
        if (doubtful(header) && !StillAsListed(added[k], stamp)) return;
        if (cache_) cache_->NoteHeader(std::wstring(found.files.Name(reading[k])), stamp, header);
        add(reading[k], header);
    });
    if (cache_) {
        cache_->Retain(found.files);
        cache_->Save();
    }
    return changed;
}
