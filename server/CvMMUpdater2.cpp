// The server DLL: its four exports over the table of its four classes.
#include <windows.h>
#include "CvMMUpdater2.h"
#include "catalog/MMCatalog.h"
#include "catalog/MMCatalogManager.h"
#include "msi/MergeModule2.h"
#include "server/ComObject.h"
#include "server/ServerModule.h"

namespace {
const wchar_t* NoDescription() { return nullptr; }  // every class is registered
const void* NoCategories() { return nullptr; }
void NoInitTerm(bool) {}

const GUID kLibId = {0x8FC21AA4, 0x29DC, 0x46A7, {0x81, 0x79, 0x73, 0x9E, 0x07, 0xAC, 0x74, 0x92}};

#define CV_OBJECT_ENTRY(Class, Name)                                                                        \
    {&CLSID_##Class, UpdateRegistryFromMap, CreateClassFactory, CreatorFor<Class>, nullptr, 0, NoDescription, \
     NoCategories, NoInitTerm, L"CvMMUpdater." Name L".1", L"CvMMUpdater." Name}

ObjectMapEntry g_objectMap[] = {
    CV_OBJECT_ENTRY(MMCatalog, L"MMCatalog"),
    CV_OBJECT_ENTRY(MMCatalogPro, L"MMCatalogPro"),
    CV_OBJECT_ENTRY(MergeModule2, L"MergeModule2"),
    CV_OBJECT_ENTRY(MMCatalogManager, L"MMCatalogManager"),
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        TheServer().Init(g_objectMap, instance, &kLibId);
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        // At process exit (reserved non-null) other DLLs may be gone: leave the objects alone.
        TheServer().Term();
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return TheServer().CanUnloadNow(); }

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    return TheServer().GetClassObject(clsid, iid, ppv);
}

extern "C" HRESULT WINAPI DllRegisterServer() { return TheServer().RegisterServer(); }

extern "C" HRESULT WINAPI DllUnregisterServer() { return TheServer().UnregisterServer(); }
