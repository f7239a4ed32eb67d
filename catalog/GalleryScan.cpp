#include "catalog/GalleryScan.h"

#include <utility>
#include "model/ModuleRecords.h"
#include "server/ComException.h"
#include "base/Handles.h"

namespace {
// An entry reads the file named after its gallery name, so the name is the file's title.
_stringx FileTitle(const wchar_t* fileName) {
    _stringx name(fileName);
    size_t dot = name.rfind(L'.');
    return dot == _stringx::npos ? name : name.substr(0, dot);
}
}  // namespace

void ScanGallery(IAppFolders* folders, GalleryEntryMap& entries,
                 const std::function<bool(const _stringx& key)>& isTaken,
                 const std::function<void(const std::shared_ptr<CatalogEntry>& entry)>& add) {
    if (!folders) RaiseComException(com_exception(E_POINTER));
    unique_bstr applicationFolder;
    CheckResult(folders->ApplicationFolder(applicationFolder.put()));
    _stringx folder = JoinPath(applicationFolder.get(), L"ObjectGallery");

    WIN32_FIND_DATAW found;
    unique_find search(FindFirstFileW(JoinPath(folder, L"*.ini").c_str(), &found));
    if (!search) return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        _stringx path = JoinPath(folder, found.cFileName);

        // The identity is read through the entry itself, so its INI reader loads the file once.
        auto entry = std::make_shared<CatalogEntry>();
        entry->SetNameAndVersion(FileTitle(found.cFileName).c_str(), L"");
        _stringx moduleId = entry->GetModuleId();
        if (moduleId.empty()) continue;
        // Gallery files never replace a module found on disk, nor an earlier gallery file.
        if (isTaken(MakeEntryKey(moduleId, entry->GetLanguage()))) continue;

        entry->LoadFromGallery(path);
        entry->SetLastWriteTime(found.ftLastWriteTime);
        entries[path.Lower()] = entry;
        add(entry);
    } while (FindNextFileW(search.get(), &found));
}
