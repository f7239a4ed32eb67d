#include "server/ServerModule.h"

#include <map>
#include <mutex>
#include "base/Handles.h"
#include "cvmmupdater.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {
// Guards its reference count with its own lock; the map's reference does not keep the DLL loaded.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(ObjectMapEntry& entry) : entry_(entry) { InitializeCriticalSection(&lock_); }
    ~ClassFactory() { DeleteCriticalSection(&lock_); }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        EnterCriticalSection(&lock_);
        ULONG r = ++refs_;
        if (r == 2) TheServer().Lock();
        LeaveCriticalSection(&lock_);
        return r;
    }
    STDMETHODIMP_(ULONG) Release() override {
        EnterCriticalSection(&lock_);
        ULONG r = --refs_;
        if (r == 1) TheServer().Unlock();
        LeaveCriticalSection(&lock_);
        if (r == 0) delete this;
        return r;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
        return entry_.createInstance(outer, iid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            TheServer().Lock();
        else
            TheServer().Unlock();
        return S_OK;
    }

private:
    ObjectMapEntry& entry_;
    ULONG refs_ = 0;
    CRITICAL_SECTION lock_;
};

// Shared by every apartment, guarded by TypeInfoLock (held only to find or file): type information
// objects are not tied to an apartment.
std::mutex& TypeInfoLock() {
    static std::mutex lock;
    return lock;
}

std::map<GUID, ITypeInfo*, bool (*)(const GUID&, const GUID&)>& TypeInfoCache() {
    static std::map<GUID, ITypeInfo*, bool (*)(const GUID&, const GUID&)> cache(
        [](const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) < 0; });
    return cache;
}
}  // namespace

ServerModule::ServerModule() : instance_(reinterpret_cast<HINSTANCE>(&__ImageBase)) {
    InitializeCriticalSection(&classObjectLock_);
    InitializeCriticalSection(&generalLock_);
    InitializeCriticalSection(&windowCreateLock_);
}

ServerModule::~ServerModule() {
    DeleteCriticalSection(&classObjectLock_);
    DeleteCriticalSection(&generalLock_);
    DeleteCriticalSection(&windowCreateLock_);
}

ServerModule& TheServer() {
    static ServerModule module;
    return module;
}

void ServerModule::Init(ObjectMapEntry* map, HINSTANCE instance, const GUID* libid) {
    instance_ = instance;
    map_ = map;
    lockCount_ = 0;
    libid_ = libid;
    for (ObjectMapEntry* e = map_; e && e->clsid; ++e)
        if (e->classInitTerm) e->classInitTerm(true);
}

void ServerModule::Term() {
    for (ObjectMapEntry* e = map_; e && e->clsid; ++e) {
        if (e->classObject) {
            e->classObject->Release();
            e->classObject = nullptr;
        }
        if (e->classInitTerm) e->classInitTerm(false);
    }
    ReleaseCachedTypeInfo();
}

LONG ServerModule::Lock() { return InterlockedIncrement(&lockCount_); }
LONG ServerModule::Unlock() { return InterlockedDecrement(&lockCount_); }

_stringx ServerModule::ModulePath() const {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(instance_, path, MAX_PATH);
    return path;
}

_stringx ServerModule::ModuleFolder() const {
    _stringx path = ModulePath();
    size_t slash = path.rfind(L'\\');
    return slash == _stringx::npos ? _stringx() : path.substr(0, slash);
}

const ObjectMapEntry* ServerModule::FindEntry(REFCLSID clsid) const {
    for (ObjectMapEntry* e = map_; e && e->clsid; ++e)
        if (IsEqualCLSID(*e->clsid, clsid)) return e;
    return nullptr;
}

