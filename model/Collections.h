// Every list the server hands out is a KeyedCollection: items in insertion order, found by 1-based
// position or by key (letter case ignored), walked by a VariantEnumerator. The collection kinds
// differ only in their traits.
//
// Deriving a collection with more methods (for example one whose interface adds Add, AddSearchFolder
// and RemoveSearchLocation):
//   class SearchLocationCollection
//       : public KeyedCollection<CollectionTraits<ISearchLocationCollection, &IID_ISearchLocationCollection,
//                                                 MissingKey::Fails, ErrorInfoSupport::Answered>> {
//   public:
//       STDMETHODIMP Add(VARIANT, VARIANT, VARIANT) override { return E_NOTIMPL; }
//       STDMETHODIMP AddSearchFolder(BSTR, VARIANT, VARIANT) override;
//       STDMETHODIMP RemoveSearchLocation(VARIANT index, LONG* result) override;
//   };
// The interface's own Add hides the store's, so the filling code calls CollectionStore::Add(key, item);
// Find(index) and RemoveAt(position) serve RemoveSearchLocation. Create it with
// ComObject<SearchLocationCollection>::Make() or CreateComInstance<SearchLocationCollection>.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <map>
#include <vector>
#include "cvmmupdater.h"
#include "base/stringx.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"
#include "base/Handles.h"
#include "server/ServerModule.h"

struct CollectionElement {
    _stringx key;
    ComPtr<IDispatch> item;
};
using CollectionElements = std::vector<CollectionElement>;

// The elements and their index; the part of a collection that knows nothing of its interface.
class CollectionStore {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    CollectionStore() = default;
    CollectionStore(const CollectionStore&) = delete;
    CollectionStore& operator=(const CollectionStore&) = delete;
    virtual ~CollectionStore() { RemoveAll(); }

    // Appends {key, item}; an existing key (in any letter case) gets the new item in its place.
    void Add(_stringx key, IDispatch* item);
    // The same for each element in turn, with one sort instead of an insert into the index each: a
    // catalog adds its thousands of modules in path order, which is seldom their keys' order.
    void AddAll(CollectionElements arrivals);
    // The 0-based position that an automation index names: integers (also by reference) by 1-based
    // position, anything else as a key text. npos when it names nothing.
    size_t Find(const VARIANT& index) const;
    size_t FindKey(const _stringx& key) const;
    // E_INVALIDARG past the end; later elements move one place down.
    HRESULT RemoveAt(size_t position);
    // Releases the items from the last to the first.
    void RemoveAll();

    size_t Size() const { return elements_.size(); }
    const CollectionElements& Elements() const { return elements_; }

protected:
    CollectionElements elements_;

private:
    // Where `key` is or would go in order_.
    std::vector<size_t>::const_iterator Place(const _stringx& key) const;

    // Positions in elements_ ordered by key without case: a catalog's collection holds thousands of
    // keys, which a map would hold a second time.
    std::vector<size_t> order_;
};

// IEnumVARIANT over a collection's elements. It keeps the collection alive and, like every object
// of the server, holds one server lock while it lives.
class VariantEnumerator : public ComObjectRoot, public IEnumVARIANT {
public:
    VariantEnumerator(IUnknown* owner, const CollectionElements* elements, size_t begin, size_t end, size_t current)
        : owner_(owner), elements_(elements), begin_(begin), end_(end), current_(current) {}

    // A new enumerator over all elements, handed out as IEnumVARIANT.
    static HRESULT Create(IUnknown* owner, const CollectionElements& elements, IEnumVARIANT** out);

    void* InternalQueryInterface(REFIID iid);
    STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** out) override;

private:
    // The collection may have lost elements since: never read past its current end.
    size_t End() const { return end_ < elements_->size() ? end_ : elements_->size(); }

    ComPtr<IUnknown> owner_;
    const CollectionElements* elements_;
    size_t begin_;
    size_t end_;
    size_t current_;
};

enum class MissingKey { Fails, GivesNull };  // Item of an unknown index: E_INVALIDARG, or S_OK with null
enum class ErrorInfoSupport { NotAnswered, Answered };  // whether QueryInterface gives ISupportErrorInfo

template <typename Interface_, const IID* Iid_, MissingKey Missing = MissingKey::Fails,
          ErrorInfoSupport Support = ErrorInfoSupport::NotAnswered>
struct CollectionTraits {
    using Interface = Interface_;
    static constexpr const IID* kIid = Iid_;
    static constexpr bool kMissingGivesNull = Missing == MissingKey::GivesNull;
    static constexpr bool kAnswersErrorInfo = Support == ErrorInfoSupport::Answered;
};

template <typename Traits>
class KeyedCollection : public ComObjectRoot,
                        public DispatchImpl<typename Traits::Interface, Traits::kIid, GetServerTypeInfo>,
                        public ISupportErrorInfo,
                        public CollectionStore {
public:
    using Interface = typename Traits::Interface;
    static constexpr const IID* kIid = Traits::kIid;

    void* InternalQueryInterface(REFIID iid) {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == *Traits::kIid) return Face();
        if (Traits::kAnswersErrorInfo && iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        return nullptr;
    }

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override { return iid == *Traits::kIid ? S_OK : S_FALSE; }

    STDMETHODIMP get_Item(VARIANT index, IDispatch** item) override {
        if (!item) return E_POINTER;
        *item = nullptr;
        size_t position = npos;
        try {
            position = Find(index);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        if (position == npos) return Traits::kMissingGivesNull ? S_OK : E_INVALIDARG;
        elements_[position].item.CopyTo(item);
        return S_OK;
    }

    STDMETHODIMP get_Count(LONG* count) override {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(Size());
        return S_OK;
    }

    STDMETHODIMP get__NewEnum(IUnknown** enumerator) override {
        if (!enumerator) return E_POINTER;
        *enumerator = nullptr;
        ComPtr<IEnumVARIANT> made;
        HRESULT hr = CreateEnumerator(made.Put());
        if (FAILED(hr)) return hr;
        return made->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(enumerator));
    }

    virtual HRESULT CreateEnumerator(IEnumVARIANT** out) {
        return VariantEnumerator::Create(Face(), elements_, out);
    }

protected:
    Interface* Face() { return static_cast<Interface*>(this); }
};

using DialogCollection = KeyedCollection<CollectionTraits<IDialogCollection, &IID_IDialogCollection>>;
using CustomActionCollection = KeyedCollection<CollectionTraits<ICustomActionCollection, &IID_ICustomActionCollection>>;
using DownloadFileCollection = KeyedCollection<CollectionTraits<IDownloadFileCollection, &IID_IDownloadFileCollection>>;
using DependencyCollection = KeyedCollection<CollectionTraits<IDependencyCollection, &IID_IDependencyCollection>>;
using ExclusionCollection = KeyedCollection<CollectionTraits<IExclusionCollection, &IID_IExclusionCollection>>;
using FileCollection = KeyedCollection<CollectionTraits<IFileCollection, &IID_IFileCollection>>;
// Keyed by EntryKey; an unknown module is not an error.
using ModuleCollection = KeyedCollection<
    CollectionTraits<IModuleCollection, &IID_IModuleCollection, MissingKey::GivesNull, ErrorInfoSupport::Answered>>;

// A new, empty collection holding one reference (ComPtr over the object so that members outside
// the interface, such as Add, stay reachable). Throws std::bad_alloc.
template <typename Collection>
ComPtr<ComObject<Collection>> MakeCollection() {
    ComPtr<ComObject<Collection>> made;
    made.Attach(ComObject<Collection>::Make());
    return made;
}
