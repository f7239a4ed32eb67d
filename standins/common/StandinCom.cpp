#include "standins/common/StandinCom.h"

#include <cstring>
#include <map>
#include <new>
#include "server/ComException.h"
#include "server/Handles.h"
#include "server/ServerModule.h"

namespace {
struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return memcmp(&a, &b, sizeof(GUID)) < 0; }
};

std::map<GUID, ITypeInfo*, GuidLess>& TypeInfoCache() {
    static std::map<GUID, ITypeInfo*, GuidLess> cache;
    return cache;
}
}  // namespace

HRESULT OwnTypeInfo(REFIID iid, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    try {
        auto& cache = TypeInfoCache();
        auto found = cache.find(iid);
        if (found == cache.end()) {
            ComPtr<ITypeLib> lib;
            HRESULT hr = LoadTypeLibEx(TheServer().ModulePath().c_str(), REGKIND_NONE, lib.Put());
            if (FAILED(hr)) return hr;
            ITypeInfo* loaded = nullptr;
            hr = lib->GetTypeInfoOfGuid(iid, &loaded);
            if (FAILED(hr)) return hr;
            found = cache.emplace(iid, loaded).first;
        }
        *info = found->second;
        (*info)->AddRef();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void ReleaseOwnTypeInfo() {
    for (auto& entry : TypeInfoCache()) entry.second->Release();
    TypeInfoCache().clear();
}

void RaiseError(HRESULT hr, const _stringx& description) {
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.Put()))) {
        create->SetDescription(const_cast<wchar_t*>(description.c_str()));
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.PutVoid()))) SetErrorInfo(0, info.Get());
    }
    RaiseComException(com_exception(hr));
}

BSTR NewBstr(const _stringx& text) {
    BSTR result = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.length()));
    if (!result) throw std::bad_alloc();
    return result;
}
