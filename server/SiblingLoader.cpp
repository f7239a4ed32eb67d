#include "server/SiblingLoader.h"

#include <vector>
#include "server/Handles.h"
#include "server/ServerModule.h"

SiblingLibraryCache& SiblingLibraryCache::Instance() {
    static SiblingLibraryCache* cache = new SiblingLibraryCache();  // lives until the process ends
    return *cache;
}

HMODULE SiblingLibraryCache::Find(const _stringx& dllName) const {
    auto found = modules_.find(dllName);
    return found == modules_.end() ? nullptr : found->second;
}

_stringx CommonFilesFolder() {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"CommonFilesDir",
                     RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return _stringx();
    return value;
}

_stringx ChooseSiblingFile(const _stringx& dllName) {
    if (dllName.find(L'\\') != _stringx::npos) return dllName;
    _stringx folder = TheServer().ModuleFolder();
    std::vector<_stringx> candidates;
    candidates.push_back(JoinPath(folder, dllName));
    candidates.push_back(JoinPath(JoinPath(folder, L"System"), dllName));
    _stringx common = CommonFilesFolder();
    if (!common.empty()) {
        candidates.push_back(JoinPath(JoinPath(common, L"Corvane"), dllName));
        candidates.push_back(JoinPath(JoinPath(JoinPath(common, L"Corvane"), L"Showpiece"), dllName));
    }
    // Ancestors of the module's folder, nearest first; the drive root itself is not tried.
    _stringx ancestor = folder;
    for (;;) {
        size_t slash = ancestor.rfind(L'\\');
        if (slash == _stringx::npos) break;
        ancestor = ancestor.substr(0, slash);
        if (ancestor.find(L'\\') == _stringx::npos) break;
        candidates.push_back(JoinPath(JoinPath(ancestor, L"System"), dllName));
    }
    for (const _stringx& candidate : candidates)
        if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) return candidate;
    return dllName;
}

HMODULE LoadSiblingLibrary(const _stringx& dllName) {
    SiblingLibraryCache& cache = SiblingLibraryCache::Instance();
    if (HMODULE known = cache.Find(dllName)) return known;
    _stringx file = ChooseSiblingFile(dllName);

    // The sibling's own dependencies are found beside it.
    DWORD length = GetCurrentDirectoryW(0, nullptr);
    std::wstring saved(length, L'\0');
    bool restore = length && GetCurrentDirectoryW(length, &saved[0]) < length;
    size_t slash = file.rfind(L'\\');
    if (slash != _stringx::npos) SetCurrentDirectoryW(file.substr(0, slash).c_str());
    HMODULE module = LoadLibraryW(file.c_str());
    if (restore) SetCurrentDirectoryW(saved.c_str());

    if (module) cache.Store(dllName, module);
    return module;
}

HRESULT GetSiblingClassObject(const _stringx& dllName, REFCLSID clsid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    HMODULE module = LoadSiblingLibrary(dllName);
    if (!module) return REGDB_E_CLASSNOTREG;
    using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
    if (!getClassObject) return REGDB_E_CLASSNOTREG;
    return getClassObject(clsid, IID_IClassFactory, ppv);
}

HRESULT CreateSiblingObject(const _stringx& dllName, REFCLSID clsid, REFIID iid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (dllName.empty()) return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, iid, ppv);
    ComPtr<IClassFactory> factory;
    HRESULT hr = GetSiblingClassObject(dllName, clsid, factory.PutVoid());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, iid, ppv);
}
