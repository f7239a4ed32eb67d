#include "catalog/SearchLocationList.h"

#include <shlwapi.h>
#include <set>
#include "server/ComException.h"
#include "base/Handles.h"
#include "idl/RepoCommon.h"
#include "msi/ModuleCache.h"

void ReadRepositories(const _stringx& applicationFolder, DisplayNameMap& displayNames, _stringx& searchPathText) {
    displayNames.clear();
    _stringx file = JoinPath(JoinPath(applicationFolder, L"Repositories"), L"Repositories.xml");
    CRepositoryMgr manager(file.AsNarrow(), nullptr);
    CRepositories* repositories = nullptr;
    // The library answers with a list in every case; its result says nothing more.
    manager.GetRepositories("", &repositories, false);
    if (!repositories) return;
    for (size_t i = 0; i < repositories->Count(); ++i) {
        CRepository* repository = repositories->At(i);
        _stringx folder;
        repository->GetProperty(L"MMSearchPath", &folder);
        if (folder.empty()) continue;
        _stringx displayName;
        repository->GetProperty(L"DisplayName", &displayName);
        displayNames[folder.Lower()] = displayName;
        // The comma stays even before an empty text; the splitter drops the empty element.
        searchPathText = folder + L"," + searchPathText;
    }
}

namespace {
// The lease of the moment; a lease taken while the last one goes is a new lease, and the old one's
// end then leaves the list alone.
std::mutex g_leaseLock;
std::weak_ptr<void> g_currentLease;
}  // namespace

SourcesLease LeaseSources() {
    std::lock_guard<std::mutex> hold(g_leaseLock);
    SourcesLease lease = g_currentLease.lock();
    if (!lease) {
        lease = SourcesLease(new int(0), [](void* token) {
            delete static_cast<int*>(token);
            // The caches are written outside the lock: a lease taken meanwhile only reads them.
            SaveModuleCaches();
            LocationList gone;  // its entries go after both locks are given back
            std::lock_guard<std::mutex> hold(g_leaseLock);
            if (g_currentLease.expired()) gone = SearchLocationList::Instance().TakeAll();
        });
        g_currentLease = lease;
    }
    return lease;
}

SearchLocationList& SearchLocationList::Instance() {
    // Never destroyed: at process exit, entries must not call into sibling DLLs already detached.
    static SearchLocationList* list = new SearchLocationList();
    return *list;
}

LocationList SearchLocationList::Locations() const {
    std::lock_guard<std::mutex> hold(lock_);
    return locations_;
}

void SearchLocationList::Clear() { TakeAll(); }

LocationList SearchLocationList::TakeAll() {
    LocationList gone;
    {
        std::lock_guard<std::mutex> hold(lock_);
        gone.swap(locations_);
    }
    if (!gone.empty()) NoteSourcesChanged();
    return gone;
}

void SearchLocationList::Merge(const std::vector<_stringx>& folders, SHORT kind, const DisplayNameMap* displayNames,
                               bool& changed) {
    std::set<_stringx> wanted;
    for (const _stringx& folder : folders) wanted.insert(folder.Lower());
    for (auto it = locations_.begin(); it != locations_.end();) {
        _stringx key = (*it)->Folder().Lower();
        if ((*it)->Kind() != kind || wanted.count(key)) {
            ++it;
            continue;
        }
        it = locations_.erase(it);
        changed = true;
    }
    for (const _stringx& folder : folders) {
        _stringx key = folder.Lower();
        bool known = false;
        for (const auto& location : locations_) known = known || location->Folder().Lower() == key;
        if (known) continue;
        _stringx displayName;
        if (displayNames) {
            auto named = displayNames->find(key);
            if (named != displayNames->end()) displayName = named->second;
        }
        auto location = std::make_shared<SearchLocation>();
        location->Describe(folder, kind, displayName);
        locations_.push_back(std::move(location));
        // A new folder is a change too, so that catalogs show its modules at their next read.
        changed = true;
    }
}

LocationList SearchLocationList::Update(IAppSettings* settings, IAppFolders* folders, DisplayNameMap& displayNames,
                                        bool& changed, std::set<const SearchLocation*>* scanned) {
    changed = false;
    if (!settings || !folders) return Locations();

    unique_bstr first, second, application;
    CheckResult(settings->MergeModuleSearchPath(first.put()));
    CheckResult(folders->SecondSearchPath(second.put()));
    _stringx a(first.get()), b(second.get());
    _stringx text = !a.empty() && !b.empty() ? b + L"," + a : (a.empty() ? b : a);

    CheckResult(folders->ApplicationFolder(application.put()));
    ReadRepositories(application.get(), displayNames, text);

    std::vector<_stringx> listA;
    SplitSearchPath(text, listA);
    std::vector<_stringx> listB;
    for (LONG index = 0;; ++index) {
        unique_bstr folder;
        CheckResult(settings->MergeModuleFolder(index, folder.put()));
        if (!folder.get() || !*folder.get()) break;
        if (PathIsDirectoryW(folder.get())) listB.emplace_back(folder.get());
    }

    LocationList current;
    {
        std::lock_guard<std::mutex> hold(lock_);
        Merge(listA, 0, &displayNames, changed);
        Merge(listB, 1, nullptr, changed);
        current = locations_;
    }
    // A location another thread has just made may still be scanning: the scan waits for it.
    for (const auto& location : current)
        if (!location->Scanned()) {
            location->Scan();
            if (scanned) scanned->insert(location.get());
        }
    if (changed) NoteSourcesChanged();
    return current;
}
