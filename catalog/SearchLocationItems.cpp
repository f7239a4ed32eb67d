#include "catalog/SearchLocationItems.h"

#include "CvMMUpdater2.h"
#include "appservices.h"
#include "msi/MergeModule2.h"
#include "server/ComException.h"
#include "server/SiblingLoader.h"

namespace {
ComPtr<IAppSearchPaths> SearchPaths() {
    ComPtr<IAppSearchPaths> paths;
    CheckResult(CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppSearchPaths, paths.PutVoid()));
    return paths;
}

std::vector<_stringx> SearchPathFolders(IAppSearchPaths* paths) {
    unique_bstr text;
    CheckResult(paths->SearchPath(text.put()));
    std::vector<_stringx> folders;
    SplitSearchPath(text.get(), folders);
    return folders;
}

_stringx CopyOf(BSTR text) { return text ? _stringx(SysStringLen(text), text) : _stringx(); }

// "Zero" indexes name nothing: an empty or null VARIANT, a number 0, a null text.
bool IsZeroIndex(const VARIANT& index) {
    VARTYPE type = V_VT(&index) & ~VT_BYREF;
    if (type == VT_EMPTY || type == VT_NULL) return true;
    if (type == VT_BSTR)
        return (V_VT(&index) & VT_BYREF) ? !V_BSTRREF(&index) || !*V_BSTRREF(&index) : !V_BSTR(&index);
    VARIANT number;
    VariantInit(&number);
    if (FAILED(VariantChangeType(&number, const_cast<VARIANT*>(&index), 0, VT_I4))) return false;
    return V_I4(&number) == 0;
}
}  // namespace

ComPtr<IDispatch> MakeLocationModules(const SearchLocation& location) {
    auto modules = MakeCollection<ModuleCollection>();
    const EntryMapSnapshot entries = location.Modules();  // held: a rescan may publish another
    for (const auto& module : *entries) {
        ComPtr<IMergeModule2> object;
        CheckResult(MergeModule2::CreateBound(module.second.get(), module.second, IID_IMergeModule2, object.PutVoid()));
        unique_bstr key;
        CheckResult(object->get_EntryKey(key.put()));
        ComPtr<IDispatch> item;
        CheckResult(object.As(IID_IDispatch, item));
        modules->CollectionStore::Add(key.get(), item.Get());
    }
    ComPtr<IDispatch> result;
    CheckResult(modules->QueryInterface(IID_IModuleCollection, result.PutVoid()));
    return result;
}

SearchLocationItem::SearchLocationItem(std::shared_ptr<const SearchLocation> location, SourcesLease lease)
    : path_(location->Folder()),
      displayName_(location->DisplayName()),
      folder_(location->Folder()),
      kind_(location->Kind()),
      location_(std::move(location)),
      lease_(std::move(lease)) {}

STDMETHODIMP SearchLocationItem::get_Modules(IDispatch** modules) {
    return ErrorBoundary(CLSID_MMCatalog, [&] {
        if (!modules) return E_POINTER;
        *modules = nullptr;
        *modules = MakeLocationModules(*location_).Detach();
        return S_OK;
    });
}

STDMETHODIMP SearchLocationItem::put_DisplayName(BSTR value) {
    return ErrorBoundary(CLSID_MMCatalog, [&] {
        displayName_ = CopyOf(value);
        return S_OK;
    });
}

STDMETHODIMP SearchLocationItem::put_Folder(BSTR value) {
    return ErrorBoundary(CLSID_MMCatalog, [&] {
        folder_ = CopyOf(value);
        return S_OK;
    });
}

STDMETHODIMP SearchLocationItem::get_Kind(SHORT* value) {
    if (!value) return E_POINTER;
    *value = kind_;
    return S_OK;
}

STDMETHODIMP SearchLocationItem::put_Kind(SHORT value) {
    kind_ = value;
    return S_OK;
}

STDMETHODIMP SearchLocationCollection::AddSearchFolder(BSTR folder, VARIANT, VARIANT) {
    return ErrorBoundary(CLSID_MMCatalog, [&] {
        _stringx wanted = CopyOf(folder);
        // An empty text would become "\\", the root of the current drive, as a search folder.
        if (wanted.empty()) {
            PublishDescription(L"A search folder needs a path; the empty text names none.");
            RaiseComException(com_exception(E_INVALIDARG));
        }
        if (!wanted.ends_with(L'\\')) wanted += L"\\";
        _stringx lowered = wanted.Lower();

        ComPtr<IAppSearchPaths> paths = SearchPaths();
        for (const _stringx& present : SearchPathFolders(paths.Get()))
            if (_wcsicmp((present + L"\\").Lower().c_str(), lowered.c_str()) == 0) return S_OK;

        unique_bstr old;
        CheckResult(paths->SearchPath(old.put()));
        _stringx text(old.get());
        text = text.empty() ? wanted : text + L"," + wanted;
        CheckResult(paths->SetSearchPath(text.AsBSTR()));
        return S_OK;
    });
}

STDMETHODIMP SearchLocationCollection::RemoveSearchLocation(VARIANT index, LONG* result) {
    return ErrorBoundary(CLSID_MMCatalog, [&] {
        if (result) *result = 0;
        if (IsZeroIndex(index)) return S_OK;
        ComPtr<IDispatch> found;
        CheckResult(get_Item(index, found.Put()));
        if (!found) return S_OK;
        ComPtr<ISearchLocationItem> item;
        CheckResult(found.As(IID_ISearchLocationItem, item));
        SHORT kind = 0;
        CheckResult(item->get_Kind(&kind));
        // Only search-path folders can be taken out; listed folders belong to the environment.
        if (kind != 0) return S_OK;

        unique_bstr folder;
        CheckResult(item->get_Folder(folder.put()));
        _stringx removed = _stringx(folder.get()).Lower();
        ComPtr<IAppSearchPaths> paths = SearchPaths();
        _stringx text;
        for (const _stringx& present : SearchPathFolders(paths.Get())) {
            if (_wcsicmp(present.Lower().c_str(), removed.c_str()) == 0) continue;
            text = text.empty() ? present : text + L"," + present;
        }
        CheckResult(paths->SetSearchPath(text.AsBSTR()));

        size_t position = Find(index);
        if (position != npos) RemoveAt(position);
        return S_OK;
    });
}
