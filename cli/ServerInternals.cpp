#include "cli/ServerInternals.h"

#include "model/ModuleRecords.h"
#include "msi/ModuleEntry.h"
#include "server/ComException.h"

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
}  // namespace server_internals
