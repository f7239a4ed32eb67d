// Every read of a merge module file, as plain data: the same code runs in the reader process and,
// where there is none, in the caller's own. A read that fails part way keeps what it read and
// carries the failure, so the caller can raise it exactly where the installer call raised it.
#pragma once
#include <windows.h>
#include <msi.h>
#include <cstdint>
#include <map>
#include <string>
#include <vector>
#include "model/ModuleRecords.h"
#include "server/ComException.h"

enum class ModuleRead : uint32_t {
    Header = 1,
    Dialogs,
    CustomActions,
    Dependencies,
    Exclusions,
    Files,      // the file list, and the target folder of every directory it names
    Directory,  // the target folder of one directory key
};

struct ModuleHeader {
    _stringx ModuleId;
    LONG Language = 0;
    _stringx Version;
    _stringx Author;
    _stringx Comments;
    _stringx RevisionNumber;
    _stringx Subject;
};

// A Directory key's target folder: installer status 0 with the path, another status, or a failure.
struct DirectoryAnswer {
    UINT Status = 0;
    _stringx Path;
    ReadFailure Failure;
};
using DirectoryAnswerMap = std::map<_stringx, DirectoryAnswer>;

struct ModuleReadResult {
    _stringx Path;  // the file read: a reply is matched to its request by it
    ModuleHeader Header;
    std::vector<_stringx> Names;
    std::vector<DependencyEntry> Dependencies;
    std::vector<ExclusionEntry> Exclusions;
    std::vector<FileEntry> Files;
    DirectoryAnswerMap Directories;
    // The file was never handed to the installer library: it is damaged in a way that library
    // does not survive. Everything above is empty.
    bool Unsafe = false;
    // The installer failed during the read; its process had better start afresh.
    bool InstallerFailed = false;
    // Another process held the file when the read began (a move or a write under way): what was read
    // may not stand for the file, and the next read may give more.
    bool InUse = false;
    ReadFailure Failure;
};

// Runs one read in this process. A file is read only after its container passes the structural
// check (unless told otherwise); otherwise the result is marked unsafe.
void PerformModuleRead(ModuleRead what, const _stringx& path, const _stringx& argument, ModuleReadResult& result,
                       bool checkContainer = true);

// A text property of a summary information stream; empty for any other type or a failure.
_stringx ReadSummaryText(MSIHANDLE summary, UINT property);
