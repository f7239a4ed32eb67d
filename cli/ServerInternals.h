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
// - the file lists of a whole module set with their target folders, read several at once and from
//   the module cache as the file search reads them: one module after another through the
//   interfaces and ModuleFolders costs a few trips to the reader processes per module;
// Nothing else in cli/ includes msi/, model/, catalog/ or folders/; a further need of the internals
// belongs here too.
#pragma once
#include <memory>
#include <vector>
#include "base/stringx.h"
#include "cli/Client.h"

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

// A module of a set by its file and the key the catalog gave it.
struct ModuleOfSet {
    _stringx Path, EntryKey;
};

struct ModuleFileList {
    // False when the list did not read, or when the file's own header gives another key (a gallery
    // description's module found on the search path lists what its description says): the module
    // object answers then.
    bool Read = false;
    std::vector<FileRecord> Files;  // in key order, as the module's Files collection gives them
};

// The file records of each module file, with the target folders ModuleFolders would resolve:
// headers and lists are read several at once, each from the cache of the file's folder while the
// file is unchanged since the catalog's scan listed it.
std::vector<ModuleFileList> ReadFileLists(const std::vector<ModuleOfSet>& modules);

// The long name of a stored file name ("SHORT~1.TXT|Long Name.txt"): files are searched and
// delivered by it.
_stringx LongFileName(const _stringx& storedName);

// The search path's folders, the second search path's first, as the catalog takes them; the
// elements that name no folder (and that the catalog drops) in missing.
void SearchPathFolders(std::vector<_stringx>& folders, std::vector<_stringx>& missing);

// The full paths of the files a scan of the folder takes for module files, in the scan's order.
std::vector<_stringx> ModuleFilesIn(const _stringx& folder);
}  // namespace server_internals
