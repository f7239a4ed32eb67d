// The tool's one entry into the server's internals. Everything else in cli/ is a COM client of the
// server's classes; what follows is what the tool needs and the interfaces do not give:
// - a file's target folder: IFileItem gives only the directory key, and the server resolves folders
//   inside its file search without handing them out;
// - the server's own rule for a file's long name, so that the tool reads it exactly as the catalog
//   does (versions are compared with the shared rule of base/).
// - the folders of the search path as the catalog reads them from the application services, with
//   the ones it drops because they name no folder;
// - which files of a search location the scan takes for module files, so that the tool can name the
//   ones the catalog passed over (unreadable, or hidden by another copy of the same key);
// Nothing else in cli/ includes msi/, model/, catalog/ or folders/; a further need of the internals
// belongs here too.
#pragma once
#include <memory>
#include <vector>
#include "base/stringx.h"

class ModuleEntry;

namespace server_internals {
// The directory keys of one module file, resolved by the server's own reader the way its file
// search resolves them ("[SystemFolder]MyDir\Sub").
class ModuleFolders {
public:
    explicit ModuleFolders(const _stringx& path);
    ~ModuleFolders();
    ModuleFolders(const ModuleFolders&) = delete;
    ModuleFolders& operator=(const ModuleFolders&) = delete;

    // False, with folder empty, when the key does not resolve or the module cannot be opened again.
    bool Resolve(const _stringx& directoryKey, _stringx& folder);

private:
    std::unique_ptr<ModuleEntry> entry_;
};

// The long name of a stored file name ("SHORT~1.TXT|Long Name.txt"): files are searched and
// delivered by it.
_stringx LongFileName(const _stringx& storedName);

// The search path's folders, the second search path's first, as the catalog takes them; the
// elements that name no folder (and that the catalog drops) in missing.
void SearchPathFolders(std::vector<_stringx>& folders, std::vector<_stringx>& missing);

// The full paths of the files a scan of the folder takes for module files, in the scan's order.
std::vector<_stringx> ModuleFilesIn(const _stringx& folder);
}  // namespace server_internals
