// The server DLL loaded by path and called through its exports, as COM itself would.
#pragma once
#include <windows.h>
#include <ole2.h>
#include "base/stringx.h"

class ServerDll {
public:
    explicit ServerDll(const _stringx& path) : module_(LoadLibraryW(path.c_str())) {}
    ~ServerDll() {
        if (module_) FreeLibrary(module_);
    }
    bool Loaded() const { return canUnloadNow_ && getClassObject_ && registerServer_ && unregisterServer_; }
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
    template <class F>
    F Export(const char* name) const { return module_ ? reinterpret_cast<F>(GetProcAddress(module_, name)) : nullptr; }
    using Call = HRESULT(WINAPI*)();
    HMODULE module_;
    Call canUnloadNow_ = Export<Call>("DllCanUnloadNow");
    HRESULT(WINAPI* getClassObject_)(REFCLSID, REFIID, void**) = Export<decltype(getClassObject_)>("DllGetClassObject");
    Call registerServer_ = Export<Call>("DllRegisterServer");
    Call unregisterServer_ = Export<Call>("DllUnregisterServer");
};
