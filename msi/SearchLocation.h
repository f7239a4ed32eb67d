// One searched folder and the catalog entries of the module files found in it. A rescan reports
// whether a module appeared, vanished or changed, so that the catalog rebuilds only when needed.
#pragma once
#include <windows.h>
#include <map>
#include <memory>
#include <vector>
#include "model/CatalogEntry.h"

using FoundFileMap = std::map<_stringx, FILETIME>;  // full path -> last-write time
// Shared: a module object handed out keeps its entry alive after a rescan replaced it.
using EntryMap = std::map<_stringx, std::shared_ptr<CatalogEntry>>;

// Counts every change of a location's modules or of the list of locations, in the whole process:
// what was derived from them is stale once it moves.
ULONG SourcesGeneration();
void NoteSourcesChanged();

// Adds every *.msm file of one folder (not sub-folders, not folders named *.msm).
void FindModuleFiles(const _stringx& folder, FoundFileMap& found);

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
    EntryMap modules_;
    _stringx folder_;
    SHORT kind_ = 0;
    _stringx displayName_;
};
