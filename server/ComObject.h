// The standard object creator: plain and aggregated forms over one implementation class.
//
// An implementation class T derives from its interfaces and provides
//   void* InternalQueryInterface(REFIID iid)  - the interface pointer (no reference added) or null;
//                                               IUnknown gives the object's identity
//   HRESULT FinalConstruct()                  - optional second construction step (ComObjectRoot: S_OK)
// Every live object holds one server lock.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <new>
#include <utility>
#include "server/ServerModule.h"

class ComObjectRoot {
public:
    HRESULT FinalConstruct() { return S_OK; }

protected:
    ComObjectRoot() = default;
    virtual ~ComObjectRoot() = default;
};

template <typename T>
class ComObject final : public T {
public:
    template <typename... Args>
    explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) {
        TheServer().Lock();
    }
    ~ComObject() override { TheServer().Unlock(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = T::InternalQueryInterface(iid);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    // Apartment-threaded objects: a plain count.
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG r = --refs_;
        if (r == 0) delete this;
        return r;
    }
    ULONG InternalAddRef() { return ++refs_; }
    ULONG InternalRelease() { return --refs_; }

    // A new object holding one reference, or an exception (bad_alloc or what T's constructor throws).
    template <typename... Args>
    static ComObject* Make(Args&&... args) {
        ComObject* object = new ComObject(std::forward<Args>(args)...);
        object->refs_ = 1;
        return object;
    }

private:
    ULONG refs_ = 0;
};

// The inner object of an aggregate: its IUnknown delegates to the outer unknown.
template <typename T>
class ComContainedObject final : public T {
public:
    template <typename... Args>
    explicit ComContainedObject(IUnknown* outer, Args&&... args) : T(std::forward<Args>(args)...), outer_(outer) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override { return outer_->QueryInterface(iid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

private:
    IUnknown* outer_;
};

// The aggregated form: a non-delegating IUnknown owning the contained object.
template <typename T>
class ComAggObject final : public IUnknown {
public:
    template <typename... Args>
    explicit ComAggObject(IUnknown* outer, Args&&... args) : inner_(outer, std::forward<Args>(args)...) {
        TheServer().Lock();
    }
    ~ComAggObject() { TheServer().Unlock(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (iid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = inner_.InternalQueryInterface(iid);
        if (!*ppv) return E_NOINTERFACE;
        static_cast<IUnknown*>(*ppv)->AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG r = --refs_;
        if (r == 0) delete this;
        return r;
    }
    ULONG InternalAddRef() { return ++refs_; }
    ULONG InternalRelease() { return --refs_; }
    T& Inner() { return inner_; }

private:
    ULONG refs_ = 0;
    ComContainedObject<T> inner_;
};

namespace detail {
template <typename Object, typename Inner>
HRESULT FinishCreation(Object* object, Inner& inner, REFIID iid, void** ppv) {
    // The extra reference keeps the object alive while FinalConstruct hands itself around.
    object->InternalAddRef();
    HRESULT hr = inner.FinalConstruct();
    object->InternalRelease();
    if (hr != S_OK) {
        delete object;
        return hr;
    }
    hr = object->QueryInterface(iid, ppv);
    if (hr != S_OK) {
        delete object;
        return hr;
    }
    return S_OK;
}
}  // namespace detail

// Class-factory creation: a throwing constructor gives E_OUTOFMEMORY; a FinalConstruct result other
// than S_OK (S_FALSE included) destroys the object and is returned.
template <typename T, typename... Args>
HRESULT CreateComInstance(IUnknown* outer, REFIID iid, void** ppv, Args&&... args) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    if (outer) {
        ComAggObject<T>* object = nullptr;
        try {
            object = new ComAggObject<T>(outer, std::forward<Args>(args)...);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return detail::FinishCreation(object, object->Inner(), iid, ppv);
    }
    ComObject<T>* object = nullptr;
    try {
        object = new ComObject<T>(std::forward<Args>(args)...);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return detail::FinishCreation(object, *object, iid, ppv);
}

template <typename T>
HRESULT CreatorFor(IUnknown* outer, REFIID iid, void** ppv) {
    return CreateComInstance<T>(outer, iid, ppv);
}
