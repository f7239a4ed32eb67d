#include "msi/SearchLocation.h"

#include <vector>
#include "msi/ModuleReader.h"
#include "msi/ReaderProcess.h"
#include "server/Handles.h"

namespace {
ULONG g_sourcesGeneration = 0;
}  // namespace

ULONG SourcesGeneration() { return g_sourcesGeneration; }
void NoteSourcesChanged() { ++g_sourcesGeneration; }

void FindModuleFiles(const _stringx& folder, FoundFileMap& found) {
    _stringx pattern = folder;
    if (!pattern.ends_with(L'\\')) pattern += L"\\";
    pattern += L"*.msm";
    _stringx folderPart = pattern.substr(0, pattern.rfind(L'\\') + 1);
    WIN32_FIND_DATAW data;
    unique_find search(FindFirstFileW(pattern.c_str(), &data));
    if (!search) return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        found[folderPart + data.cFileName] = data.ftLastWriteTime;
    } while (FindNextFileW(search.get(), &data));
}

void SearchLocation::Initialise(const _stringx& folder, SHORT kind, const _stringx& displayName) {
    folder_ = folder;
    kind_ = kind;
    displayName_ = displayName;
    Scan();
}

bool SearchLocation::Scan() {
    bool changed = false;
    FoundFileMap found;
    if (kind_ == 1) {
        // The location's own path is the only candidate; a folder, or a path that does not exist, is
        // no module.
        WIN32_FIND_DATAW data;
        unique_find search(FindFirstFileW(folder_.c_str(), &data));
        if (search && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) found[folder_] = data.ftLastWriteTime;
    } else {
        FindModuleFiles(folder_, found);
    }

    std::vector<_stringx> stale;
    for (const auto& module : modules_) {
        auto seen = found.find(module.first);
        if (seen == found.end()) {
            stale.push_back(module.first);
            continue;
        }
        ULARGE_INTEGER recorded;
        recorded.QuadPart = module.second->LastWriteTime();
        FILETIME recordedTime{recorded.LowPart, recorded.HighPart};
        if (CompareFileTime(&recordedTime, &seen->second) < 0) stale.push_back(module.first);
    }
    for (const _stringx& path : stale) {
        modules_.erase(path);
        changed = true;
    }

    // New files' headers are read together, several at once, then taken in path order.
    std::vector<_stringx> added;
    for (const auto& file : found)
        if (!modules_.count(file.first)) added.push_back(file.first);
    ReadModulesGuarded(ModuleRead::Header, added, [&](size_t i, ModuleReadResult& header) {
        auto entry = std::make_shared<ModuleEntry>();
        entry->Load(added[i], displayName_, header);
        entry->SetLastWriteTime(found[added[i]]);
        _stringx key = entry->Path();
        modules_[key] = std::move(entry);
        changed = true;
    });
    if (changed) NoteSourcesChanged();
    return changed;
}
