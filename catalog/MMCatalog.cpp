#include "catalog/MMCatalog.h"

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <set>
#include <shlwapi.h>
#include "catalog/FileSearch.h"
#include "catalog/SearchLocationItems.h"
#include "catalog/SettingsDocument.h"
#include "folders/FolderSyntax.h"
#include "model/ModuleIndex.h"
#include "msi/MergeModule2.h"
#include "project.h"
#include "server/SiblingLoader.h"

namespace {
const wchar_t kAppServicesDll[] = L"CvAppServices.dll";

// Every live catalog object of the process, in every apartment; a change seen by one marks all of
// them dirty. Guarded by LiveCatalogsLock.
std::list<MMCatalogBase*>& LiveCatalogs() {
    static std::list<MMCatalogBase*> live;
    return live;
}
std::mutex& LiveCatalogsLock() {
    static std::mutex lock;
    return lock;
}

template <typename Interface>
ComPtr<Interface> CreateAppServices(REFIID iid) {
    ComPtr<Interface> object;
    CheckResult(CreateSiblingObject(kAppServicesDll, CLSID_AppServices, iid, object.PutVoid()));
    CheckPointer(object.Get());
    return object;
}

// A module object bound to the entry, under its EntryKey.
CollectionElement ModuleElement(CatalogEntry* entry, const std::shared_ptr<void>& keepAlive) {
    ComPtr<IDispatch> item;
    CheckResult(MergeModule2::CreateBound(entry, keepAlive, IID_IDispatch, item.PutVoid()));
    return CollectionElement{entry->EntryKey(), std::move(item)};
}

// Added to the collection (a later equal key replaces the earlier module in place).
void AddModule(ModuleCollection& modules, CatalogEntry* entry, const std::shared_ptr<void>& keepAlive) {
    CollectionElement element = ModuleElement(entry, keepAlive);
    modules.CollectionStore::Add(std::move(element.key), element.item.Get());
}

// The signature that the file-to-module index gives for a file: its value is "flag:ModuleID[:Language]",
// only flag 0 names a module, and no language means any (0).
bool SignatureForFile(const _stringx& fileName, _stringx& signature) {
    _stringx value;
    if (fileName.empty() || !LookupFileModule(fileName.Lower(), value)) return false;
    size_t colon = value.find(L':');
    if (colon == _stringx::npos || value.substr(0, colon) != _stringx(L"0")) return false;
    signature = value.substr(colon + 1);
    if (signature.find(L':') == _stringx::npos) signature += L":0";
    return true;
}

}  // namespace

// Construction connects to the application services; a failure there fails the creation.
MMCatalogBase::MMCatalogBase()
    : settings_(CreateAppServices<IAppSettings>(IID_IAppSettings)),
      folders_(CreateAppServices<IAppFolders>(IID_IAppFolders)) {
    std::lock_guard<std::mutex> hold(LiveCatalogsLock());
    LiveCatalogs().push_back(this);
}

MMCatalogBase::~MMCatalogBase() {
    std::lock_guard<std::mutex> hold(LiveCatalogsLock());
    LiveCatalogs().remove(this);
}

size_t MMCatalogBase::LiveCount() {
    std::lock_guard<std::mutex> hold(LiveCatalogsLock());
    return LiveCatalogs().size();
}

void MMCatalogBase::MarkAllDirty() {
    std::lock_guard<std::mutex> hold(LiveCatalogsLock());
    for (MMCatalogBase* catalog : LiveCatalogs()) catalog->dirty_ = 1;
}

void* MMCatalogBase::InternalQueryInterface(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IMMCatalog || iid == IID_IMMCatalog1 ||
        iid == IID_IMMCatalog2)
        return static_cast<IMMCatalog2*>(this);
    if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
}

STDMETHODIMP MMCatalogBase::InterfaceSupportsErrorInfo(REFIID iid) {
    return iid == IID_IMMCatalog || iid == IID_IMMCatalog1 || iid == IID_IMMCatalog2 ? S_OK : S_FALSE;
}

STDMETHODIMP MMCatalogBase::Reserved1(LONG, LONG, LONG* result) {
    if (result) *result = 0;
    return S_OK;
}

STDMETHODIMP MMCatalogBase::Reserved2(LONG, LONG* result) {
    if (result) *result = 0;
    return S_OK;
}

STDMETHODIMP MMCatalogBase::Reserved3(LONG* result) {
    if (result) *result = 0;
    return S_OK;
}

STDMETHODIMP MMCatalogBase::Reserved4(LONG, LONG* result) {
    if (result) *result = 0;
    return S_OK;
}

STDMETHODIMP MMCatalogBase::SetAutoRefresh(VARIANT_BOOL on) {
    autoRefresh_ = on ? 1 : 0;
    return S_OK;
}

