// Registers (or with /u unregisters) a type library file: regsvr32 cannot take a bare .tlb.
//   regtlb [/u] <path.tlb>
#include <windows.h>
#include <oleauto.h>
#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    bool unregister = argc == 3 && _wcsicmp(argv[1], L"/u") == 0;
    if (argc != 2 && !unregister) {
        fwprintf(stderr, L"usage: regtlb [/u] <path.tlb>\n");
        return 2;
    }
    const wchar_t* path = argv[argc - 1];
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &lib);
    if (FAILED(hr)) {
        fwprintf(stderr, L"regtlb: cannot load %ls: 0x%08lx\n", path, static_cast<unsigned long>(hr));
        return 1;
    }
    if (unregister) {
        TLIBATTR* attr = nullptr;
        hr = lib->GetLibAttr(&attr);
        if (SUCCEEDED(hr)) {
            hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
            lib->ReleaseTLibAttr(attr);
        }
        // Unregistering what is not registered is not a failure.
        if (hr == TYPE_E_REGISTRYACCESS) hr = S_OK;
    } else {
        hr = RegisterTypeLib(lib, const_cast<wchar_t*>(path), nullptr);
    }
    lib->Release();
    if (FAILED(hr)) {
        fwprintf(stderr, L"regtlb: %ls %ls failed: 0x%08lx\n", unregister ? L"unregister" : L"register", path,
                 static_cast<unsigned long>(hr));
        return 1;
    }
    return 0;
}
