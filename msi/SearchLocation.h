// One searched folder and the catalog entries of the module files found in it. A rescan reports
// whether a module appeared, vanished or changed, so that the catalog rebuilds only when needed.
#pragma once
#include <windows.h>
#include <map>
#include <memory>
#include <vector>
#include "model/CatalogEntry.h"
#include "msi/ModuleCache.h"

// The module files of one folder: names (full paths when the folder is empty), sizes and last-write
// times, in the order of the paths. A rescan compares names only, not whole paths.
struct FoundFiles {
    _stringx folder;  // ends in a backslash, or empty
    ListedFiles files;
    _stringx PathOf(size_t i) const { return folder + files[i].first.c_str(); }
};
// Shared: a module object handed out keeps its entry alive after a rescan replaced it.
using EntryMap = std::map<_stringx, std::shared_ptr<CatalogEntry>>;

// Counts every change of a location's modules or of the list of locations, in the whole process:
// what was derived from them is stale once it moves.
ULONG SourcesGeneration();
void NoteSourcesChanged();

// Every *.msm file of one folder (not sub-folders, not folders named *.msm).
void FindModuleFiles(const _stringx& folder, FoundFiles& found);
// The candidates of a location of that kind (see SearchLocation::Initialise).
void ListLocation(const _stringx& folder, SHORT kind, FoundFiles& found);

class SearchLocation {
public:
    // Kind 0: a folder of the search path or of a repository. Kind 1: a folder listed one by one
    // by the application services, scanned as the path of one module file.
    void Initialise(const _stringx& folder, SHORT kind, const _stringx& displayName);
    // Retires entries whose file vanished or became newer, loads entries for new files.
    bool Scan();

    const _stringx& Folder() const { return folder_; }
    SHORT Kind() const { return kind_; }
    const _stringx& DisplayName() const { return displayName_; }
    // Entries by full path, in path order.
    const EntryMap& Modules() const { return modules_; }

private:
    void AddEntry(const FoundFiles& found, size_t i, const ModuleReadResult& header);

    EntryMap modules_;
    std::shared_ptr<LocationCache> cache_;
    bool cacheOpened_ = false;
    _stringx folder_;
    SHORT kind_ = 0;
    _stringx displayName_;
};
