#include "catalog/MMCatalog.h"

#include <algorithm>
#include "model/ModuleIndex.h"
#include "project.h"
#include "server/SiblingLoader.h"

namespace {
const wchar_t kAppServicesDll[] = L"CvAppServices.dll";

// Every live catalog object of the process; a change seen by one marks all of them dirty.
std::list<MMCatalogBase*>& LiveCatalogs() {
    static std::list<MMCatalogBase*> live;
    return live;
}

template <typename Interface>
ComPtr<Interface> CreateAppServices(REFIID iid) {
    ComPtr<Interface> object;
    CheckResult(CreateSiblingObject(kAppServicesDll, CLSID_AppServices, iid, object.PutVoid()));
    return object;
}

std::vector<_stringx> SplitAtComma(const _stringx& text) {
    std::vector<_stringx> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(L',', start);
        parts.push_back(text.substr(start, comma == _stringx::npos ? _stringx::npos : comma - start));
        if (comma == _stringx::npos) break;
        start = comma + 1;
    }
    return parts;
}
}  // namespace

// Construction connects to the application services; a failure there fails the creation.
MMCatalogBase::MMCatalogBase()
    : settings_(CreateAppServices<IAppSettings>(IID_IAppSettings)),
      folders_(CreateAppServices<IAppFolders>(IID_IAppFolders)) {
    LiveCatalogs().push_back(this);
}

MMCatalogBase::~MMCatalogBase() {
    LiveCatalogs().remove(this);
    if (LiveCatalogs().empty()) SearchLocationList::Instance().Clear();
}

size_t MMCatalogBase::LiveCount() { return LiveCatalogs().size(); }

void MMCatalogBase::MarkAllDirty() {
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

        // The index files are read by the first catalog of the process only.
        if (!IndexesLoadStarted()) {
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
    auto& locations = SearchLocationList::Instance().Update(settings_.Get(), folders_.Get(), displayNames_, changed);
    for (const auto& location : locations) changed = location->Scan() || changed;
    if (changed) MarkAllDirty();
    if (!dirty_) return;
    dirty_ = 0;
}

HRESULT MMCatalog::ReportComException(const com_exception& error, const wchar_t* context) {
    return ::ReportComException(error, CLSID_MMCatalog, context);
}

STDMETHODIMP MMCatalog::Refresh(LONG* result) {
    if (result) *result = 0;
    return Guard([&] {
        EnsureCurrent();
        return S_OK;
    });
}

STDMETHODIMP MMCatalog::GetSearchLocations(IDispatch**) { return E_NOTIMPL; }
STDMETHODIMP MMCatalog::GetModules(IDispatch**) { return E_NOTIMPL; }
STDMETHODIMP MMCatalog::FindModuleForFile(BSTR, BSTR, BSTR, IMergeModule2**, VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP MMCatalog::FindModule(BSTR, LONG, IDispatch**) { return E_NOTIMPL; }
STDMETHODIMP MMCatalog::FindModuleForFileEx(BSTR, BSTR, BSTR, IMergeModule2**, VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP MMCatalog::GetModuleForFile(BSTR fileName, BSTR* signature) {
    return Guard([&] {
        if (signature) *signature = nullptr;
        _stringx name(fileName);
        _stringx value;
        if (name.empty() || !LookupFileModule(name.Lower(), value)) return S_OK;
        // "flag:ModuleID[:Language]": only flag 0 names a module; no language means any (0).
        size_t colon = value.find(L':');
        if (colon == _stringx::npos || value.substr(0, colon) != _stringx(L"0")) return S_OK;
        _stringx result = value.substr(colon + 1);
        if (result.find(L':') == _stringx::npos) result += L":0";
        if (signature) *signature = SysAllocStringLen(result.c_str(), static_cast<UINT>(result.length()));
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

HRESULT MMCatalogPro::ReportComException(const com_exception& error, const wchar_t* context) {
    return ::ReportComException(error, CLSID_MMCatalogPro, context);
}

STDMETHODIMP MMCatalogPro::Refresh(LONG* result) {
    if (result) *result = 0;
    return S_OK;
}

STDMETHODIMP MMCatalogPro::IsApplicable(IUnknown* project, VARIANT_BOOL* applicable) {
    return CheckApplicable(project, applicable);
}
