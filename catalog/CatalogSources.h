// Where merge modules live: the process-wide list of search locations, made from the search path
// texts, the repositories and the folders the application services list one by one, and kept
// current between calls.
#pragma once
#include <windows.h>
#include <list>
#include <map>
#include <memory>
#include <vector>
#include "appservices.h"
#include "msi/SearchLocation.h"

// Repository folder (lower-cased) -> its display name.
using DisplayNameMap = std::map<_stringx, _stringx>;

// Records the display name of every repository folder and puts the folders in front of the search
// path text, so that repositories later in the library's order stand earlier in the text.
void ReadRepositories(const _stringx& applicationFolder, DisplayNameMap& displayNames, _stringx& searchPathText);

// Every catalog object, and every object handed out that reads a location's entries, holds the lease;
// the locations and the parked ones go when the last lease is given back.
using SourcesLease = std::shared_ptr<void>;
SourcesLease LeaseSources();

class SearchLocationList {
public:
    static SearchLocationList& Instance();

    // Brings the list up to date; changed is set when a location was removed or added. Locations
    // found for the first time are scanned as they are made.
    const std::list<std::unique_ptr<SearchLocation>>& Update(IAppSettings* settings, IAppFolders* folders,
                                                             DisplayNameMap& displayNames, bool& changed);
    const std::list<std::unique_ptr<SearchLocation>>& Locations() const { return locations_; }
    // The last lease is gone: locations and parked locations go too.
    void Clear();

private:
    void Merge(const std::vector<_stringx>& folders, SHORT kind, const DisplayNameMap* displayNames, bool& changed);

    std::list<std::unique_ptr<SearchLocation>> locations_;
    // Removed locations live on until the last lease goes: objects handed out earlier refer to their
    // entries, even when the same folder is removed again.
    std::vector<std::unique_ptr<SearchLocation>> parked_;
};
