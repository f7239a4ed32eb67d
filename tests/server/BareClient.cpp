// Loads the server found beside this program and reports, one "name=value" per line, what creating
// the catalogs gives. Run from a folder without the environment's components.
#include <windows.h>
#include <cstdio>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "tests/server/ServerDll.h"

int wmain() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    _stringx folder(self);
    folder = folder.substr(0, folder.rfind(L'\\'));
    {
        ServerDll dll(JoinPath(folder, L"CvMMUpdater2.dll"));
        printf("loaded=%d\n", dll.Loaded() ? 1 : 0);
        if (!dll.Loaded()) return 1;
        const struct {
            const char* name;
            const CLSID* clsid;
        } catalogs[] = {{"MMCatalog", &CLSID_MMCatalog}, {"MMCatalogPro", &CLSID_MMCatalogPro}};
        for (const auto& c : catalogs) {
            IUnknown* object = nullptr;
            HRESULT hr = dll.Create(*c.clsid, IID_IUnknown, reinterpret_cast<void**>(&object));
            printf("%s=0x%08lx %s\n", c.name, static_cast<unsigned long>(hr), object ? "object" : "null");
            if (object) object->Release();
        }
        IMMCatalogManager* manager = nullptr;
        if (SUCCEEDED(dll.Create(CLSID_MMCatalogManager, IID_IMMCatalogManager, reinterpret_cast<void**>(&manager)))) {
            for (LONG type : {1, 9}) {
                IDispatch* catalog = nullptr;
                HRESULT hr = manager->GetCatalog(type, &catalog);
                _stringx source, description;
                IErrorInfo* info = nullptr;
                if (GetErrorInfo(0, &info) == S_OK && info) {
                    BSTR text = nullptr;
                    if (SUCCEEDED(info->GetSource(&text)) && text) source = text;
                    SysFreeString(text);
                    text = nullptr;
                    if (SUCCEEDED(info->GetDescription(&text)) && text) description = text;
                    SysFreeString(text);
                    info->Release();
                }
                printf("GetCatalog(%ld)=0x%08lx %s source=%s described=%d\n", static_cast<long>(type),
                       static_cast<unsigned long>(hr), catalog ? "object" : "null", source.AsNarrow(),
                       description.empty() ? 0 : 1);
                if (catalog) catalog->Release();
            }
            manager->Release();
        }
        printf("DllCanUnloadNow=0x%08lx\n", static_cast<unsigned long>(dll.CanUnloadNow()));
    }
    fflush(stdout);
    CoUninitialize();
    return 0;
}