HRESULT ServerModule::GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    HRESULT hr = CLASS_E_CLASSNOTAVAILABLE;
    for (ObjectMapEntry* e = map_; e && e->clsid; ++e) {
        if (!e->createClassObject || memcmp(e->clsid, &clsid, sizeof(CLSID)) != 0) continue;
        if (!e->classObject) {
            EnterCriticalSection(&classObjectLock_);
            if (!e->classObject) hr = e->createClassObject(*e, IID_IUnknown, reinterpret_cast<void**>(&e->classObject));
            LeaveCriticalSection(&classObjectLock_);
        }
        if (e->classObject) hr = e->classObject->QueryInterface(iid, ppv);
        break;
    }
    if (hr == S_OK && !*ppv) hr = CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

HRESULT CreateClassFactory(ObjectMapEntry& entry, REFIID iid, void** ppv) {
    ClassFactory* factory = new (std::nothrow) ClassFactory(entry);
    if (!factory) return E_OUTOFMEMORY;
    factory->AddRef();
    HRESULT hr = factory->QueryInterface(iid, ppv);
    factory->Release();
    return hr;
}

HRESULT ServerModule::RegisterServer() {
    for (ObjectMapEntry* e = map_; e && e->clsid; ++e) {
        if (e->objectDescription && e->objectDescription()) continue;
        HRESULT hr = e->updateRegistry(*e, true);
        if (FAILED(hr)) return hr;
    }
    // The type library: the module itself, else a .tlb of the same name beside it.
    _stringx path = ModulePath();
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLib(path.c_str(), lib.Put());
    if (FAILED(hr)) {
        size_t dot = path.rfind(L'.');
        if (dot != _stringx::npos) path = path.substr(0, dot);
        path += L".tlb";
        hr = LoadTypeLib(path.c_str(), lib.Put());
    }
    if (FAILED(hr)) return hr;
    _stringx folder = ModuleFolder();
    return RegisterTypeLib(lib.Get(), const_cast<wchar_t*>(path.c_str()), const_cast<wchar_t*>(folder.c_str()));
}

HRESULT ServerModule::UnregisterServer() {
    for (ObjectMapEntry* e = map_; e && e->clsid; ++e) {
        if (e->objectDescription && e->objectDescription()) continue;
        e->updateRegistry(*e, false);
    }
    using UnRegisterFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
    auto unregister = oleaut ? reinterpret_cast<UnRegisterFn>(GetProcAddress(oleaut, "UnRegisterTypeLib")) : nullptr;
    if (!unregister) return S_OK;
    _stringx path = ModulePath();
    ComPtr<ITypeLib> lib;
    if (FAILED(LoadTypeLib(path.c_str(), lib.Put()))) {
        size_t dot = path.rfind(L'.');
        if (dot != _stringx::npos) path = path.substr(0, dot);
        path += L".tlb";
        if (FAILED(LoadTypeLib(path.c_str(), lib.Put()))) return S_OK;
    }
    TLIBATTR* attr = nullptr;
    if (SUCCEEDED(lib->GetLibAttr(&attr))) {
        unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        lib->ReleaseTLibAttr(attr);
    }
    return S_OK;
}

namespace {
HRESULT SetKeyValue(HKEY parent, const wchar_t* subkey, const wchar_t* name, const wchar_t* value, unique_hkey* created) {
    unique_hkey key;
    LONG rc = RegCreateKeyExW(parent, subkey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    rc = RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                        static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    if (created) *created = std::move(key);
    return S_OK;
}

HRESULT RegisterProgId(const wchar_t* progId, const wchar_t* description, const wchar_t* clsid) {
    unique_hkey key;
    HRESULT hr = SetKeyValue(HKEY_CLASSES_ROOT, progId, nullptr, description, &key);
    if (FAILED(hr)) return hr;
    return SetKeyValue(key.get(), L"CLSID", nullptr, clsid, nullptr);
}
}  // namespace

HRESULT UpdateRegistryFromMap(const ObjectMapEntry& entry, bool registering) {
    wchar_t clsid[40] = {};
    StringFromGUID2(*entry.clsid, clsid, 40);
    if (!registering) {
        if (entry.progId && *entry.progId) RegDeleteTreeW(HKEY_CLASSES_ROOT, entry.progId);
        if (entry.versionIndependentProgId && *entry.versionIndependentProgId)
            RegDeleteTreeW(HKEY_CLASSES_ROOT, entry.versionIndependentProgId);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (_stringx(L"CLSID\\") + clsid).c_str());
        return S_OK;
    }
    wchar_t description[256] = {};
    LoadStringW(TheServer().Instance(), 1009, description, 256);
    _stringx modulePath = TheServer().ModulePath();

