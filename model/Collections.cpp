#include "model/Collections.h"

#include <algorithm>
#include <iterator>
#include <numeric>
#include "base/Handles.h"

namespace {
bool IsIntegerType(VARTYPE type) { return type == VT_I2 || type == VT_I4 || type == VT_UI2 || type == VT_UI4; }
}  // namespace

std::vector<size_t>::const_iterator CollectionStore::Place(const _stringx& key) const {
    return std::lower_bound(order_.begin(), order_.end(), key,
                            [&](size_t position, const _stringx& wanted) { return NoCaseLess()(elements_[position].key, wanted); });
}

void CollectionStore::Add(_stringx key, IDispatch* item) {
    auto place = Place(key);
    if (place != order_.end() && !NoCaseLess()(key, elements_[*place].key)) {
        elements_[*place].item = item;
        return;
    }
    size_t at = static_cast<size_t>(place - order_.begin());
    elements_.push_back(CollectionElement{std::move(key), item});
    try {
        order_.insert(order_.begin() + static_cast<ptrdiff_t>(at), elements_.size() - 1);
    } catch (...) {
        elements_.pop_back();
        throw;
    }
}

void CollectionStore::AddAll(CollectionElements arrivals) {
    const NoCaseLess less;
    std::vector<size_t> sorted(arrivals.size());
    std::iota(sorted.begin(), sorted.end(), size_t{0});
    auto before = [&](size_t a, size_t b) { return less(arrivals[a].key, arrivals[b].key); };
    // A catalog's modules mostly come in key order already (file names follow the ModuleIDs): a
    // look at each neighbour instead of a sort that compares each key a dozen times.
    if (!std::is_sorted(sorted.begin(), sorted.end(), before)) std::stable_sort(sorted.begin(), sorted.end(), before);
    // Each run of equal keys acts as its earliest arrival taking the latest one's item; a key the
    // store holds already keeps its place and takes that item.
    struct Run {
        size_t first, last;
    };
    std::vector<Run> fresh;  // in key order
    std::vector<std::pair<size_t, size_t>> replaced;  // element, arrival
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i + 1;
        while (j < sorted.size() && !less(arrivals[sorted[i]].key, arrivals[sorted[j]].key)) ++j;
        const size_t present = FindKey(arrivals[sorted[i]].key);
        if (present != npos) replaced.emplace_back(present, sorted[j - 1]);
        else fresh.push_back({sorted[i], sorted[j - 1]});
        i = j;
    }
    // New elements go in the order of their earliest arrival. Everything that can fail is allocated
    // before the store changes.
    std::vector<size_t> byArrival(fresh.size());
    std::iota(byArrival.begin(), byArrival.end(), size_t{0});
    std::sort(byArrival.begin(), byArrival.end(), [&](size_t a, size_t b) { return fresh[a].first < fresh[b].first; });
    std::vector<size_t> added(fresh.size()), merged;  // added: each fresh run's position, in key order
    merged.reserve(order_.size() + fresh.size());
    elements_.reserve(elements_.size() + fresh.size());
    for (const auto& [element, arrival] : replaced) elements_[element].item = arrivals[arrival].item;
    for (size_t k = 0; k < byArrival.size(); ++k) {
        const Run& run = fresh[byArrival[k]];
        added[byArrival[k]] = elements_.size();
        elements_.push_back(CollectionElement{std::move(arrivals[run.first].key), std::move(arrivals[run.last].item)});
    }
    std::merge(order_.begin(), order_.end(), added.begin(), added.end(), std::back_inserter(merged),
               [&](size_t a, size_t b) { return less(elements_[a].key, elements_[b].key); });
    order_.swap(merged);
}

size_t CollectionStore::FindKey(const _stringx& key) const {
    auto place = Place(key);
    return place != order_.end() && !NoCaseLess()(key, elements_[*place].key) ? *place : npos;
}

size_t CollectionStore::Find(const VARIANT& index) const {
    const VARIANT* source = &index;
    // Script engines pass variables as references to a VARIANT: look at what it refers to.
    if (V_VT(source) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(source)) source = V_VARIANTREF(source);

    unique_variant converted;
    bool byPosition = IsIntegerType(V_VT(source) & ~VT_BYREF);
    if (FAILED(VariantChangeType(converted.get(), const_cast<VARIANT*>(source), 0, byPosition ? VT_I4 : VT_BSTR)))
        return npos;
    if (byPosition) {
        LONG position = V_I4(converted.get());
        return position >= 1 && static_cast<size_t>(position) <= elements_.size() ? static_cast<size_t>(position - 1)
                                                                                  : npos;
    }
    BSTR key = V_BSTR(converted.get());
    return FindKey(_stringx(SysStringLen(key), key));
}

HRESULT CollectionStore::RemoveAt(size_t position) {
    if (position >= elements_.size()) return E_INVALIDARG;
    order_.erase(order_.begin() + (Place(elements_[position].key) - order_.begin()));
    elements_.erase(elements_.begin() + static_cast<ptrdiff_t>(position));
    for (size_t& later : order_)
        if (later > position) --later;
    return S_OK;
}

void CollectionStore::RemoveAll() {
    while (!elements_.empty()) elements_.pop_back();
    order_.clear();
}

HRESULT VariantEnumerator::Create(IUnknown* owner, const CollectionElements& elements, IEnumVARIANT** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
        ComPtr<ComObject<VariantEnumerator>> made;
        made.Attach(ComObject<VariantEnumerator>::Make(owner, &elements, 0, elements.size(), 0));
        return made->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(out));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void* VariantEnumerator::InternalQueryInterface(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IEnumVARIANT) return static_cast<IEnumVARIANT*>(this);
    return nullptr;
}

STDMETHODIMP VariantEnumerator::Next(ULONG count, VARIANT* items, ULONG* fetched) {
    if (!items) return E_POINTER;
    if (count != 1 && !fetched) return E_POINTER;
    if (fetched) *fetched = 0;
    ULONG handedOut = 0;
    while (handedOut < count && current_ < End()) {
        VARIANT& slot = items[handedOut];
        VariantInit(&slot);
        V_VT(&slot) = VT_DISPATCH;
        (*elements_)[current_].item.CopyTo(&V_DISPATCH(&slot));
        ++handedOut;
        ++current_;
    }
    if (fetched) *fetched = handedOut;
    return handedOut == count ? S_OK : S_FALSE;
}

STDMETHODIMP VariantEnumerator::Skip(ULONG count) {
    size_t remaining = current_ < End() ? End() - current_ : 0;
    if (count > remaining) {
        current_ += remaining;
        return S_FALSE;
    }
    current_ += count;
    return S_OK;
}

STDMETHODIMP VariantEnumerator::Reset() {
    current_ = begin_;
    return S_OK;
}

STDMETHODIMP VariantEnumerator::Clone(IEnumVARIANT** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
        ComPtr<ComObject<VariantEnumerator>> made;
        made.Attach(ComObject<VariantEnumerator>::Make(owner_.Get(), elements_, begin_, end_, current_));
        return made->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(out));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
