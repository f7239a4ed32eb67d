#include "msi/SearchLocation.h"

#include <algorithm>
#include <string_view>
#include <vector>
#include "msi/ModuleEntry.h"
#include "msi/ReaderPool.h"
#include "base/Handles.h"

namespace {
ULONG g_sourcesGeneration = 0;
}  // namespace

ULONG SourcesGeneration() { return g_sourcesGeneration; }
void NoteSourcesChanged() { ++g_sourcesGeneration; }

void FindModuleFiles(const _stringx& folder, FoundFiles& found) {
    _stringx pattern = folder;
    if (!pattern.ends_with(L'\\')) pattern += L"\\";
    pattern += L"*.msm";
    found.folder = pattern.substr(0, pattern.rfind(L'\\') + 1);
    found.files.clear();
    WIN32_FIND_DATAW data;
    unique_find search(FindFirstFileW(pattern.c_str(), &data));
    if (!search) return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        found.files.emplace_back(data.cFileName, ListedStamp::Of(data));
    } while (FindNextFileW(search.get(), &data));
    // One folder: the order of the names is the order of the paths.
    std::sort(found.files.begin(), found.files.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
}

void SearchLocation::Initialise(const _stringx& folder, SHORT kind, const _stringx& displayName) {
    folder_ = folder;
    kind_ = kind;
    displayName_ = displayName;
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
        found.files.emplace_back(folder.str(), ListedStamp::Of(data));
}

void SearchLocation::AddEntry(const FoundFiles& found, size_t i, const ModuleReadResult& header) {
    auto entry = std::make_shared<ModuleEntry>();
    entry->Load(found.PathOf(i), displayName_, header);
    entry->SetLastWriteTime(found.files[i].second.written);
    if (cache_) entry->LinkCache(cache_, found.files[i].second);
    _stringx key = entry->Path();
    modules_[key] = std::move(entry);
}

bool SearchLocation::Scan() {
    bool changed = false;
    FoundFiles found;
    ListLocation(folder_, kind_, found);
    if (!cacheOpened_) {
        cacheOpened_ = true;
        cache_ = LocationCache::Open(folder_, kind_);
    }

    // Both lists are in path order: one walk retires the entries whose file vanished or became
    // newer and collects the files that need an entry.
    std::vector<size_t> fresh;
    size_t prefix = found.folder.length();
    auto file = found.files.begin();
    for (auto module = modules_.begin(); module != modules_.end();) {
        std::wstring_view name(module->first.c_str(), module->first.length());
        name.remove_prefix(std::min(prefix, name.size()));
        for (; file != found.files.end() && std::wstring_view(file->first) < name; ++file)
            fresh.push_back(file - found.files.begin());
        if (file == found.files.end() || std::wstring_view(file->first) != name) {
            module = modules_.erase(module);
            changed = true;
            continue;
        }
        if (module->second->LastWriteTime() < file->second.written) {
            module = modules_.erase(module);
            changed = true;
            fresh.push_back(file - found.files.begin());
        } else {
            ++module;
        }
        ++file;
    }
    for (; file != found.files.end(); ++file) fresh.push_back(file - found.files.begin());

    // New files' headers come from the cache where it knows them; the others are read together,
    // several at once, then taken in path order.
    std::vector<size_t> reading;
    for (size_t i : fresh) {
        ModuleReadResult header;
        if (cache_ && cache_->FindHeader(found.files[i].first, found.files[i].second, header)) {
            AddEntry(found, i, header);
            changed = true;
        } else {
            reading.push_back(i);
        }
    }
    std::vector<_stringx> added;
    for (size_t i : reading) added.push_back(found.PathOf(i));
    ReadModulesGuarded(ModuleRead::Header, added, [&](size_t k, ModuleReadResult& header) {
        const auto& [name, stamp] = found.files[reading[k]];
        if (cache_) cache_->NoteHeader(name, stamp, header);
        AddEntry(found, reading[k], header);
        changed = true;
    });
    if (cache_) {
        cache_->Retain(found.files);
        cache_->Save();
    }
    if (changed) NoteSourcesChanged();
    return changed;
}
