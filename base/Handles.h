// RAII for every handle and COM reference the server holds.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>

// One move-only owner for handles of any kind; each concrete owner is a one-line alias.
template <typename Traits>
class unique_any {
public:
    using pointer = typename Traits::type;

    unique_any() : value_(Traits::invalid()) {}
    explicit unique_any(pointer value) : value_(value) {}
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    ~unique_any() { reset(); }

    pointer get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::invalid(); }
    // Closes the held handle first, then hands out the slot for a new one.
    pointer* put() {
        reset();
        return &value_;
    }
    pointer release() {
        pointer v = value_;
        value_ = Traits::invalid();
        return v;
    }
    void reset(pointer value = Traits::invalid()) {
        if (value_ != Traits::invalid()) Traits::close(value_);
        value_ = value;
    }

private:
    pointer value_;
};

#define CV_HANDLE_TRAITS(name, T, invalidValue, closeCall)          \
    struct name {                                                   \
        using type = T;                                             \
        static T invalid() { return invalidValue; }                 \
        static void close(T h) { closeCall; }                       \
    }

CV_HANDLE_TRAITS(hkey_traits, HKEY, nullptr, RegCloseKey(h));
CV_HANDLE_TRAITS(find_traits, HANDLE, INVALID_HANDLE_VALUE, FindClose(h));
CV_HANDLE_TRAITS(file_traits, HANDLE, INVALID_HANDLE_VALUE, CloseHandle(h));
CV_HANDLE_TRAITS(handle_traits, HANDLE, nullptr, CloseHandle(h));
CV_HANDLE_TRAITS(bstr_traits, BSTR, nullptr, SysFreeString(h));
CV_HANDLE_TRAITS(hlocal_traits, HLOCAL, nullptr, LocalFree(h));
CV_HANDLE_TRAITS(view_traits, void*, nullptr, UnmapViewOfFile(h));

using unique_hkey = unique_any<hkey_traits>;
using unique_find = unique_any<find_traits>;
using unique_file = unique_any<file_traits>;
using unique_handle = unique_any<handle_traits>;
using unique_bstr = unique_any<bstr_traits>;
using unique_hlocal = unique_any<hlocal_traits>;
using unique_view = unique_any<view_traits>;

// A VARIANT that clears itself.
class unique_variant {
public:
    unique_variant() { VariantInit(&value_); }
    ~unique_variant() { VariantClear(&value_); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    VARIANT* get() { return &value_; }
    VARIANT& Get() { return value_; }
    const VARIANT& Get() const { return value_; }

private:
    VARIANT value_;
};

// A counted COM reference.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    ComPtr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(other.Detach()) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(const ComPtr& other) {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Releases the held reference first, then hands out the slot for a new one.
    T** Put() {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset() {
        if (p_) {
            T* p = p_;
            p_ = nullptr;
            p->Release();
        }
    }
    void Attach(T* p) {
        Reset();
        p_ = p;
    }
    T* Detach() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }
    // Hands out a new reference (out parameters).
    void CopyTo(T** out) const {
        if (p_) p_->AddRef();
        *out = p_;
    }
    template <typename U>
    HRESULT As(REFIID iid, ComPtr<U>& out) const {
        return p_ ? p_->QueryInterface(iid, out.PutVoid()) : E_POINTER;
    }
    void Swap(ComPtr& other) { std::swap(p_, other.p_); }

private:
    T* p_ = nullptr;
};
