#include "standins/CvAppServices/AppServices.h"

#include <cwchar>
#include <functional>
#include "server/ComException.h"
#include "standins/common/IniFile.h"

namespace {
const wchar_t kFolders[] = L"Folders";
const wchar_t kMergeModules[] = L"MergeModules";
const LONG kSettingsDocument = 8;

HRESULT Boundary(const std::function<HRESULT()>& body) { return ErrorBoundary(CLSID_AppServices, body); }

bool IsOn(const _stringx& value) {
    const wchar_t* text = value.c_str();
    while (*text == L' ' || *text == L'\t') ++text;
    return _wcsnicmp(text, L"true", 4) == 0 || _wtoi(text) != 0;
}
}  // namespace

void* AppServices::InternalQueryInterface(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IAppSettings) return static_cast<IAppSettings*>(this);
    if (iid == IID_IAppFolders) return static_cast<IAppFolders*>(this);
    if (iid == IID_IAppSearchPaths) return static_cast<IAppSearchPaths*>(this);
    if (iid == IID_IAppSettingsFiles) return static_cast<IAppSettingsFiles*>(this);
    if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
}

STDMETHODIMP AppServices::InterfaceSupportsErrorInfo(REFIID iid) {
    return iid == IID_IAppSettings || iid == IID_IAppFolders || iid == IID_IAppSearchPaths ||
                   iid == IID_IAppSettingsFiles
               ? S_OK
               : S_FALSE;
}

// Every answer asks the file as last read; an edit shows at the next call.
HRESULT AppServices::Text(const wchar_t* section, const wchar_t* key, BSTR* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Boundary([&] {
        *out = NewBstr(AppServicesValue(section, key));
        return S_OK;
    });
}

HRESULT AppServices::Switch(const wchar_t* section, const wchar_t* key, VARIANT_BOOL* on) {
    if (!on) return E_POINTER;
    *on = VARIANT_FALSE;
    return Boundary([&] {
        *on = IsOn(AppServicesValue(section, key)) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP AppServices::MergeModuleSearchPath(BSTR* path) { return Text(kMergeModules, L"SearchPath", path); }

STDMETHODIMP AppServices::MergeModuleFolder(LONG index, BSTR* folder) {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    return Boundary([&] {
        // Folder0, Folder1, ...: the first missing or empty one ends the list.
        std::shared_ptr<const IniFile> file = AppServicesSettings();
        _stringx value;
        if (index >= 0 && file) {
            for (LONG i = 0; i <= index; ++i) {
                value = file->Value(kMergeModules, _stringx::Formatted(L"Folder%ld", i));
                if (value.empty()) break;
            }
        }
        *folder = NewBstr(value);
        return S_OK;
    });
}

STDMETHODIMP AppServices::ApplicationFolder(BSTR* folder) { return Text(kFolders, L"Application", folder); }
STDMETHODIMP AppServices::FilesToModulesIndexFolder(BSTR* folder) { return Text(kFolders, L"FilesToModulesIndex", folder); }
STDMETHODIMP AppServices::ModulesIndexFolder(BSTR* folder) { return Text(kFolders, L"ModulesIndex", folder); }
STDMETHODIMP AppServices::SecondSearchPath(BSTR* path) { return Text(kFolders, L"SearchPath2", path); }
STDMETHODIMP AppServices::ExcludedFilePatterns(BSTR* patterns) { return Text(kFolders, L"ExcludedFiles", patterns); }

STDMETHODIMP AppServices::SearchPath(BSTR* path) { return Text(kMergeModules, L"SearchPath", path); }

STDMETHODIMP AppServices::SetSearchPath(BSTR path) {
    return Boundary([&] {
        _stringx location = AppServicesIniPath();
        IniFile file;
        HRESULT hr = file.Load(location);
        if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
            file.Parse(std::string());  // the first value stored creates the file
        else if (FAILED(hr))
            RaiseError(hr, _stringx::Formatted(L"The settings file \"%s\" cannot be read (0x%08lX).", location.c_str(), hr));

        hr = file.SetValue(kMergeModules, L"SearchPath", _stringx(SysStringLen(path), path));
        if (FAILED(hr))
            RaiseError(hr, L"The search path cannot be stored: it holds a line break or a character that the settings "
                           L"file's code page cannot hold.");
        hr = file.Save(location);
        if (FAILED(hr))
            RaiseError(hr, _stringx::Formatted(L"The settings file \"%s\" cannot be written (0x%08lX).", location.c_str(), hr));
        return S_OK;
    });
}

STDMETHODIMP AppServices::MatchResolvedFolder(VARIANT_BOOL* on) { return Switch(kMergeModules, L"MatchResolvedFolder", on); }
STDMETHODIMP AppServices::MatchDirectoryKey(VARIANT_BOOL* on) { return Switch(kMergeModules, L"MatchDirectoryKey", on); }

STDMETHODIMP AppServices::Prepare(BSTR* unused) {
    if (!unused) return E_POINTER;
    *unused = SysAllocString(L"");
    return *unused ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP AppServices::SettingsFile(LONG kind, BSTR* path) {
    if (!path) return E_POINTER;
    *path = nullptr;
    return Boundary([&] {
        if (kind != kSettingsDocument)
            RaiseError(E_INVALIDARG, _stringx::Formatted(L"No settings file of kind %ld is known; the settings "
                                                         L"document is kind 8.", kind));
        *path = NewBstr(AppServicesValue(kFolders, L"SettingsDocument"));
        return S_OK;
    });
}