HRESULT MMCatalogBase::CheckApplicable(IUnknown* project, VARIANT_BOOL* applicable) {
    if (!applicable || !project) return E_INVALIDARG;
    *applicable = VARIANT_TRUE;
    return Guard([&] {
        ComPtr<IProjectObject> projectObject;
        CheckResult(project->QueryInterface(IID_IProjectObject, projectObject.PutVoid()));
        ComPtr<IProjectDetails> details;
        CheckResult(projectObject->Details(details.Put()));
        CheckPointer(details.Get());
        LONG type = 0;
        CheckResult(details->ProjectType(&type));
        if (!ServesProjectType(type)) *applicable = VARIANT_FALSE;
        return S_OK;
    });
}

// ---------------------------------------------------------------- MMCatalog

HRESULT MMCatalog::FinalConstruct() {
    return Guard([&] {
        searchPaths_ = CreateAppServices<IAppSearchPaths>(IID_IAppSearchPaths);
        ComPtr<IAppFolders> folders;
        CheckResult(searchPaths_.As(IID_IAppFolders, folders));

        unique_bstr patterns;
        CheckResult(folders->ExcludedFilePatterns(patterns.put()));
        excludedFilePatterns_ = SplitAtComma(patterns.get());

        // The index files are read by the first catalog of the process only; others wait for it.
        if (!IndexesLoaded()) {
            unique_bstr friendlyFolder, fileFolder;
            CheckResult(folders->ModulesIndexFolder(friendlyFolder.put()));
            CheckResult(folders->FilesToModulesIndexFolder(fileFolder.put()));
            LoadIndexesOnce(friendlyFolder.get(), fileFolder.get());
        }

        EnsureCurrent();

        unique_bstr unused;
        CheckResult(searchPaths_->Prepare(unused.put()));
        return S_OK;
    });
}

void MMCatalog::EnsureCurrent() {
    if (!autoRefresh_) return;
    bool changed = false;
    std::set<const SearchLocation*> scanned;
    const LocationList locations =
        SearchLocationList::Instance().Update(settings_.Get(), folders_.Get(), displayNames_, changed, &scanned);
    for (const auto& location : locations)
        if (!scanned.count(location.get())) changed = location->Scan() || changed;
    if (changed) MarkAllDirty();
    // Read before the modules are: a change made meanwhile makes the next read rebuild again.
    ULONG generation = SourcesGeneration();
    if (!dirty_.exchange(0) && published_ && builtFor_ == generation) return;
    try {
        Rebuild(locations, generation);
    } catch (...) {
        dirty_ = 1;
        throw;
    }
}

void MMCatalog::Rebuild(const LocationList& locations, ULONG generation) {
    // Callers that hold the previous collection keep it; this one is filled anew and published only
    // when complete, so a failed rebuild is tried again at the next read.
    auto modules = MakeCollection<ModuleCollection>();
    // Unnamed locations first, so that repository folders win equal keys; later locations win too.
    CollectionElements found;
    for (bool named : {false, true})
        for (const auto& location : locations)
            if (location->DisplayName().empty() != named) {
                const EntryMapSnapshot entries = location->Modules();  // held: a rescan may publish another
                for (const auto& module : *entries) found.push_back(ModuleElement(module.second.get(), module.second));
            }
    modules->AddAll(std::move(found));

    // Gallery entries only under keys still free: a description never replaces a module on disk.
    // Entries of the previous scan stay alive in the module objects that callers hold.
    GalleryEntryMap gallery;
    ComPtr<IAppFolders> folders;
    CheckResult(searchPaths_.As(IID_IAppFolders, folders));
    ScanGallery(
        folders.Get(), gallery,
        [&](const _stringx& key) { return modules.Get()->FindKey(key) != CollectionStore::npos; },
        [&](const std::shared_ptr<CatalogEntry>& entry) { AddModule(*modules.Get(), entry.get(), entry); });
    gallery_.swap(gallery);
    fileIndex_ = std::make_shared<FileNameIndex>();
    published_ = modules;
    ++publication_;
    builtFor_ = generation;
}

STDMETHODIMP MMCatalog::Refresh(LONG* result) {
    if (result) *result = 0;
    return Guard([&] {
        EnsureCurrent();
        return S_OK;
    });
}

