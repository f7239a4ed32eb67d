// The tool's side of the server: the catalog and module objects created by ProgID like any caller's,
// and what they answer read into plain records.
#pragma once
#include <windows.h>
#include <map>
#include <memory>
#include <vector>
#include "cli/Closure.h"
#include "cvmmupdater.h"
#include "base/stringx.h"
#include "base/Handles.h"

// A failure the tool reports and ends with: the message for stderr and the exit code.
class ToolError {
public:
    ToolError(const _stringx& message, int exitCode = 2) : message_(message), exitCode_(exitCode) {}
    const _stringx& Message() const { return message_; }
    int ExitCode() const { return exitCode_; }

private:
    _stringx message_;
    int exitCode_;
};

// Throws a ToolError naming the call, with the server's error description when it left one.
void Check(HRESULT hr, const wchar_t* what);

struct ModuleSummary {
    _stringx EntryKey, ModuleId, DisplayName, Version, Path, SourceLocation;
    LONG Language = 0;
    bool Present = false;
    bool NewerVersion = false;
    // The repository's display name, else the module file's folder, else "gallery".
    _stringx Source() const;
};

struct FileRecord {
    _stringx FileKey, FileName, StoredName, Directory, TargetFolder, Version, Language;  // FileName: the long name
    bool Resolved = false;  // TargetFolder holds the resolved folder
    LONG Size = 0, Sequence = 0;
};

struct DownloadFileRecord {
    _stringx Location, MediaLocation, InternetLocation, CheckSum;
    LONG Size = 0;
};

struct ModuleDetails {
    ModuleSummary Summary;
    _stringx RevisionNumber, Subject, Author, Comments, ResolvedPath;
    std::vector<Requirement> Dependencies;
    std::vector<Exclusion> Exclusions;
    std::vector<_stringx> Dialogs, CustomActions;
    std::vector<DownloadFileRecord> DownloadFiles;
    std::vector<FileRecord> Files;
};

// The version (from its version resource) and path of the server DLL that serves the classes in this
// process, which may come from another install than the tool.
_stringx LoadedServerVersion();

ModuleSummary ReadSummary(IMergeModule2* module);
// The module file's path alone; empty for a gallery module without one.
_stringx ModulePath(IMergeModule2* module);
// Everything the module answers; files with their folders resolved in the module file itself.
ModuleDetails ReadDetails(IMergeModule2* module);
// The same but for the files, for a caller that reads many modules' files at once.
ModuleDetails ReadDetailsButFiles(IMergeModule2* module);
std::vector<FileRecord> FileRecordsOf(IMergeModule2* module);
// The target folder of each file, resolved by the server's own resolution in the module at path.
void ResolveTargetFolders(const _stringx& path, std::vector<FileRecord>& files);

// A module file opened through MergeModule2.
ComPtr<IMergeModule2> OpenModuleFile(const _stringx& path);

// A module of the catalog with its summary, read once.
struct CatalogModule {
    ComPtr<IMergeModule2> Object;
    ModuleSummary Summary;
};

// What a lookup as users type it found: one module, several (a wildcard, or a prefix or name that
// fits several ModuleIDs), or none.
struct ModuleLookup {
    std::vector<CatalogModule> Matches;
    bool Wildcard = false;
    bool Unique() const { return Matches.size() == 1; }
};

// The set-up's problems the catalog passes over in silence: configured folders that do not exist,
// module files that do not read, and copies hidden by another module file of the same key.
struct SetupSurvey {
    std::vector<_stringx> Warnings;
    std::vector<_stringx> UnreadableFiles;
};

class CatalogClient {
public:
    CatalogClient();
    std::vector<ComPtr<IMergeModule2>> Modules();
    // The modules that read, with their summaries; a file that does not read (key ":0") is left out.
    const std::vector<CatalogModule>& ReadableModules();
    // "ModuleID[:language]" as users type it: exactly, then without regard to case, then as a unique
    // prefix of a ModuleID; "*" and "?" list every match. Throws ToolError (2) for a malformed one.
    ModuleLookup LookUp(const _stringx& text);
    // The file-to-module index's signature for a file name; empty when it names none.
    _stringx IndexedSignature(const _stringx& fileName);
    const SetupSurvey& Survey();
    // "ModuleID:language" (0: any language; no colon counts as ":0"); null when there is none.
    ComPtr<IMergeModule2> FindModule(const _stringx& signature);
    // The file search; `found` false with a module means the file-to-module index named it.
    ComPtr<IMergeModule2> FindModuleForFile(const _stringx& path, const _stringx& directoryKey,
                                            const _stringx& version, bool& found);

    // The catalog as a module set for the closure: nodes by EntryKey, read once.
    const ModuleNode* Node(IMergeModule2* module);
    const ModuleNode* Resolve(const _stringx& moduleId, LONG language);
    // Lets go of the nodes read so far: a module file read as the root of one closure answers for its
    // key there, not in the next command of a batch run.
    void ForgetNodes() { nodes_.clear(); }
    // A node read already; null when none has that key.
    const ModuleNode* NodeByKey(const _stringx& entryKey) const;

private:
    ComPtr<IMMCatalog> catalog_;
    std::map<_stringx, std::unique_ptr<ModuleNode>> nodes_;
    std::unique_ptr<std::vector<CatalogModule>> readable_;
    std::unique_ptr<SetupSurvey> survey_;
};

// A module file when the argument names an existing file, else a signature in the catalog.
ComPtr<IMergeModule2> ModuleByArgument(CatalogClient& catalog, const _stringx& argument);

// "Id" alone is "Id:0".
_stringx NormalizedSignature(const _stringx& signature);
