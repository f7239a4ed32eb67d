// IDispatch driven by type information: one cached ITypeInfo per interface, Invoke forwarded.
#pragma once
#include <windows.h>
#include <oleauto.h>

// Source: a function giving the type information of an interface (one reference out).
using TypeInfoLoader = HRESULT (*)(REFIID iid, ITypeInfo** info);

template <typename Interface, const IID* Iid, TypeInfoLoader Loader>
class DispatchImpl : public Interface {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return Loader(*Iid, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        ITypeInfo* info = nullptr;
        HRESULT hr = Loader(*Iid, &info);
        if (FAILED(hr)) return hr;
        hr = info->GetIDsOfNames(names, count, ids);
        info->Release();
        return hr;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepInfo, UINT* argErr) override {
        ITypeInfo* info = nullptr;
        HRESULT hr = Loader(*Iid, &info);
        if (FAILED(hr)) return hr;
        // Script engines (Wine's JScript for _NewEnum) call properties as methods.
        if (flags == DISPATCH_METHOD) flags |= DISPATCH_PROPERTYGET;
        hr = info->Invoke(static_cast<Interface*>(this), id, flags, params, result, excepInfo, argErr);
        info->Release();
        return hr;
    }
};
