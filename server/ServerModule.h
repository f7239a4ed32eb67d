// Process-wide server state: the object map, the lock count, class objects and registration.
#pragma once
#include <windows.h>
#include <ole2.h>
#include "msi/stringx.h"

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
// Loads the type information of one of the server's interfaces (cached, one reference out).
HRESULT GetServerTypeInfo(REFIID iid, ITypeInfo** info);
// Releases the cached type information (module unload).
void ReleaseServerTypeInfo();
