#include "server/SiblingLoader.h"

#include <shlwapi.h>
#include <vector>
#include "base/Handles.h"
#include "server/ServerModule.h"

SiblingLibraryCache& SiblingLibraryCache::Instance() {
    static SiblingLibraryCache* cache = new SiblingLibraryCache();  // lives until the process ends
    return *cache;
}

HMODULE SiblingLibraryCache::Find(const _stringx& dllName) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = modules_.find(dllName);
    return found == modules_.end() ? nullptr : found->second;
}

void SiblingLibraryCache::Store(const _stringx& dllName, HMODULE module) {
    std::lock_guard<std::mutex> hold(lock_);
    modules_[dllName] = module;
}

size_t SiblingLibraryCache::Count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return modules_.size();
}

_stringx CommonFilesFolder() {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"CommonFilesDir",
                     RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return _stringx();
    return value;
}

std::vector<_stringx> SiblingCandidates(const _stringx& moduleFolder, const _stringx& commonFiles,
                                        const _stringx& dllName) {
    std::vector<_stringx> candidates;
    candidates.push_back(JoinPath(moduleFolder, dllName));
    candidates.push_back(JoinPath(JoinPath(moduleFolder, L"System"), dllName));
    if (!commonFiles.empty()) {
        candidates.push_back(JoinPath(JoinPath(commonFiles, L"Corvane"), dllName));
        candidates.push_back(JoinPath(JoinPath(JoinPath(commonFiles, L"Corvane"), L"Showpiece"), dllName));
    }
    // Ancestors of the module's folder, nearest first, down to the root, which is not tried: the drive,
    // or for a UNC path the share (PathSkipRootW knows both).
    const wchar_t* belowRoot = PathSkipRootW(moduleFolder.c_str());
    size_t rootLength = belowRoot ? static_cast<size_t>(belowRoot - moduleFolder.c_str()) : 0;
    for (size_t slash = moduleFolder.rfind(L'\\'); slash != _stringx::npos && slash >= rootLength && slash > 0;
         slash = moduleFolder.rfind(L'\\', slash - 1))
        candidates.push_back(JoinPath(JoinPath(moduleFolder.substr(0, slash), L"System"), dllName));
    return candidates;
}

_stringx ChooseSiblingFile(const _stringx& dllName) {
    if (dllName.find(L'\\') != _stringx::npos) return dllName;
    for (const _stringx& candidate : SiblingCandidates(TheServer().ModuleFolder(), CommonFilesFolder(), dllName))
        if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) return candidate;
    return dllName;
}

HMODULE LoadSiblingLibrary(const _stringx& dllName) {
    SiblingLibraryCache& cache = SiblingLibraryCache::Instance();
    if (HMODULE known = cache.Find(dllName)) return known;
    _stringx file = ChooseSiblingFile(dllName);

    // The sibling's own dependencies are found beside it. The current directory is the process's:
    // one load changes it at a time.
    static std::mutex directoryLock;
    std::lock_guard<std::mutex> hold(directoryLock);
    if (HMODULE known = cache.Find(dllName)) return known;
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
    if (!factory) return E_POINTER;
    return factory->CreateInstance(nullptr, iid, ppv);
}
