// The catalog classes: MMCatalog keeps the list of available merge modules; MMCatalogPro answers
// the same interface for projects that hold no catalog.
#pragma once
#include <windows.h>
#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <vector>
#include "appservices.h"
#include "catalog/SearchLocationList.h"
#include "catalog/FileNameIndex.h"
#include "catalog/GalleryScan.h"
#include "model/Collections.h"
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "server/ComException.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"
#include "base/Handles.h"

// The error-information face of the catalog classes carries their two class operations.
struct ICatalogErrorFace : public ISupportErrorInfo {
    virtual HRESULT FinalConstruct() = 0;
    virtual HRESULT ReportComException(const com_exception& error, const wchar_t* context) = 0;
};

class MMCatalogBase : public ComObjectRoot,
                      public ICatalogErrorFace,
                      public DispatchImpl<IMMCatalog2, &IID_IMMCatalog, GetServerTypeInfo> {
public:
    void* InternalQueryInterface(REFIID iid);
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    STDMETHODIMP Reserved1(LONG, LONG, LONG* result) override;
    STDMETHODIMP Reserved2(LONG, LONG* result) override;
    STDMETHODIMP Reserved3(LONG* result) override;
    STDMETHODIMP Reserved4(LONG, LONG* result) override;
    STDMETHODIMP Reserved5(LONG) override { return S_OK; }
    STDMETHODIMP SetAutoRefresh(VARIANT_BOOL on) override;

    // Reports as the class that was created, whichever of the two it is.
    HRESULT ReportComException(const com_exception& error, const wchar_t* context) override {
        return ::ReportComException(error, ReportingClass(), context);
    }

    static size_t LiveCount();
    // A change seen by one catalog makes every live catalog rebuild on its next read.
    static void MarkAllDirty();

protected:
    MMCatalogBase();
    ~MMCatalogBase() override;

    // Runs body() as an error boundary reporting through this class's ReportComException.
    template <typename Body>
    HRESULT Guard(Body&& body) noexcept {
        return GuardedCall(std::forward<Body>(body),
                           [this](const com_exception& e) { return ReportComException(e, nullptr); });
    }
    virtual REFCLSID ReportingClass() const = 0;
    // Asks the project for its type and tells whether this class serves it.
    HRESULT CheckApplicable(IUnknown* project, VARIANT_BOOL* applicable);
    virtual bool ServesProjectType(LONG type) const = 0;

    ComPtr<IAppSettings> settings_;
    ComPtr<IAppFolders> folders_;
    DisplayNameMap displayNames_;
    // What callers get from GetModules; replaced, not changed, by a rebuild.
    ComPtr<ComObject<ModuleCollection>> published_;
    // Set by any thread; the rest of the object is used by its own apartment only (a call that
    // enters it while it waits for another thread sees each member whole: rebuilds fill copies).
    std::atomic<LONG> dirty_{1};
    ULONG builtFor_ = 0;  // the sources generation the published collection was made from
    _stringx preferredLanguage_;
    std::vector<_stringx> excludedFilePatterns_;
    ComPtr<IAppSearchPaths> searchPaths_;
    GalleryEntryMap gallery_;
    LONG autoRefresh_ = 1;
    // Keeps the search locations alive while this object, or a module object it handed out, lives.
    SourcesLease lease_ = LeaseSources();
};

class MMCatalog : public MMCatalogBase {
public:
    HRESULT FinalConstruct() override;

    STDMETHODIMP Refresh(LONG* result) override;
    STDMETHODIMP GetSearchLocations(IDispatch** locations) override;
    STDMETHODIMP GetModules(IDispatch** modules) override;
    STDMETHODIMP FindModuleForFile(BSTR path, BSTR directoryKey, BSTR version, IMergeModule2** module,
                                   VARIANT_BOOL* found) override;
    STDMETHODIMP FindModule(BSTR signature, LONG, IDispatch** module) override;
    STDMETHODIMP FindModuleForFileEx(BSTR path, BSTR directoryKey, BSTR version, IMergeModule2** module,
                                     VARIANT_BOOL* found) override;
    STDMETHODIMP GetModuleForFile(BSTR fileName, BSTR* signature) override;
    STDMETHODIMP GetFriendlyName(BSTR entryKey, BSTR* name) override;
    STDMETHODIMP IsApplicable(IUnknown* project, VARIANT_BOOL* applicable) override;

    // The gallery's entries of the last build, for whoever walks the catalog as the search does.
    const GalleryEntryMap& GalleryEntries() const { return gallery_; }

protected:
    REFCLSID ReportingClass() const override { return CLSID_MMCatalog; }
    bool ServesProjectType(LONG type) const override { return type == 1 || type == 3; }

private:
    // Brings the search locations up to date and, when anything changed, rebuilds the module list.
    void EnsureCurrent();
    // Fills a new module collection and gallery from the locations and publishes them.
    void Rebuild(const LocationList& locations, ULONG generation);
    // The search of FindModuleForFile and FindModuleForFileEx with their switches.
    HRESULT FindByFile(BSTR path, BSTR directoryKey, BSTR version, IMergeModule2** module, VARIANT_BOOL* found,
                       bool matchDirectoryKey, bool matchResolvedFolder);
    // Hands the candidate out as the search's answer, unless the workspace excludes the file there.
    bool TakeCandidate(const FileNameIndex::Candidate& candidate, const _stringx& fileName, IMergeModule2** module,
                       VARIANT_BOOL* found);
    // The module under a signature "ModuleID:Language" (language 0: any), or null.
    ComPtr<IDispatch> FindBySignature(const _stringx& signature);
    // The languages of every ModuleID of the published collection, as text in ascending order.
    const std::set<_stringx>* LanguagesOf(const _stringx& moduleId);

    // Replaced, not changed, when stale: a search under way keeps the one it began with.
    std::shared_ptr<FileNameIndex> fileIndex_ = std::make_shared<FileNameIndex>();
    std::map<_stringx, std::set<_stringx>> languagesById_;
    ULONG languagesFor_ = 0;  // the publication they were taken from
    ULONG publication_ = 0;   // counts the collections published
};

class MMCatalogPro : public MMCatalogBase {
public:
    HRESULT FinalConstruct() override { return S_OK; }

    STDMETHODIMP Refresh(LONG* result) override;
    STDMETHODIMP Reserved3(LONG*) override { return S_OK; }
    STDMETHODIMP Reserved4(LONG, LONG*) override { return S_OK; }
    STDMETHODIMP GetSearchLocations(IDispatch**) override { return S_OK; }
    STDMETHODIMP GetModules(IDispatch**) override { return S_OK; }
    STDMETHODIMP FindModuleForFile(BSTR, BSTR, BSTR, IMergeModule2**, VARIANT_BOOL*) override { return S_OK; }
    STDMETHODIMP FindModule(BSTR, LONG, IDispatch**) override { return S_OK; }
    STDMETHODIMP FindModuleForFileEx(BSTR, BSTR, BSTR, IMergeModule2**, VARIANT_BOOL*) override { return S_OK; }
    STDMETHODIMP GetModuleForFile(BSTR, BSTR*) override { return S_OK; }
    STDMETHODIMP GetFriendlyName(BSTR, BSTR*) override { return S_OK; }
    STDMETHODIMP IsApplicable(IUnknown* project, VARIANT_BOOL* applicable) override;

protected:
    REFCLSID ReportingClass() const override { return CLSID_MMCatalogPro; }
    bool ServesProjectType(LONG type) const override { return type == 9; }
};
