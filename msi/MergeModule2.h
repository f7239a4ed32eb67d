// One merge module: identity, summary texts, availability and its lists, as a thin COM face over one
// catalog entry. Opened by path (the object owns the entry) or bound by the catalog to an entry that
// the catalog owns.
#pragma once
#include <memory>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "model/CatalogEntry.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"

// Owning holder of one entry, or a non-owning view of an entry that lives elsewhere (kept alive, when
// its owner asks for that, by a share in the owner).
class EntryHolder {
public:
    EntryHolder() = default;
    EntryHolder(const EntryHolder&) = delete;
    EntryHolder& operator=(const EntryHolder&) = delete;
    ~EntryHolder() { Reset(nullptr, false); }

    // Deletes the entry held before when it was owned, and gives its owner's share back.
    void Reset(CatalogEntry* entry, bool owns, std::shared_ptr<void> keepAlive = nullptr);
    CatalogEntry* Get() const { return entry_; }

private:
    bool owns_ = false;
    CatalogEntry* entry_ = nullptr;
    std::shared_ptr<void> keepAlive_;
};

class MergeModule2 : public ComObjectRoot,
                     public ISupportErrorInfo,
                     public DispatchImpl<IMergeModule2c, &IID_IMergeModule2c, GetServerTypeInfo> {
public:
    // A new object reading the given entry, which it does not own. keepAlive (may be null) is held
    // until the object is destroyed or opens another module: it keeps whatever owns the entry alive
    // (the catalog's search locations, a gallery map's shared entry); without it the entry must
    // outlive the object.
    static HRESULT CreateBound(CatalogEntry* entry, std::shared_ptr<void> keepAlive, REFIID iid, void** ppv);

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
