// The rules of the file search (FindModuleForFile and FindModuleForFileEx), apart from the class
// that runs it: what a query asks, which file names are never searched, and which of a module's
// records of the wanted name is the file asked for.
#pragma once
#include <windows.h>
#include <cstdint>
#include <vector>
#include "base/stringx.h"
#include "catalog/FileNameIndex.h"
#include "model/CatalogEntry.h"

// What the search asks of one record besides its name.
struct FileQuery {
    _stringx fileName;  // the last part of the path
    _stringx folderPart;
    _stringx directoryKey;
    _stringx version;   // "0" when none was given
    bool matchDirectoryKey;
    bool matchResolvedFolder;
    uint32_t directoryKeyHash;  // FileNameIndex::HashNoCase of the key and the folder
    uint32_t folderHash;

    static FileQuery Make(const wchar_t* path, const wchar_t* directoryKey, const wchar_t* version,
                          bool matchDirectoryKey, bool matchResolvedFolder);
};

// _wcsicmp(a, b) == 0, without lowering the characters that are equal as they stand: the search
// compares thousands of folders and keys that share long beginnings.
bool SameText(const _stringx& a, const _stringx& b);

// The patterns split at commas, as the application services give them.
std::vector<_stringx> SplitAtComma(const _stringx& text);
// True when a pattern (blanks around it ignored) matches the file name: the search skips it.
bool IsExcludedFileName(const _stringx& fileName, const std::vector<_stringx>& patterns);

// False only for a record that DeliversFile would pass over, judged by what the index knows.
bool MayDeliver(const FileNameIndex::Hits& hits, size_t i, const FileQuery& query);
// Whether one of the entry's records of the wanted name (hits begin..end) is the file asked for;
// resolves folders through the entry, keeping what it learns in the hits.
bool DeliversFile(CatalogEntry& entry, FileNameIndex::Hits& hits, size_t begin, size_t end, const FileQuery& query);
