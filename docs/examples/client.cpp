// A C++ client bound early to the interfaces: the headers and GUIDs that widl generates from the
// type library (<build>/gen/cvmmupdater.h, CvMMUpdater2.h and their _i.c files).
#include <windows.h>
#include <cstdio>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fwprintf(stderr, L"usage: client <target path of a file> [version]\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IMMCatalog* catalog = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MMCatalog, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog,
                                  reinterpret_cast<void**>(&catalog));
    if (FAILED(hr)) {
        fwprintf(stderr, L"MMCatalog: 0x%08lX\n", hr);
        return 2;
    }
    BSTR path = SysAllocString(argv[1]);
    BSTR key = SysAllocString(L"");
    BSTR version = SysAllocString(argc > 2 ? argv[2] : L"");
    IMergeModule2* module = nullptr;  // [in, out]: null in, the module out
    VARIANT_BOOL found = VARIANT_FALSE;
    hr = catalog->FindModuleForFileEx(path, key, version, &module, &found);
    int exitCode = SUCCEEDED(hr) && module ? 0 : 1;
    if (exitCode == 0) {
        BSTR entryKey = nullptr, name = nullptr;
        module->get_EntryKey(&entryKey);
        module->get_DisplayName(&name);
        IDependencyCollection* dependencies = nullptr;
        LONG count = 0;
        if (SUCCEEDED(module->get_Dependencies(&dependencies))) {
            dependencies->get_Count(&count);
            dependencies->Release();
        }
        wprintf(L"%ls: %ls (%ls), found %d, %ld dependencies\n", path, entryKey, name, found != VARIANT_FALSE, count);
        SysFreeString(entryKey);
        SysFreeString(name);
        module->Release();
    } else {
        wprintf(L"%ls: no module (0x%08lX)\n", path, hr);
    }
    SysFreeString(path);
    SysFreeString(key);
    SysFreeString(version);
    catalog->Release();
    CoUninitialize();
    return exitCode;
}
