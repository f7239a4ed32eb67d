// The tool's one entry into the server's internals. Everything else in cli/ is a COM client of the
// server's classes; what follows is what the tool needs and the interfaces do not give:
// - a file's target folder: IFileItem gives only the directory key, and the server resolves folders
//   inside its file search without handing them out;
// - the server's own rule for a file's long name, so that the tool reads it exactly as the catalog
//   does (versions are compared with the shared rule of base/).
// Nothing else in cli/ includes msi/, model/, catalog/ or folders/; a further need of the internals
// (such as the list of unreadable and hidden files) belongs here too.
#pragma once
#include <memory>
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
}  // namespace server_internals