STDMETHODIMP MMCatalog::GetSearchLocations(IDispatch** locations) {
    if (!locations) return E_POINTER;
    return Guard([&] {
        auto collection = MakeCollection<SearchLocationCollection>();
        bool changed = false;
        const LocationList all = SearchLocationList::Instance().Update(settings_.Get(), folders_.Get(), displayNames_, changed);
        if (changed) MarkAllDirty();
        for (const auto& location : all) {
            if (location->DisplayName().empty()) continue;
            ComPtr<IDispatch> item;
            item.Attach(static_cast<ISearchLocationItem*>(ComObject<SearchLocationItem>::Make(location, lease_)));
            collection->CollectionStore::Add(_stringx::Formatted(L"%d", static_cast<int>(collection->Size()) + 1),
                                            item.Get());
        }
        *locations = nullptr;
        return collection->QueryInterface(IID_ISearchLocationCollection, reinterpret_cast<void**>(locations));
    });
}

STDMETHODIMP MMCatalog::GetModules(IDispatch** modules) {
    if (!modules) return E_POINTER;
    return Guard([&] {
        EnsureCurrent();
        // [out, retval]: what the pointer held is not released, as callers may pass it uninitialised.
        *modules = nullptr;
        if (!published_) {
            published_ = MakeCollection<ModuleCollection>();
            ++publication_;
        }
        return published_->QueryInterface(IID_IModuleCollection, reinterpret_cast<void**>(modules));
    });
}

ComPtr<IDispatch> MMCatalog::FindBySignature(const _stringx& signature) {
    ComPtr<IDispatch> result;
    size_t colon = signature.rfind(L':');
    if (colon == _stringx::npos || !published_) return result;
    _stringx moduleId = signature.substr(0, colon);
    _stringx language = signature.substr(colon + 1);
    _stringx key = signature;
    if (language == _stringx(L"0")) {
        // Any language: the one variant there is, else the preferred language, else the lowest text.
        const std::set<_stringx>* languages = LanguagesOf(moduleId);
        if (!languages) return result;
        _stringx chosen =
            languages->size() > 1 && !preferredLanguage_.empty() ? preferredLanguage_ : *languages->begin();
        key = moduleId + L":" + chosen;
    }
    size_t position = published_->FindKey(key);
    if (position == CollectionStore::npos) return result;
    ComPtr<IMergeModule2> module;
    CheckResult(published_->Elements()[position].item.As(IID_IMergeModule2, module));
    result.Attach(module.Detach());
    return result;
}

const std::set<_stringx>* MMCatalog::LanguagesOf(const _stringx& moduleId) {
    if (languagesFor_ != publication_) {
        languagesById_.clear();
        for (const CollectionElement& element : published_->Elements()) {
            ComPtr<IMergeModule2> module;
            if (!element.item || FAILED(element.item.As(IID_IMergeModule2, module))) continue;
            unique_bstr id;
            CheckResult(module->get_ModuleId(id.put()));
            LONG variant = 0;
            CheckResult(module->get_Language(&variant));
            languagesById_[_stringx(id.get())].insert(_stringx::Formatted(L"%d", variant));
        }
        languagesFor_ = publication_;
    }
    auto found = languagesById_.find(moduleId);
    return found == languagesById_.end() ? nullptr : &found->second;
}

STDMETHODIMP MMCatalog::FindModule(BSTR signature, LONG, IDispatch** module) {
    // Without a colon there is no signature: a plain failure, no error information.
    const wchar_t* text = signature ? signature : L"";
    if (!wcschr(text, L':')) return E_FAIL;
    return Guard([&] {
        ComPtr<IDispatch> found = FindBySignature(signature);
        // A match is handed out by a query into the out pointer, and that query's answer is returned.
        if (found && !module) return E_POINTER;
        if (module) *module = found.Detach();
        return S_OK;
    });
}

bool MMCatalog::TakeCandidate(const FileNameIndex::Candidate& candidate, const _stringx& fileName,
                              IMergeModule2** module, VARIANT_BOOL* found) {
    ComPtr<IMergeModule2> object;
    CheckResult(MergeModule2::CreateBound(candidate.entry, candidate.keepAlive, IID_IMergeModule2, object.PutVoid()));
    if (module && *module) {
        (*module)->Release();
        *module = nullptr;
    }
    unique_bstr packageCode;
    CheckResult(object->get_RevisionNumber(packageCode.put()));
    // The workspace may tell the catalog not to take this file from this module.
    ComPtr<IAppSettingsFiles> settingsFiles;
    CheckResult(searchPaths_.As(IID_IAppSettingsFiles, settingsFiles));
    unique_bstr document;
    CheckResult(settingsFiles->SettingsFile(8, document.put()));
    if (IsFileExcluded(document.get(), packageCode.get(), fileName)) return false;
    if (module) CheckResult(object->QueryInterface(IID_IMergeModule2, reinterpret_cast<void**>(module)));
    if (found) *found = VARIANT_TRUE;
    return true;
}

