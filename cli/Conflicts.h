// Target files that several modules of a set deliver: the same file in the same version and size
// (a duplicate a merge may tolerate) or not (a conflict). Pairs that are never merged together are
// left out: modules where either excludes the other, and language variants of one ModuleID.
#pragma once
#include <vector>
#include "cli/Client.h"
#include "cli/Commands.h"

struct ModuleSet;

struct ModuleFiles {
    const ModuleNode* Module = nullptr;
    std::vector<FileRecord> Files;  // target folders resolved
};

struct Delivery {
    const ModuleNode* Module = nullptr;
    const FileRecord* File = nullptr;
};

struct SharedFile {
    _stringx TargetPath;
    std::vector<Delivery> Deliveries;  // only modules that are merged with another of them
};

struct ConflictAnswer {
    std::vector<SharedFile> Conflicts, Duplicates;  // by target path
    std::vector<Delivery> Unresolved;               // not compared
};

// The deliveries point into `modules`, which must outlive the answer.
ConflictAnswer FindConflicts(const std::vector<ModuleFiles>& modules);

// "[SystemFolder]MyDir" and "zeta.dll" give "[SystemFolder]MyDir\zeta.dll"; empty when unresolved.
_stringx TargetPath(const FileRecord& file);

// The module's files with their folders resolved by the server's own resolution.
ModuleFiles ReadModuleFiles(IMergeModule2* module, const ModuleNode* node);
// The same for every module of the set, in its order: the module files' lists read together; a
// gallery module, and a file whose list does not read, answer through ReadModuleFiles.
std::vector<ModuleFiles> ReadSetFiles(const ModuleSet& set);

// conflicts [KEY...]: exit 1 when there is a conflict.
int ConflictsCommand(const Request& request);
