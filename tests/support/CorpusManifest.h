// Reads the manifest that make_corpus writes beside a module set: every module, every file with the
// folder the catalog resolves it to, and what keeps a file from being found, so that tests and the
// benchmark know each answer of a file search without opening a module.
#pragma once
#include <string>
#include <vector>

struct CorpusModule {
    std::wstring path, moduleId, language, version, packageCode;
};

struct CorpusFile {
    std::wstring module;        // path of the delivering module, or the gallery file's for gallery files
    std::wstring folder;        // "[ProgramFilesFolder]Vendor\bin"; "[SystemFolder]" for gallery files
    std::wstring directoryKey;  // empty for gallery files
    std::wstring name, version;
    bool gallery = false;
    std::wstring moduleId, language;

    // "ModuleID:Language": the catalog's key of the delivering module.
    std::wstring Signature() const { return moduleId + L":" + language; }
    // The target path a caller searches for: folder and name.
    std::wstring TargetPath() const;
};

// An answer a corpus was made to give: its class ("conflict", "duplicate", "apart", "excluded",
// "variants", "unresolved"), the target path (the bare name when unresolved), the modules' signatures.
struct PlantedAnswer {
    std::wstring kind, target;
    std::vector<std::wstring> signatures;
};

struct CorpusManifest {
    std::vector<CorpusModule> modules;
    std::vector<CorpusFile> files;    // modules' files, then the gallery's
    std::vector<CorpusFile> shadowed; // described by a gallery file the catalog passes over
    std::vector<std::pair<std::wstring, std::wstring>> exclusions;  // module path, file name
    std::vector<std::pair<std::wstring, std::wstring>> indexed;     // file name, signature
    std::vector<std::wstring> patterns;                             // file names the search skips
    std::vector<PlantedAnswer> planted;

    // False when the file cannot be read or a line is not understood; `error` says which.
    bool Read(const std::wstring& path, std::wstring* error);

    // True when the catalog's file search skips the name: an excluded pattern, or the settings
    // document's exclusion of that name from that module.
    bool IsExcluded(const CorpusFile& file) const;
    // The module (path) a search by target path and version answers with, or empty. Files of the
    // gallery have no folders: a search that matches the resolved folder passes them over.
    std::wstring ExpectedModule(const CorpusFile& file, bool matchResolvedFolder) const {
        return IsExcluded(file) || (file.gallery && matchResolvedFolder) ? std::wstring() : file.module;
    }
};
