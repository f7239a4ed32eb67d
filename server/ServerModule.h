// Process-wide server state: the object map, the lock count, class objects and registration.
#pragma once
#include <windows.h>
#include <ole2.h>
#include "base/stringx.h"

struct ObjectMapEntry;
using CreatorFunc = HRESULT (*)(IUnknown* outer, REFIID iid, void** ppv);

// One row per coclass; the table ends with a row whose clsid is null.
struct ObjectMapEntry {
    const CLSID* clsid;
    HRESULT (*updateRegistry)(const ObjectMapEntry& entry, bool registering);
    HRESULT (*createClassObject)(ObjectMapEntry& entry, REFIID iid, void** ppv);
    CreatorFunc createInstance;  // plain or aggregated, chosen by whether an outer unknown is given
    IUnknown* classObject;       // cached, null until first requested
    DWORD registrationCookie;    // never set by an in-process server
    const wchar_t* (*objectDescription)();
    const void* (*categoryMap)();
    void (*classInitTerm)(bool initialising);
    const wchar_t* progId;
    const wchar_t* versionIndependentProgId;
};

class ServerModule {
public:
    ServerModule();
    ~ServerModule();

    void Init(ObjectMapEntry* map, HINSTANCE instance, const GUID* libid);
    void Term();

    LONG Lock();
    LONG Unlock();
    LONG LockCount() const { return lockCount_; }

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv);
    HRESULT CanUnloadNow() const { return lockCount_ == 0 ? S_OK : S_FALSE; }
    HRESULT RegisterServer();
    HRESULT UnregisterServer();

    HINSTANCE Instance() const { return instance_; }
    _stringx ModulePath() const;
    _stringx ModuleFolder() const;  // without trailing backslash
    const ObjectMapEntry* FindEntry(REFCLSID clsid) const;
    CRITICAL_SECTION& ClassObjectLock() { return classObjectLock_; }

private:
    HINSTANCE instance_;
    volatile LONG lockCount_ = 0;
    ObjectMapEntry* map_ = nullptr;
    const GUID* libid_ = nullptr;
    CRITICAL_SECTION classObjectLock_;
    CRITICAL_SECTION generalLock_;
    CRITICAL_SECTION windowCreateLock_;
};

ServerModule& TheServer();

// Registry routine shared by every row: ProgID keys and CLSID key as data.
HRESULT UpdateRegistryFromMap(const ObjectMapEntry& entry, bool registering);
// Class-object creator shared by every row.
HRESULT CreateClassFactory(ObjectMapEntry& entry, REFIID iid, void** ppv);
// The type information of an interface, from the library that openLibrary opens on first need;
// cached per interface for the life of the module, one reference out.
HRESULT GetCachedTypeInfo(REFIID iid, HRESULT (*openLibrary)(ITypeLib** library), ITypeInfo** info);
// The server's interfaces: from cvmmupdater.tlb, registered or else beside the module.
HRESULT GetServerTypeInfo(REFIID iid, ITypeInfo** info);
// Releases the cached type information (module unload).
void ReleaseCachedTypeInfo();

// Row routines that every class of our DLLs shares: registered, no categories, no per-class hook.
inline const wchar_t* NoObjectDescription() { return nullptr; }
inline const void* NoCategoryMap() { return nullptr; }
inline void NoClassInitTerm(bool) {}

// One object-map row for a class made by CreateComInstance<Class>, and the row that ends a map.
#define CV_OBJECT_ENTRY(clsid, Class, progId, versionIndependentProgId)                                      \
    {&clsid, UpdateRegistryFromMap, CreateClassFactory, CreatorFor<Class>, nullptr, 0, NoObjectDescription, \
     NoCategoryMap, NoClassInitTerm, progId, versionIndependentProgId}
#define CV_OBJECT_MAP_END {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr}

// DllMain of a COM DLL over TheServer(): sets the module up at attach, tears it down at unload.
BOOL ServerDllMain(ObjectMapEntry* map, const GUID* libid, HINSTANCE instance, DWORD reason, void* reserved);

// DllMain and the four COM exports of a DLL whose classes are in the object map.
#define CV_COM_DLL_ENTRY_POINTS(map, libid)                                                          \
    extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {               \
        return ServerDllMain(map, libid, instance, reason, reserved);                                \
    }                                                                                                \
    extern "C" HRESULT WINAPI DllCanUnloadNow() { return TheServer().CanUnloadNow(); }               \
    extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {            \
        return TheServer().GetClassObject(clsid, iid, ppv);                                          \
    }                                                                                                \
    extern "C" HRESULT WINAPI DllRegisterServer() { return TheServer().RegisterServer(); }           \
    extern "C" HRESULT WINAPI DllUnregisterServer() { return TheServer().UnregisterServer(); }
