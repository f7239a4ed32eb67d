// The records of a catalog entry's lists: what a module requires, what it excludes, the files it
// delivers. The same records come from a module's own tables and from a gallery description file.
#pragma once
#include <windows.h>
#include <map>
#include "base/stringx.h"

// One required module.
struct DependencyEntry {
    _stringx ModuleId;  // required ModuleID
    _stringx Key;       // "%s:%d" of ModuleId and Language
    _stringx Version;   // required version
    LONG Language = 0;  // required language
};

// One excluded module.
struct ExclusionEntry {
    _stringx ModuleId;    // excluded ModuleID
    _stringx Key;         // "%s:%d" of ModuleId and Language
    _stringx MinVersion;  // excluded minimum version
    _stringx MaxVersion;  // excluded maximum version
    LONG Language = 0;    // excluded language
};

// One file of the module.
struct FileEntry {
    _stringx StoredName;  // the FileName column as stored: maybe "short|long"
    _stringx LongName;
    _stringx Version;
    _stringx Language;   // as text, the way the File table holds it
    _stringx Directory;  // Directory_ of the file's component
    _stringx FileKey;
    LONG FileSize = 0;
    LONG Sequence = 0;
};

// Ordered by key, code unit by code unit; a later record with the same key replaces the earlier one.
using DependencyMap = std::map<_stringx, DependencyEntry>;
using ExclusionMap = std::map<_stringx, ExclusionEntry>;
using FileMap = std::map<_stringx, FileEntry>;

// "ModuleID:Language", the key of a module in catalogs, lists and the friendly-name index.
_stringx MakeEntryKey(const _stringx& moduleId, LONG language);

// The long name of a stored file name: the part after the first "|", else the whole name.
_stringx LongFileName(const _stringx& storedName);
