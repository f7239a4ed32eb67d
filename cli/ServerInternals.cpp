#include "cli/ServerInternals.h"

#include "model/ModuleRecords.h"
#include "msi/ModuleEntry.h"
#include "msi/SearchLocation.h"
#include "appservices.h"
#include "server/ComException.h"
#include "server/SiblingLoader.h"

namespace server_internals {
ModuleFolders::ModuleFolders(const _stringx& path) : entry_(std::make_unique<ModuleEntry>()) {
    entry_->Load(path, L"");
}

ModuleFolders::~ModuleFolders() = default;

bool ModuleFolders::Resolve(const _stringx& directoryKey, _stringx& folder) {
    bool resolved = false;
    try {
        resolved = entry_->ResolveModuleDirectory(directoryKey, folder);
    } catch (const CComException&) {
        // A module that cannot be opened again leaves its folders unresolved.
        resolved = false;
    }
    if (!resolved) folder.clear();
    return resolved;
}

_stringx LongFileName(const _stringx& storedName) { return ::LongFileName(storedName); }

void SearchPathFolders(std::vector<_stringx>& folders, std::vector<_stringx>& missing) {
    ComPtr<IAppSettings> settings;
    ComPtr<IAppFolders> appFolders;
    CheckResult(CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppSettings, settings.PutVoid()));
    CheckResult(settings.As(IID_IAppFolders, appFolders));
    unique_bstr first, second;
    CheckResult(settings->MergeModuleSearchPath(first.put()));
    CheckResult(appFolders->SecondSearchPath(second.put()));
    _stringx a(first.get()), b(second.get());
    SplitSearchPath(!a.empty() && !b.empty() ? b + L"," + a : (a.empty() ? b : a), folders, missing);
}

std::vector<_stringx> ModuleFilesIn(const _stringx& folder) {
    FoundFiles found;
    FindModuleFiles(folder, found);
    std::vector<_stringx> paths;
    for (size_t i = 0; i < found.files.size(); ++i) paths.push_back(found.PathOf(i));
    return paths;
}
}  // namespace server_internals
