// The catalog's named search locations as callers see them: a collection that can also add a folder
// to the search path or take one out, and an item per location.
#pragma once
#include <windows.h>
#include "catalog/SearchLocationList.h"
#include "model/Collections.h"
#include "model/Items.h"

class SearchLocationItem : public ItemObject<ISearchLocationItem, &IID_ISearchLocationItem> {
public:
    // A snapshot of the location, which stays alive for Modules.
    SearchLocationItem(std::shared_ptr<const SearchLocation> location, SourcesLease lease);

    STDMETHODIMP get_Modules(IDispatch** modules) override;
    STDMETHODIMP get_Path(BSTR* value) override { return CopyTextOut(path_, value); }
    STDMETHODIMP get_DisplayName(BSTR* value) override { return CopyTextOut(displayName_, value); }
    STDMETHODIMP put_DisplayName(BSTR value) override;
    STDMETHODIMP get_Folder(BSTR* value) override { return CopyTextOut(folder_, value); }
    STDMETHODIMP put_Folder(BSTR value) override;
    STDMETHODIMP get_Kind(SHORT* value) override;
    STDMETHODIMP put_Kind(SHORT value) override;

private:
    _stringx path_;
    _stringx displayName_;
    _stringx folder_;
    SHORT kind_;
    std::shared_ptr<const SearchLocation> location_;
    SourcesLease lease_;
};

class SearchLocationCollection
    : public KeyedCollection<CollectionTraits<ISearchLocationCollection, &IID_ISearchLocationCollection,
                                              MissingKey::Fails, ErrorInfoSupport::Answered>> {
public:
    STDMETHODIMP Add(VARIANT, VARIANT, VARIANT) override { return E_NOTIMPL; }
    // Appends the folder to the merge-module search path unless it is there already (any case).
    STDMETHODIMP AddSearchFolder(BSTR folder, VARIANT, VARIANT) override;
    // Takes a search-path location out of the search path and out of this collection.
    STDMETHODIMP RemoveSearchLocation(VARIANT index, LONG* result) override;
};

// A new module collection of the location's modules, keyed by EntryKey (a later equal key replaces).
ComPtr<IDispatch> MakeLocationModules(const SearchLocation& location);
