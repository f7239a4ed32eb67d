// One merge module: identity, summary texts, availability and its lists, as a thin COM face over one
// catalog entry. Opened by path (the object owns the entry) or bound by the catalog to an entry that
// the catalog owns.
#pragma once
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "model/CatalogEntry.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"

// Owning holder of one entry, or a non-owning view of an entry that lives elsewhere.
class EntryHolder {
public:
    EntryHolder() = default;
    EntryHolder(const EntryHolder&) = delete;
    EntryHolder& operator=(const EntryHolder&) = delete;
    ~EntryHolder() { Reset(nullptr, false); }

    // Deletes the entry held before when it was owned.
    void Reset(CatalogEntry* entry, bool owns);
    CatalogEntry* Get() const { return entry_; }

private:
    bool owns_ = false;
    CatalogEntry* entry_ = nullptr;
};

class MergeModule2 : public ComObjectRoot,
                     public ISupportErrorInfo,
                     public DispatchImpl<IMergeModule2c, &IID_IMergeModule2c, GetServerTypeInfo> {
public:
    // A new object reading the given entry, which it does not own: the entry must outlive it (the
    // catalog's search locations and gallery map keep theirs while any catalog object lives).
    static HRESULT CreateBound(CatalogEntry* entry, REFIID iid, void** ppv);

    void* InternalQueryInterface(REFIID iid);
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    STDMETHODIMP get_Dialogs(IDialogCollection** value) override;
    STDMETHODIMP get_CustomActions(ICustomActionCollection** value) override;
    STDMETHODIMP get_RevisionNumber(BSTR* value) override;
    STDMETHODIMP get_ModuleId(BSTR* value) override;
    STDMETHODIMP get_EntryKey(BSTR* value) override;
    STDMETHODIMP get_Path(BSTR* value) override;
    STDMETHODIMP get_Comments(BSTR* value) override;
    STDMETHODIMP get_Subject(BSTR* value) override;
    STDMETHODIMP get_Author(BSTR* value) override;
    STDMETHODIMP get_Language(LONG* value) override;
    STDMETHODIMP get_Version(BSTR* value) override;
    STDMETHODIMP get_Dependencies(IDependencyCollection** value) override;
    STDMETHODIMP get_Exclusions(IExclusionCollection** value) override;
    STDMETHODIMP get_Files(IFileCollection** value) override;
    STDMETHODIMP get_DisplayName(BSTR* value) override;
    STDMETHODIMP Open(BSTR path) override;
    STDMETHODIMP get_IsPresent(VARIANT_BOOL* value) override;
    STDMETHODIMP get_NeedsUpdate(VARIANT_BOOL* value) override;
    STDMETHODIMP get_DownloadFiles(IDownloadFileCollection** value) override;
    STDMETHODIMP get_ResolvedPath(BSTR* value) override;
    STDMETHODIMP get_HasSourceLocation(VARIANT_BOOL* value) override;
    STDMETHODIMP get_SourceLocation(BSTR* value) override;

private:
    // The entry the getters read; raises E_UNEXPECTED before anything was opened or bound.
    CatalogEntry& Entry();
    HRESULT Text(BSTR* out, _stringx (CatalogEntry::*field)() const);
    template <typename Collection, typename Make>
    HRESULT CollectionOut(Collection** out, Make&& make);

    EntryHolder entry_;
};
