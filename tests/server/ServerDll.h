// The server DLL loaded by path and called through its exports, as COM itself would.
#pragma once
#include <windows.h>
#include <ole2.h>
#include "msi/stringx.h"

class ServerDll {
public:
    explicit ServerDll(const _stringx& path) {
        module_ = LoadLibraryW(path.c_str());
        if (!module_) return;
        canUnloadNow_ = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(module_, "DllCanUnloadNow"));
        getClassObject_ =
            reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(GetProcAddress(module_, "DllGetClassObject"));
        registerServer_ = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(module_, "DllRegisterServer"));
        unregisterServer_ = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(module_, "DllUnregisterServer"));
    }
    ~ServerDll() {
        if (module_) FreeLibrary(module_);
    }
    bool Loaded() const { return module_ && canUnloadNow_ && getClassObject_ && registerServer_ && unregisterServer_; }
    HRESULT CanUnloadNow() const { return canUnloadNow_(); }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const { return getClassObject_(clsid, iid, ppv); }
    HRESULT Register() const { return registerServer_(); }
    HRESULT Unregister() const { return unregisterServer_(); }
    // Creates an object through the DLL's own class object.
    HRESULT Create(REFCLSID clsid, REFIID iid, void** ppv, IUnknown* outer = nullptr) const {
        IClassFactory* factory = nullptr;
        HRESULT hr = GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (FAILED(hr)) return hr;
        hr = factory->CreateInstance(outer, iid, ppv);
        factory->Release();
        return hr;
    }

private:
    HMODULE module_ = nullptr;
    HRESULT(WINAPI* canUnloadNow_)() = nullptr;
    HRESULT(WINAPI* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* registerServer_)() = nullptr;
    HRESULT(WINAPI* unregisterServer_)() = nullptr;
};
