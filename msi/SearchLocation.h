// One searched folder and the catalog entries of the module files found in it. A rescan reports
// whether a module appeared, vanished or changed, so that the catalog rebuilds only when needed.
#pragma once
#include <windows.h>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>
#include "base/Handles.h"
#include "model/CatalogEntry.h"
#include "msi/ModuleCache.h"

// The module files of one folder: names (full paths when the folder is empty), sizes and last-write
// times, in the order of the paths. A rescan compares names only, not whole paths.
struct FoundFiles {
    _stringx folder;  // ends in a backslash, or empty
    ListedFiles files;
    _stringx PathOf(size_t i) const;
};
// Shared: a module object handed out keeps its entry alive after a rescan replaced it.
using EntryMap = std::map<_stringx, std::shared_ptr<CatalogEntry>>;
// A location's modules as one scan left them; a rescan that changes them publishes a new map.
using EntryMapSnapshot = std::shared_ptr<const EntryMap>;

// Counts every change of a location's modules or of the list of locations, in the whole process:
// what was derived from them is stale once it moves.
ULONG SourcesGeneration();
void NoteSourcesChanged();

// Every *.msm file of one folder (not sub-folders, not folders named *.msm).
void FindModuleFiles(const _stringx& folder, FoundFiles& found);
// The candidates of a location of that kind (see SearchLocation::Initialise).
void ListLocation(const _stringx& folder, SHORT kind, FoundFiles& found);

// Shared by every apartment: one scan of a location at a time; a thread that finds a scan under way
// waits for it and then scans itself, as the folder may have changed after that scan listed it,
// unless a scan that began after the thread came has ended meanwhile.
class SearchLocation {
public:
    // Kind 0: a folder of the search path or of a repository. Kind 1: a folder listed one by one
    // by the application services, scanned as the path of one module file.
    void Initialise(const _stringx& folder, SHORT kind, const _stringx& displayName);
    // The same without the first scan (the list is made under its lock, and scanned after).
    void Describe(const _stringx& folder, SHORT kind, const _stringx& displayName);
    // Retires entries whose file vanished or became newer, loads entries for new files.
    bool Scan();
    bool Scanned() const { return scanned_; }

    const _stringx& Folder() const { return folder_; }
    SHORT Kind() const { return kind_; }
    const _stringx& DisplayName() const { return displayName_; }
    // Entries by full path, in path order.
    EntryMapSnapshot Modules() const;

private:
    // Lists the folder and files what changed into a new map; true when anything did.
    bool Rescan(EntryMapSnapshot& modules);
    // Entries for the files at the indexes fresh, into after (a copy of before made on the first).
    bool LoadFresh(const FoundFiles& found, const std::vector<size_t>& fresh, const EntryMap& before,
                   std::shared_ptr<EntryMap>& after);
    std::shared_ptr<CatalogEntry> NewEntry(const FoundFiles& found, size_t i, ModuleReadResult header);

    mutable std::mutex lock_;  // guards modules_ and the scan under way
    EntryMapSnapshot modules_ = std::make_shared<const EntryMap>();
    bool scanning_ = false;
    std::shared_ptr<unique_handle> scanDone_;  // set when the scan under way ends
    ULONG scansBegun_ = 0;  // scans are numbered as they begin
    ULONG lastEnded_ = 0;
    std::atomic<bool> scanned_{false};
    // The folder's cache, opened by the first scan; only the scan under way uses it.
    std::shared_ptr<LocationCache> cache_;
    bool cacheOpened_ = false;
    _stringx folder_;
    SHORT kind_ = 0;
    _stringx displayName_;
};
