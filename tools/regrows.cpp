// Writes the registry rows that registering a file writes, as installer-package source: the file's own
// DllRegisterServer (for a DLL) or RegisterTypeLib (for a .tlb, as regtlb does) runs with
// HKEY_CLASSES_ROOT redirected to a scratch key, so the package carries exactly what regsvr32 and regtlb
// write, and nothing is registered on the building machine.
//   regrows <out.wxi> <file id> <file>
// A value naming the file becomes [#<file id>], its folder [INSTALLDIR].
#include <windows.h>
#include <oleauto.h>
#include <cstdio>
#include <string>
#include "base/Handles.h"

namespace {
struct Target {
    std::wstring fileId, path, folder;
};

std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::string Xml(const std::wstring& text) {
    std::string out;
    for (char c : Utf8(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// A registry value is formatted text to the installer: brackets are escaped, and the file and its folder
// become references that resolve wherever the package puts them.
std::wstring Formatted(const std::wstring& value, const Target& target) {
    if (_wcsicmp(value.c_str(), target.path.c_str()) == 0) return L"[#" + target.fileId + L"]";
    if (_wcsicmp(value.c_str(), target.folder.c_str()) == 0) return L"[INSTALLDIR]";
    std::wstring out;
    for (wchar_t c : value) {
        if (c == L'[') out += L"[\\[]";
        else if (c == L']') out += L"[\\]]";
        else out += c;
    }
    return out;
}

bool WriteKey(FILE* out, HKEY key, const std::wstring& path, const Target& target) {
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 0;
        LONG rc = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) {
            fwprintf(stderr, L"regrows: %ls\\%ls: only text values are supported\n", path.c_str(), name);
            return false;
        }
        std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
        nameLength = 256;
        size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        RegEnumValueW(key, i, name, &nameLength, nullptr, nullptr, reinterpret_cast<BYTE*>(&value[0]), &size);
        value.resize(wcsnlen(value.c_str(), value.size()));
        fprintf(out, "  <RegistryValue Root=\"HKCR\" Key=\"%s\"%s%s%s Value=\"%s\" Type=\"string\"/>\n",
                Xml(path).c_str(), *name ? " Name=\"" : "", Xml(name).c_str(), *name ? "\"" : "",
                Xml(Formatted(value, target)).c_str());
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        unique_hkey child;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, child.put()) != ERROR_SUCCESS ||
            !WriteKey(out, child.get(), path.empty() ? name : path + L"\\" + name, target)) {
            fwprintf(stderr, L"regrows: cannot read %ls\\%ls\n", path.c_str(), name);
            return false;
        }
    }
    return true;
}

HRESULT Register(const Target& target) {
    size_t dot = target.path.rfind(L'.');
    if (dot != std::wstring::npos && _wcsicmp(target.path.c_str() + dot, L".tlb") == 0) {
        ITypeLib* lib = nullptr;
        HRESULT hr = LoadTypeLibEx(target.path.c_str(), REGKIND_NONE, &lib);
        if (SUCCEEDED(hr)) hr = RegisterTypeLib(lib, const_cast<wchar_t*>(target.path.c_str()), nullptr);
        if (lib) lib->Release();
        return hr;
    }
    HMODULE module = LoadLibraryExW(target.path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    auto registerServer = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(module, "DllRegisterServer"));
    HRESULT hr = registerServer ? registerServer() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    return hr;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        fwprintf(stderr, L"usage: regrows <out.wxi> <file id> <file>\n");
        return 2;
    }
    Target target;
    target.fileId = argv[2];
    wchar_t full[MAX_PATH];
    if (!GetFullPathNameW(argv[3], MAX_PATH, full, nullptr)) return 2;
    target.path = full;
    target.folder = target.path.substr(0, target.path.find_last_of(L'\\'));

    std::wstring scratch = L"Software\\CvMMUpdater2-regrows-" + std::to_wstring(GetCurrentProcessId());
    unique_hkey classes;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, scratch.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        classes.put(), nullptr) != ERROR_SUCCESS) {
        fwprintf(stderr, L"regrows: cannot create HKCU\\%ls\n", scratch.c_str());
        return 1;
    }
    // The server opens CLSID rather than creating it, as on any machine.
    unique_hkey clsid;
    RegCreateKeyExW(classes.get(), L"CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, clsid.put(),
                    nullptr);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, classes.get());
    HRESULT hr = Register(target);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);

    bool written = false;
    if (FAILED(hr)) {
        fwprintf(stderr, L"regrows: registering %ls failed: 0x%08lx\n", full, static_cast<unsigned long>(hr));
    } else if (FILE* out = _wfopen(argv[1], L"wb")) {
        fprintf(out, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n");
        written = WriteKey(out, classes.get(), L"", target);
        fprintf(out, "</Include>\n");
        written = fclose(out) == 0 && written;
    } else {
        fwprintf(stderr, L"regrows: cannot write %ls\n", argv[1]);
    }
    clsid.reset();
    classes.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
    if (!written) _wremove(argv[1]);
    return written ? 0 : 1;
}
