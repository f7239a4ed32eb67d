// Runs the server's sibling loader from wherever this program is copied, and prints what it loaded:
//   sibling_probe <dll name>...   ->  one line per name: "<name>|<loaded file or ->|<hr of GetSiblingClassObject>"
//                                      then "cache <entries>"
#include <windows.h>
#include <cstdio>
#include "base/Handles.h"
#include "server/SiblingLoader.h"

int wmain(int argc, wchar_t** argv) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const CLSID sample = {0x2B0E3F7A, 0x51C4, 0x4E7D, {0x9A, 0x11, 0x6C, 0x3D, 0x20, 0x8F, 0x44, 0x01}};
    for (int i = 1; i < argc; ++i) {
        ComPtr<IUnknown> factory;
        HRESULT hr = GetSiblingClassObject(argv[i], sample, factory.PutVoid());
        HMODULE loaded = SiblingLibraryCache::Instance().Find(argv[i]);
        wchar_t path[MAX_PATH] = L"-";
        if (loaded) GetModuleFileNameW(loaded, path, MAX_PATH);
        wprintf(L"%ls|%ls|0x%08lx\n", argv[i], path, static_cast<unsigned long>(hr));
    }
    wprintf(L"cache %u\n", static_cast<unsigned>(SiblingLibraryCache::Instance().Count()));
    fflush(stdout);
    CoUninitialize();
    return 0;
}
