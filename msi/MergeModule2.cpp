#include "msi/MergeModule2.h"

#include <memory>
#include <new>
#include "model/Items.h"
#include "msi/ModuleEntry.h"
#include "server/ComException.h"
#include "base/Bstr.h"
#include "base/Handles.h"

namespace {
template <typename Body>
HRESULT Boundary(Body&& body) {
    return ErrorBoundary(CLSID_MergeModule2, std::forward<Body>(body));
}

// Publishes the description as the thread's error information and raises hr with it.
[[noreturn]] void RaiseWithDescription(HRESULT hr, const wchar_t* description) {
    CheckResult(PublishDescription(description));
    RaiseComException(com_exception(hr));
}

}  // namespace

void EntryHolder::Reset(CatalogEntry* entry, bool owns, std::shared_ptr<void> keepAlive) {
    CatalogEntry* previous = owns_ ? entry_ : nullptr;
    std::shared_ptr<void> previousKeepAlive = std::move(keepAlive_);
    entry_ = entry;
    owns_ = owns;
    keepAlive_ = std::move(keepAlive);
    delete previous;
}

HRESULT MergeModule2::CreateBound(CatalogEntry* entry, std::shared_ptr<void> keepAlive, REFIID iid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!entry) return E_INVALIDARG;
    try {
        ComPtr<ComObject<MergeModule2>> module;
        module.Attach(ComObject<MergeModule2>::Make());
        module->entry_.Reset(entry, false, std::move(keepAlive));
        return module->QueryInterface(iid, ppv);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void* MergeModule2::InternalQueryInterface(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IMergeModule2 || iid == IID_IMergeModule ||
        iid == IID_IMergeModule2a || iid == IID_IMergeModule2b || iid == IID_IMergeModule2c)
        return static_cast<IMergeModule2c*>(this);
    if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
}

STDMETHODIMP MergeModule2::InterfaceSupportsErrorInfo(REFIID iid) { return iid == IID_IMergeModule2 ? S_OK : S_FALSE; }

CatalogEntry& MergeModule2::Entry() {
    if (!entry_.Get()) RaiseWithDescription(E_UNEXPECTED, L"No merge module has been opened.");
    return *entry_.Get();
}

HRESULT MergeModule2::Text(BSTR* out, _stringx (CatalogEntry::*field)() const) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Boundary([&] {
        _stringx text = (Entry().*field)();
        *out = NewBstr(text.c_str(), static_cast<UINT>(text.length()));
        return S_OK;
    });
}

template <typename Collection, typename Make>
HRESULT MergeModule2::CollectionOut(Collection** out, Make&& make) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Boundary([&] {
        *out = make().Detach();
        return S_OK;
    });
}

STDMETHODIMP MergeModule2::get_Dialogs(IDialogCollection** value) {
    return CollectionOut(value, [&] { return MakeDialogCollection(Entry().DialogNames()); });
}

STDMETHODIMP MergeModule2::get_CustomActions(ICustomActionCollection** value) {
    return CollectionOut(value, [&] { return MakeCustomActionCollection(Entry().CustomActionNames()); });
}

STDMETHODIMP MergeModule2::get_Dependencies(IDependencyCollection** value) {
    return CollectionOut(value, [&] { return MakeDependencyCollection(Entry().Dependencies()); });
}

STDMETHODIMP MergeModule2::get_Exclusions(IExclusionCollection** value) {
    return CollectionOut(value, [&] { return MakeExclusionCollection(Entry().Exclusions()); });
}

STDMETHODIMP MergeModule2::get_Files(IFileCollection** value) {
    return CollectionOut(value, [&] { return MakeFileCollection(Entry().Files()); });
}

STDMETHODIMP MergeModule2::get_DownloadFiles(IDownloadFileCollection** value) {
    return CollectionOut(value, [&] { return MakeDownloadFileCollection(Entry()); });
}

STDMETHODIMP MergeModule2::get_RevisionNumber(BSTR* value) { return Text(value, &CatalogEntry::RevisionNumber); }
STDMETHODIMP MergeModule2::get_ModuleId(BSTR* value) { return Text(value, &CatalogEntry::ModuleId); }
STDMETHODIMP MergeModule2::get_EntryKey(BSTR* value) { return Text(value, &CatalogEntry::EntryKey); }
STDMETHODIMP MergeModule2::get_Path(BSTR* value) { return Text(value, &CatalogEntry::Path); }
STDMETHODIMP MergeModule2::get_Comments(BSTR* value) { return Text(value, &CatalogEntry::Comments); }
STDMETHODIMP MergeModule2::get_Subject(BSTR* value) { return Text(value, &CatalogEntry::Subject); }
STDMETHODIMP MergeModule2::get_Author(BSTR* value) { return Text(value, &CatalogEntry::Author); }
STDMETHODIMP MergeModule2::get_Version(BSTR* value) { return Text(value, &CatalogEntry::Version); }
STDMETHODIMP MergeModule2::get_DisplayName(BSTR* value) { return Text(value, &CatalogEntry::DisplayName); }
STDMETHODIMP MergeModule2::get_SourceLocation(BSTR* value) { return Text(value, &CatalogEntry::SourceLocation); }

STDMETHODIMP MergeModule2::get_Language(LONG* value) {
    if (!value) return E_POINTER;
    return Boundary([&] {
        *value = Entry().Language();
        return S_OK;
    });
}

STDMETHODIMP MergeModule2::get_HasSourceLocation(VARIANT_BOOL* value) {
    if (!value) return E_POINTER;
    return Boundary([&] {
        *value = Entry().HasSourceLocation() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP MergeModule2::Open(BSTR path) {
    return Boundary([&] {
        // Loaded before it replaces anything, so a failing load leaves the object as it was.
        auto opened = std::make_unique<ModuleEntry>();
        opened->Load(_stringx(SysStringLen(path), path), _stringx());
        entry_.Reset(opened.release(), true);
        return S_OK;
    });
}

STDMETHODIMP MergeModule2::get_IsPresent(VARIANT_BOOL* value) {
    if (!value) return E_POINTER;
    return Boundary([&] { return Entry().IsPresent(value); });
}

STDMETHODIMP MergeModule2::get_NeedsUpdate(VARIANT_BOOL* value) {
    if (!value) return E_POINTER;
    return Boundary([&] { return Entry().NeedsUpdate(value); });
}

STDMETHODIMP MergeModule2::get_ResolvedPath(BSTR* value) {
    if (!value) return E_POINTER;
    *value = nullptr;
    return Boundary([&] {
        // A copy taken under the entry's lock: another apartment may validate it meanwhile.
        _stringx resolved = Entry().ResolvedPathText();
        *value = NewBstr(resolved.c_str(), static_cast<UINT>(resolved.length()));
        return S_OK;
    });
}