    HRESULT hr = RegisterProgId(entry.progId, description, clsid);
    if (SUCCEEDED(hr)) hr = RegisterProgId(entry.versionIndependentProgId, description, clsid);
    if (FAILED(hr)) return hr;

    unique_hkey classes;
    LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ | KEY_WRITE, classes.put());
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    unique_hkey key;
    hr = SetKeyValue(classes.get(), clsid, nullptr, description, &key);
    if (SUCCEEDED(hr)) hr = SetKeyValue(key.get(), L"ProgID", nullptr, entry.progId, nullptr);
    if (SUCCEEDED(hr)) hr = SetKeyValue(key.get(), L"VersionIndependentProgID", nullptr, entry.versionIndependentProgId, nullptr);
    unique_hkey inproc;
    if (SUCCEEDED(hr)) hr = SetKeyValue(key.get(), L"InprocServer32", nullptr, modulePath.c_str(), &inproc);
    if (SUCCEEDED(hr)) hr = SetKeyValue(inproc.get(), nullptr, L"ThreadingModel", L"Apartment", nullptr);
    return hr;
}

HRESULT GetCachedTypeInfo(REFIID iid, HRESULT (*openLibrary)(ITypeLib** library), ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    try {
        auto& cache = TypeInfoCache();
        {
            std::lock_guard<std::mutex> hold(TypeInfoLock());
            auto found = cache.find(iid);
            if (found != cache.end()) {
                *info = found->second;
                (*info)->AddRef();
                return S_OK;
            }
        }
        ComPtr<ITypeLib> lib;
        HRESULT hr = openLibrary(lib.Put());
        if (FAILED(hr)) return hr;
        ITypeInfo* loaded = nullptr;
        hr = lib->GetTypeInfoOfGuid(iid, &loaded);
        if (FAILED(hr)) return hr;
        std::lock_guard<std::mutex> hold(TypeInfoLock());
        // Two threads may load it at once: the first filed stands.
        auto filed = cache.emplace(iid, loaded);
        if (!filed.second) loaded->Release();
        *info = filed.first->second;
        (*info)->AddRef();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT GetServerTypeInfo(REFIID iid, ITypeInfo** info) {
    return GetCachedTypeInfo(iid, [](ITypeLib** library) {
        HRESULT hr = LoadRegTypeLib(LIBID_CvMMUpdaterInterfaces, 1, 0, LOCALE_NEUTRAL, library);
        if (FAILED(hr))
            hr = LoadTypeLibEx(JoinPath(TheServer().ModuleFolder(), L"cvmmupdater.tlb").c_str(), REGKIND_NONE, library);
        return hr;
    }, info);
}

void ReleaseCachedTypeInfo() {
    std::map<GUID, ITypeInfo*, bool (*)(const GUID&, const GUID&)> cached(TypeInfoCache().key_comp());
    {
        std::lock_guard<std::mutex> hold(TypeInfoLock());
        cached.swap(TypeInfoCache());
    }
    for (auto& kv : cached) kv.second->Release();
}

BOOL ServerDllMain(ObjectMapEntry* map, const GUID* libid, HINSTANCE instance, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        TheServer().Init(map, instance, libid);
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        // At process exit (reserved non-null) other DLLs may be gone: leave the objects alone.
        TheServer().Term();
    }
    return TRUE;
}