HRESULT MMCatalog::FindByFile(BSTR path, BSTR directoryKey, BSTR version, IMergeModule2** module,
                              VARIANT_BOOL* found, bool matchDirectoryKey, bool matchResolvedFolder) {
    return Guard([&] {
        const FileQuery query = FileQuery::Make(path, directoryKey, version, matchDirectoryKey, matchResolvedFolder);
        const _stringx& fileName = query.fileName;
        if (IsExcludedFileName(fileName, excludedFilePatterns_)) return S_OK;

        // Search locations in list order, each one's modules in path order, then the gallery: the
        // index keeps that order, and a search looks only at the records of the wanted name.
        ULONG generation = SourcesGeneration();
        std::shared_ptr<FileNameIndex> index = fileIndex_;
        if (!index->IsCurrent(generation)) {
            std::vector<FileNameIndex::Candidate> candidates;
            for (const auto& location : SearchLocationList::Instance().Locations()) {
                const EntryMapSnapshot modules = location->Modules();  // held: a rescan may publish another
                for (const auto& entry : *modules) candidates.push_back({entry.second.get(), entry.second});
            }
            for (const auto& entry : gallery_) candidates.push_back({entry.second.get(), entry.second});
            index = std::make_shared<FileNameIndex>();
            index->Build(std::move(candidates), generation);
            fileIndex_ = index;
        }
        bool taken = index->VisitByName(
            fileName, [&](const FileNameIndex::Hits& hits, size_t i) { return MayDeliver(hits, i, query); },
            [&](const FileNameIndex::Candidate& candidate, FileNameIndex::Hits& hits, size_t begin, size_t end) {
                return DeliversFile(*candidate.entry, hits, begin, end, query) &&
                       TakeCandidate(candidate, fileName, module, found);
        });
        if (taken) return S_OK;

        // Not found in any module: the file-to-module index may name one.
        _stringx signature;
        if (!SignatureForFile(fileName, signature)) return S_OK;
        ComPtr<IDispatch> named = FindBySignature(signature);
        if (named && module) {
            if (*module) (*module)->Release();
            *module = nullptr;
            CheckResult(named->QueryInterface(IID_IMergeModule2, reinterpret_cast<void**>(module)));
        }
        return S_OK;
    });
}

STDMETHODIMP MMCatalog::FindModuleForFile(BSTR path, BSTR directoryKey, BSTR version, IMergeModule2** module,
                                          VARIANT_BOOL* found) {
    VARIANT_BOOL matchDirectoryKey = VARIANT_FALSE, matchResolvedFolder = VARIANT_FALSE;
    HRESULT hr = Guard([&] {
        CheckResult(searchPaths_->MatchDirectoryKey(&matchDirectoryKey));
        CheckResult(searchPaths_->MatchResolvedFolder(&matchResolvedFolder));
        return S_OK;
    });
    if (FAILED(hr)) return hr;
    return FindByFile(path, directoryKey, version, module, found, matchDirectoryKey != VARIANT_FALSE,
                      matchResolvedFolder != VARIANT_FALSE);
}

STDMETHODIMP MMCatalog::FindModuleForFileEx(BSTR path, BSTR directoryKey, BSTR version, IMergeModule2** module,
                                            VARIANT_BOOL* found) {
    return FindByFile(path, directoryKey, version, module, found, SysStringLen(directoryKey) != 0, true);
}

STDMETHODIMP MMCatalog::GetModuleForFile(BSTR fileName, BSTR* signature) {
    return Guard([&] {
        if (signature) *signature = nullptr;
        _stringx result;
        if (SignatureForFile(fileName, result) && signature)
            *signature = SysAllocStringLen(result.c_str(), static_cast<UINT>(result.length()));
        return S_OK;
    });
}

STDMETHODIMP MMCatalog::GetFriendlyName(BSTR entryKey, BSTR* name) {
    return Guard([&] {
        if (name) *name = nullptr;
        _stringx key(entryKey);
        if (key.empty()) return S_OK;
        _stringx friendly;
        if (!LookupFriendlyName(key, friendly)) friendly = key;
        if (name) *name = SysAllocStringLen(friendly.c_str(), static_cast<UINT>(friendly.length()));
        return S_OK;
    });
}

STDMETHODIMP MMCatalog::IsApplicable(IUnknown* project, VARIANT_BOOL* applicable) {
    return CheckApplicable(project, applicable);
}

// ---------------------------------------------------------------- MMCatalogPro

STDMETHODIMP MMCatalogPro::Refresh(LONG* result) {
    if (result) *result = 0;
    return S_OK;
}

STDMETHODIMP MMCatalogPro::IsApplicable(IUnknown* project, VARIANT_BOOL* applicable) {
    return CheckApplicable(project, applicable);
}
