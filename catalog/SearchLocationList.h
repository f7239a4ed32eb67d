// Where merge modules live: the process-wide list of search locations, made from the search path
// texts, the repositories and the folders the application services list one by one, and kept
// current between calls.
#pragma once
#include <windows.h>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>
#include "appservices.h"
#include "msi/SearchLocation.h"

// Repository folder (lower-cased) -> its display name.
using DisplayNameMap = std::map<_stringx, _stringx>;

// Records the display name of every repository folder and puts the folders in front of the search
// path text, so that repositories later in the library's order stand earlier in the text.
void ReadRepositories(const _stringx& applicationFolder, DisplayNameMap& displayNames, _stringx& searchPathText);

// Every catalog object, and every location item handed out, holds the lease; the list goes when the
// last lease is given back.
using SourcesLease = std::shared_ptr<void>;
SourcesLease LeaseSources();

// Shared: a location item handed out keeps its location alive after the location left the list.
using LocationList = std::list<std::shared_ptr<SearchLocation>>;

// One per process, shared by every apartment: the list is changed and copied under its lock, which
// is never held while the application services are asked or a folder is scanned.
class SearchLocationList {
public:
    static SearchLocationList& Instance();

    // Brings the list up to date and answers a copy of it; changed is set when a location was removed
    // or added. Locations found for the first time are scanned before the answer; those this call
    // scanned go into scanned, when given, as listed late enough for the caller.
    LocationList Update(IAppSettings* settings, IAppFolders* folders, DisplayNameMap& displayNames, bool& changed,
                        std::set<const SearchLocation*>* scanned = nullptr);
    LocationList Locations() const;
    // The last lease is gone: the locations go too (each as soon as nothing else uses it).
    void Clear();
    // The same, handing the locations to the caller, to be let go of outside any lock.
    LocationList TakeAll();

private:
    void Merge(const std::vector<_stringx>& folders, SHORT kind, const DisplayNameMap* displayNames, bool& changed);

    mutable std::mutex lock_;
    LocationList locations_;
};
