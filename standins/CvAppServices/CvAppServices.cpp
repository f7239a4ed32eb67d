// CvAppServices.dll: the application services of the authoring environment, read from an INI file.
#include <windows.h>
#include "appservices.h"
#include "server/ServerModule.h"
#include "standins/CvAppServices/AppServices.h"

namespace {
const wchar_t* NoDescription() { return nullptr; }
const void* NoCategories() { return nullptr; }
void NoInitTerm(bool) {}

ObjectMapEntry g_objectMap[] = {
    {&CLSID_AppServices, UpdateRegistryFromMap, CreateClassFactory, CreatorFor<AppServices>, nullptr, 0, NoDescription,
     NoCategories, NoInitTerm, L"CvAppServices.AppServices.1", L"CvAppServices.AppServices"},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        TheServer().Init(g_objectMap, instance, &LIBID_CvAppServicesLib);
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        TheServer().Term();
        ReleaseOwnTypeInfo();
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return TheServer().CanUnloadNow(); }
extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    return TheServer().GetClassObject(clsid, iid, ppv);
}
extern "C" HRESULT WINAPI DllRegisterServer() { return TheServer().RegisterServer(); }
extern "C" HRESULT WINAPI DllUnregisterServer() { return TheServer().UnregisterServer(); }
